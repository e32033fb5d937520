#pragma once
// The SQL page's highlighter.
#include <QObject>
#include <QSet>
#include <QString>

class QPlainTextEdit;
class QTextBlock;

namespace kestrel {

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

} // namespace kestrel
