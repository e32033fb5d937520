#pragma once
// The "SQL" page of the module sheet: the SQL text with its line/column indicator, search
// (Ctrl+F, F3), highlighting and the clipboard option read by the SQL test.
#include "editor/ModuleInfo1.h"
#include "ui/GbkEdit.h"

#include <QPlainTextEdit>
#include <QSet>
#include <QWidget>

#include <string>

class QCheckBox;
class QLabel;

namespace kestrel {

class SqlHighlighter;

// Identifier carried by this page's change reports; it shares its number with the title box
// of the first page.
enum Info3ControlId {
    kIdSqlEditor = 1006,
};

class ModuleInfo3 : public QWidget {
    Q_OBJECT
public:
    explicit ModuleInfo3(QWidget* parent = nullptr);

    // The SQL text as stored (GBK, CR LF line breaks).
    std::string& SqlText() { return m_sqlText; }
    void LoadFields();
    void ReadFields();

    bool ClipboardOptionTicked() const;
    // Known placeholder names for the highlighting.
    void SetKnownNames(const QSet<QString>& names);

    // Search: the dialog (Ctrl+F) and find next (F3) from a start position in characters.
    void OpenSearch();
    void FindNext(int startPosition);
    QString FindText() const { return m_findText; }

    ui::GbkPlainTextEdit* Editor() const { return m_editor; }
    QString IndicatorText() const;

signals:
    // A text change in the SQL box while the page is on screen.
    void ControlChanged(int id, kestrel::ChangeKind kind);
    // Esc on the page: the sheet's own cancel.
    void CancelRequested();
    // The context menu's preview of the substituted SQL.
    void PreviewRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool HandlePageKey(QKeyEvent* event);
    void UpdateIndicator();
    void ShowContextMenu(const QPoint& pos);

    std::string m_sqlText;
    QString m_findText;
    ui::GbkPlainTextEdit* m_editor;
    QCheckBox* m_clipboard;
    QLabel* m_indicator;
    SqlHighlighter* m_highlighter;
    // The editor's plain text for the search, taken again after each edit.
    QString m_plainText;
    bool m_plainTextValid = false;
};

} // namespace kestrel
