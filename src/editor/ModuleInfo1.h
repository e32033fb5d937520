#pragma once
// The "基本信息" page of the module sheet: title, required flag, type, DLL library and
// function, description, the completion state and the two stamps.
#include "repository/ModuleFile.h"
#include "ui/GbkEdit.h"

#include <QWidget>

#include <string>

class QCheckBox;
class QComboBox;
class QLabel;

namespace kestrel {

// Identifiers carried by this page's change reports (the stamps' also name their labels). The
// numbers are per page: the SQL page reuses some, so a receiver tells pages apart by the sender.
enum Info1ControlId {
    kIdTitle = 1006,
    kIdDescription = 1007,
    kIdType = 1025,
    kIdDllName = 1026,
    kIdRequired = 1027,
    kIdFunction = 1028,
    kIdCreated = 1038,
    kIdModified = 1039,
};

enum class ChangeKind { TextChanged, Clicked, SelectionChanged };

class ModuleInfo1 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTitleBytes = 50;

    explicit ModuleInfo1(QWidget* parent = nullptr);

    ModuleInfoFields& Fields() { return m_fields; }
    // Fields into the controls / controls into the fields.
    void LoadFields();
    void ReadFields();
    void ShowDllFields(bool show);
    bool DllFieldsShown() const;
    // Where typing starts on this page: the title.
    void FocusFirstField();

    // The state list belongs to the sheet's test; the user cannot change it.
    QComboBox* StateList() const { return m_state; }
    QComboBox* TypeList() const { return m_type; }

signals:
    // A change the sheet may count: text edits and the check box only while on screen; the
    // type list after the page has shown or hidden its DLL fields.
    void ControlChanged(int id, kestrel::ChangeKind kind);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ReportIfShown(int id, ChangeKind kind);
    void OnTypePicked();

    ModuleInfoFields m_fields;
    ui::GbkLineEdit* m_title;
    QCheckBox* m_required;
    QComboBox* m_state;
    QComboBox* m_type;
    QLabel* m_dllLabel;
    ui::GbkLineEdit* m_dllName;
    QLabel* m_functionLabel;
    ui::GbkLineEdit* m_function;
    ui::GbkPlainTextEdit* m_description;
    QLabel* m_created;
    QLabel* m_modified;
};

} // namespace kestrel
