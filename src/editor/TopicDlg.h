#pragma once
// "模块组": a group's identifier, name and flow text.
#include <QDialog>

#include <functional>
#include <string>

namespace kestrel {
namespace ui {
class GbkLineEdit;
class GbkPlainTextEdit;
} // namespace ui

class TopicDlg : public QDialog {
    Q_OBJECT
public:
    enum Mode { kNewGroup = 0, kEditGroup = 1 };

    explicit TopicDlg(QWidget* parent = nullptr);

    // Set before running (GBK texts); the identifier cannot be edited in kEditGroup.
    void SetMode(Mode mode);
    void SetValues(const std::string& identifier, const std::string& name, const std::string& flow);

    // Asked when the entries are confirmed, before the dialog closes: false keeps it open with
    // what was typed, so that the user can confirm again or cancel.
    void SetAcceptCheck(std::function<bool()> check) { m_acceptCheck = std::move(check); }

    std::string Identifier() const { return m_identifier; }
    std::string Name() const { return m_name; }
    std::string Flow() const { return m_flow; }

    ui::GbkLineEdit* IdentifierEdit() const { return m_identifierEdit; }
    ui::GbkLineEdit* NameEdit() const { return m_nameEdit; }
    ui::GbkPlainTextEdit* FlowEdit() const { return m_flowEdit; }

public slots:
    void accept() override;

private:
    std::string m_identifier;
    std::string m_name;
    std::string m_flow;
    std::function<bool()> m_acceptCheck;
    ui::GbkLineEdit* m_identifierEdit;
    ui::GbkLineEdit* m_nameEdit;
    ui::GbkPlainTextEdit* m_flowEdit;
};

} // namespace kestrel
