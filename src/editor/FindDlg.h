#pragma once
// "查找": asks for the text to look for.
#include <QDialog>

#include <string>

namespace kestrel {
namespace ui {
class GbkLineEdit;
}

class FindDlg : public QDialog {
    Q_OBJECT
public:
    explicit FindDlg(QWidget* parent = nullptr);

    void SetText(const std::string& text); // GBK; shown when the dialog opens
    std::string Text() const { return m_text; }
    ui::GbkLineEdit* TextEdit() const { return m_edit; }

public slots:
    void accept() override;

private:
    std::string m_text;
    ui::GbkLineEdit* m_edit;
};

} // namespace kestrel
