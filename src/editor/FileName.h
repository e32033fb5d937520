#pragma once
// "模块文件名": asks for the file name of a new or renamed module file.
#include <QDialog>

#include <filesystem>
#include <string>

namespace kestrel {
namespace ui {
class GbkLineEdit;
}

class FileName : public QDialog {
    Q_OBJECT
public:
    // folder: the module folder, where a typed name must not exist yet.
    explicit FileName(const std::filesystem::path& folder, QWidget* parent = nullptr);

    std::string Name() const { return m_name; } // GBK, as typed
    ui::GbkLineEdit* NameEdit() const { return m_edit; }

public slots:
    void accept() override;

private:
    std::filesystem::path m_folder;
    std::string m_name;
    ui::GbkLineEdit* m_edit;
};

} // namespace kestrel
