#pragma once
// The "SQL" page of the module sheet: the SQL text with its line/column indicator, search
// (Ctrl+F, F3), highlighting and the clipboard option read by the SQL test.
#include "editor/ModuleInfo1.h"
#include "ui/GbkEdit.h"

#include <QPlainTextEdit>
#include <QSet>
#include <QTextBlock>
#include <QWidget>

#include <string>

class QCheckBox;
class QLabel;

namespace kestrel {

// Identifier carried by this page's change reports; it shares its number with the title box
// of the first page.
enum Info3ControlId {
    kIdSqlEditor = 1006,
};

// Keywords, strings, comments and "[?:NAME]" placeholders; a placeholder that names no
// known variable (nor the time of day), or has no "]", is marked as an error.
// Only the blocks in the editor's view are formatted, when they come into view: opening,
// typing in and searching a text of many thousand lines costs what its visible part costs.
// Every block keeps the state it ends in (inside a comment or a string), which decides how
// the blocks below it are formatted; the states are taken down to the bottom of the view.
class SqlHighlighter : public QObject {
    Q_OBJECT
public:
    explicit SqlHighlighter(QPlainTextEdit* editor);
    // Names that placeholders may use (the grid's Import and Config variables).
    void SetKnownNames(const QSet<QString>& names);
    bool IsKnownName(const QString& name) const;
    // Formats the blocks in the editor's view that are not formatted for their present text,
    // state and the known names.
    void HighlightShown();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnContentsChange(int from, int removed, int added);
    void FormatBlock(QTextBlock& block);
    bool IsFormatted(const QTextBlock& block) const;

    QPlainTextEdit* m_editor;
    // Compared, never called: the filter also sees the viewport's events while the editor is
    // being destroyed, when the editor may no longer be asked for it.
    const QObject* m_viewport;
    QSet<QString> m_known;
    int m_generation = 1;          // changes with the known names: every block's formats are then stale
    int m_statesKnownThrough = -1; // block number down to which the end states are up to date
    bool m_highlighting = false;
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
