#pragma once
// The module property sheet "模块": tabs 基本信息 / 变量 / SQL, and test, store, close.
#include "core/Status.h"
#include "repository/ModuleFile.h"

#include <QDialog>

#include <filesystem>

namespace kestrel {

enum SheetMode { kNewModuleMode = 0, kEditMode = 1 };

// What the main window lends the sheet: saving the current module in edit mode, and the
// module folder (working directory of DLL tests).
class ModuleSheetHost {
public:
    virtual ~ModuleSheetHost() = default;
    // SaveModuleFile on the current module with the logged-in user; shows its own error box.
    virtual FileStatus SaveCurrentModule() = 0;
    virtual std::filesystem::path ModuleFolder() const = 0;
};

class ModuleSheet : public QDialog {
    Q_OBJECT
public:
    ModuleSheet(SheetMode mode, ModuleRecord& record, ModuleSheetHost* host, QWidget* parent = nullptr);
    ~ModuleSheet() override;

private:
    SheetMode m_mode;
    ModuleRecord& m_record;
    ModuleSheetHost* m_host;
};

} // namespace kestrel
