#include "editor/ModuleInfo3.h"

#include "editor/FindDlg.h"
#include "testing/Placeholders.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>

namespace kestrel {

namespace {

// Highlighter block states: inside a /* comment */ or a '...' string that runs on.
enum BlockState { kPlain = 0, kInComment = 1, kInString = 2 };

const QStringList& SqlKeywords() {
    static const QStringList words = {
        "ADD",         "ALL",      "ALTER",    "AND",     "ANY",      "AS",     "ASC",        "BEGIN",     "BETWEEN",
        "BY",          "CASE",     "CAST",     "CHECK",   "COLUMN",   "COMMIT", "CONSTRAINT", "COUNT",     "CREATE",
        "CROSS",       "CURSOR",   "DECLARE",  "DEFAULT", "DELETE",   "DESC",   "DISTINCT",   "DROP",      "ELSE",
        "END",         "EXEC",     "EXECUTE",  "EXISTS",  "FETCH",    "FOR",    "FOREIGN",    "FROM",      "FULL",
        "FUNCTION",    "GO",       "GROUP",    "HAVING",  "IF",       "IN",     "INDEX",      "INNER",     "INSERT",
        "INTO",        "IS",       "JOIN",     "KEY",     "LEFT",     "LIKE",   "LIMIT",      "MAX",       "MIN",
        "NOT",         "NULL",     "ON",       "OR",      "ORDER",    "OUTER",  "PRIMARY",    "PROCEDURE", "REFERENCES",
        "RETURN",      "RIGHT",    "ROLLBACK", "SELECT",  "SET",      "SUM",    "TABLE",      "THEN",      "TOP",
        "TRANSACTION", "TRIGGER",  "UNION",    "UNIQUE",  "UPDATE",   "VALUES", "VIEW",       "WHEN",      "WHERE",
        "WHILE",       "WITH",     "AVG",      "CHAR",    "VARCHAR",  "INT",    "INTEGER",    "DECIMAL",   "NUMERIC",
        "DATE",        "DATETIME", "TRUNCATE", "REPLACE", "COALESCE", "ISNULL",
    };
    return words;
}

QTextCharFormat Format(const QColor& color, bool bold = false) {
    QTextCharFormat format;
    format.setForeground(color);
    if (bold)
        format.setFontWeight(QFont::Bold);
    return format;
}

} // namespace

SqlHighlighter::SqlHighlighter(QTextDocument* document) : QSyntaxHighlighter(document) {}

void SqlHighlighter::SetKnownNames(const QSet<QString>& names) {
    if (names == m_known)
        return;
    m_known = names;
    rehighlight();
}

bool SqlHighlighter::IsKnownName(const QString& name) const {
    return IsCurrentTimeName(std::u16string_view(QStringView(name).utf16(), static_cast<size_t>(name.size()))) ||
           m_known.contains(name);
}

void SqlHighlighter::highlightBlock(const QString& text) {
    static const QTextCharFormat keyword = Format(QColor(0x00, 0x33, 0x99), true);
    static const QTextCharFormat string = Format(QColor(0xa3, 0x15, 0x15));
    static const QTextCharFormat comment = Format(QColor(0x00, 0x80, 0x00));
    static const QRegularExpression word(QStringLiteral("[A-Za-z_][A-Za-z0-9_]*"));

    const int length = static_cast<int>(text.size());
    int state = previousBlockState() < 0 ? kPlain : previousBlockState();
    int i = 0;
    while (i < length) {
        if (state == kInComment) {
            const int end = static_cast<int>(text.indexOf(QLatin1String("*/"), i));
            const int stop = end < 0 ? length : end + 2;
            setFormat(i, stop - i, comment);
            i = stop;
            if (end >= 0)
                state = kPlain;
            continue;
        }
        if (state == kInString) {
            int j = i;
            bool closed = false;
            while (j < length) {
                if (text.at(j) == QLatin1Char('\'')) {
                    if (j + 1 < length && text.at(j + 1) == QLatin1Char('\'')) {
                        j += 2; // doubled quote inside a string
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                ++j;
            }
            setFormat(i, j - i, string);
            i = j;
            if (closed)
                state = kPlain;
            continue;
        }
        const QChar c = text.at(i);
        if (c == QLatin1Char('-') && i + 1 < length && text.at(i + 1) == QLatin1Char('-')) {
            setFormat(i, length - i, comment);
            break;
        }
        if (c == QLatin1Char('/') && i + 1 < length && text.at(i + 1) == QLatin1Char('*')) {
            state = kInComment;
            setFormat(i, 2, comment);
            i += 2;
            continue;
        }
        if (c == QLatin1Char('\'')) {
            state = kInString;
            setFormat(i, 1, string);
            ++i;
            continue;
        }
        if (c.isLetter() || c == QLatin1Char('_')) {
            const QRegularExpressionMatch match =
                word.match(text, i, QRegularExpression::NormalMatch, QRegularExpression::AnchorAtOffsetMatchOption);
            const int wordLength = match.hasMatch() ? static_cast<int>(match.capturedLength()) : 1;
            if (match.hasMatch() && SqlKeywords().contains(match.captured().toUpper()))
                setFormat(i, wordLength, keyword);
            i += wordLength;
            continue;
        }
        ++i;
    }
    setCurrentBlockState(state);

    // Placeholders are replaced wherever they stand, in strings and comments too, so they
    // are marked over everything else.
    QTextCharFormat good = Format(QColor(0x80, 0x00, 0x80), true);
    good.setBackground(QColor(0xf0, 0xe6, 0xff));
    QTextCharFormat bad = Format(QColor(0xc0, 0x00, 0x00), true);
    bad.setUnderlineStyle(QTextCharFormat::WaveUnderline);
    bad.setUnderlineColor(Qt::red);
    bad.setBackground(QColor(0xff, 0xe0, 0xe0));
    const std::u16string_view line(QStringView(text).utf16(), static_cast<size_t>(length));
    for (auto found = NextPlaceholder(line, 0); found.Found(); found = NextPlaceholder(line, found.End())) {
        const int open = static_cast<int>(found.open);
        const bool known = found.Closed() && IsKnownName(QString(reinterpret_cast<const QChar*>(found.name.data()),
                                                                 static_cast<qsizetype>(found.name.size())));
        setFormat(open, static_cast<int>(found.End()) - open, known ? good : bad);
    }
}

ModuleInfo3::ModuleInfo3(QWidget* parent) : QWidget(parent) {
    setFont(ui::DialogFont());
    const ui::DialogUnits du(font());
    resize(du.Size(366, 200));

    m_editor = new ui::GbkPlainTextEdit(this);
    m_editor->setObjectName(QStringLiteral("sqlEditor"));
    m_editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editor->setFont(ui::FixedFont());
    m_editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_editor->setGeometry(du.Rect(0, 0, 366, 183));
    m_editor->setContextMenuPolicy(Qt::CustomContextMenu);
    m_highlighter = new SqlHighlighter(m_editor->document());

    m_clipboard = new QCheckBox(QStringLiteral("每次测试 SQL 自动进入剪切板"), this);
    m_clipboard->setObjectName(QStringLiteral("clipboardOption"));
    m_clipboard->setGeometry(du.Rect(10, 186, 215, 12));

    m_indicator = new QLabel(QStringLiteral("  1,1"), this);
    m_indicator->setObjectName(QStringLiteral("indicator"));
    m_indicator->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_indicator->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_indicator->setGeometry(du.Rect(297, 186, 67, 12));

    for (QObject* watched :
         {static_cast<QObject*>(m_editor), static_cast<QObject*>(m_editor->viewport()),
          static_cast<QObject*>(m_clipboard), static_cast<QObject*>(m_indicator), static_cast<QObject*>(this)})
        watched->installEventFilter(this);

    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        // Re-highlighting after the variables changed is no edit of the text.
        if (!m_rehighlighting && isVisible())
            emit ControlChanged(kIdSqlEditor, ChangeKind::TextChanged);
    });
    connect(m_editor, &QWidget::customContextMenuRequested, this, &ModuleInfo3::ShowContextMenu);
}

void ModuleInfo3::LoadFields() {
    m_editor->SetGbkText(m_sqlText);
}

void ModuleInfo3::ReadFields() {
    m_sqlText = m_editor->GbkText();
}

bool ModuleInfo3::ClipboardOptionTicked() const {
    return m_clipboard->isChecked();
}

void ModuleInfo3::SetKnownNames(const QSet<QString>& names) {
    m_rehighlighting = true;
    m_highlighter->SetKnownNames(names);
    m_rehighlighting = false;
}

QString ModuleInfo3::IndicatorText() const {
    return m_indicator->text();
}

void ModuleInfo3::UpdateIndicator() {
    const QTextCursor cursor = m_editor->textCursor();
    const QTextBlock block = m_editor->document()->findBlock(cursor.selectionStart());
    const long line = block.blockNumber() + 1;
    // Bytes of GBK text from the start of the line to the selection's start. A selection
    // over several lines reports where it starts, which is what the user can find again.
    const QString head = block.text().left(cursor.selectionStart() - block.position());
    const int bytes = ui::GbkLength(head);
    const long column = (bytes < 0 ? head.size() : bytes) + 1;
    m_indicator->setText(QString::asprintf(" %ld,%ld", line, column));
}

bool ModuleInfo3::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        // Before the event takes effect: a key press shows where the caret was.
        if (m_editor->hasFocus())
            UpdateIndicator();
        break;
    default:
        break;
    }
    if (event->type() == QEvent::KeyPress && watched != this) {
        if (HandlePageKey(static_cast<QKeyEvent*>(event)))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool ModuleInfo3::HandlePageKey(QKeyEvent* event) {
    if (event->key() == Qt::Key_F && (event->modifiers() & Qt::ControlModifier)) {
        OpenSearch();
        return true;
    }
    if (event->key() == Qt::Key_F3 && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        FindNext(m_editor->textCursor().selectionEnd());
        return false; // then handled as usual
    }
    return false;
}

void ModuleInfo3::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        emit CancelRequested();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept(); // outside the SQL box Enter does nothing
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void ModuleInfo3::OpenSearch() {
    FindDlg dialog(this);
    QString selected = m_editor->textCursor().selectedText();
    selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    if (!selected.isEmpty())
        dialog.SetText(ui::ToGbkChecked(selected));
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    m_findText = ui::FromGbk(dialog.Text());
    FindNext(0);
}

void ModuleInfo3::FindNext(int startPosition) {
    const QString text = m_editor->toPlainText();
    const int found = static_cast<int>(text.indexOf(m_findText, startPosition, Qt::CaseSensitive));
    if (found < 0) {
        ui::ShowMessage(this, QStringLiteral("未找到"));
        return;
    }
    QTextCursor cursor = m_editor->textCursor();
    cursor.setPosition(found);
    cursor.setPosition(found + static_cast<int>(m_findText.size()), QTextCursor::KeepAnchor);
    m_editor->setTextCursor(cursor);
    m_editor->ensureCursorVisible();
}

void ModuleInfo3::ShowContextMenu(const QPoint& pos) {
    QMenu* menu = m_editor->createStandardContextMenu(pos);
    menu->addSeparator();
    QAction* preview = menu->addAction(QStringLiteral("预览替换后的 SQL"));
    connect(preview, &QAction::triggered, this, &ModuleInfo3::PreviewRequested);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_editor->viewport()->mapToGlobal(pos));
}

} // namespace kestrel
