#pragma once
// The "SQL" page of the module sheet: the SQL text with its line/column indicator, search
// (Ctrl+F, F3), highlighting and the clipboard option read by the SQL test.
#include "editor/ModuleInfo1.h"
#include "ui/GbkEdit.h"

#include <QSet>
#include <QSyntaxHighlighter>
#include <QWidget>

#include <string>

class QCheckBox;
class QLabel;

namespace kestrel {

// Keywords, strings, comments and "[?:NAME]" placeholders; a placeholder that names no
// known variable (nor the time of day), or has no "]", is marked as an error.
class SqlHighlighter : public QSyntaxHighlighter {
    Q_OBJECT
public:
    explicit SqlHighlighter(QTextDocument* document);
    // Names that placeholders may use (the grid's Import and Config variables).
    void SetKnownNames(const QSet<QString>& names);
    bool IsKnownName(const QString& name) const;

protected:
    void highlightBlock(const QString& text) override;

private:
    QSet<QString> m_known;
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
    bool m_rehighlighting = false;
};

} // namespace kestrel
