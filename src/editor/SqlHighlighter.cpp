#include "editor/SqlHighlighter.h"

#include "testing/Placeholders.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <vector>

namespace kestrel {

namespace {

// Highlighter block states: inside a /* comment */ or a '...' string that runs on. A block's
// user state holds the state it ends in (bits 0-1), the state it started in when its formats
// were made (bits 2-3) and the generation of known names they were made for (0: its formats
// do not fit its present text).
enum BlockState { kPlain = 0, kInComment = 1, kInString = 2 };
constexpr int kStateMask = 3;
constexpr int kEntryShift = 2;
constexpr int kGenerationShift = 4;
constexpr int kLastGeneration = (1 << 26) - 1;

// What each character of a block is shown as; later marks (placeholders) win.
enum Mark : uint8_t { kNoMark = 0, kKeywordMark, kStringMark, kCommentMark, kGoodPlaceholder, kBadPlaceholder };

bool IsSqlKeyword(QStringView word) {
    static const QSet<QString> words = [] {
        const char* const list[] = {
            "ADD",         "ALL",      "ALTER",  "AND",      "ANY",      "AS",        "ASC",        "BEGIN",
            "BETWEEN",     "BY",       "CASE",   "CAST",     "CHECK",    "COLUMN",    "COMMIT",     "CONSTRAINT",
            "COUNT",       "CREATE",   "CROSS",  "CURSOR",   "DECLARE",  "DEFAULT",   "DELETE",     "DESC",
            "DISTINCT",    "DROP",     "ELSE",   "END",      "EXEC",     "EXECUTE",   "EXISTS",     "FETCH",
            "FOR",         "FOREIGN",  "FROM",   "FULL",     "FUNCTION", "GO",        "GROUP",      "HAVING",
            "IF",          "IN",       "INDEX",  "INNER",    "INSERT",   "INTO",      "IS",         "JOIN",
            "KEY",         "LEFT",     "LIKE",   "LIMIT",    "MAX",      "MIN",       "NOT",        "NULL",
            "ON",          "OR",       "ORDER",  "OUTER",    "PRIMARY",  "PROCEDURE", "REFERENCES", "RETURN",
            "RIGHT",       "ROLLBACK", "SELECT", "SET",      "SUM",      "TABLE",     "THEN",       "TOP",
            "TRANSACTION", "TRIGGER",  "UNION",  "UNIQUE",   "UPDATE",   "VALUES",    "VIEW",       "WHEN",
            "WHERE",       "WHILE",    "WITH",   "AVG",      "CHAR",     "VARCHAR",   "INT",        "INTEGER",
            "DECIMAL",     "NUMERIC",  "DATE",   "DATETIME", "TRUNCATE", "REPLACE",   "COALESCE",   "ISNULL",
        };
        QSet<QString> set;
        for (const char* keyword : list)
            set.insert(QString::fromLatin1(keyword));
        return set;
    }();
    constexpr qsizetype kLongestKeyword = 11;
    if (word.size() > kLongestKeyword)
        return false;
    char upper[kLongestKeyword];
    for (qsizetype i = 0; i < word.size(); ++i) {
        const char16_t c = word[i].unicode();
        upper[i] = static_cast<char>(c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c);
    }
    return words.contains(QString::fromLatin1(upper, word.size()));
}

bool IsAsciiLetter(char16_t c) {
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

bool IsWordCharacter(char16_t c) {
    return IsAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'_';
}

void SetMark(std::vector<uint8_t>* marks, int from, int to, Mark mark) {
    if (marks)
        std::fill(marks->begin() + from, marks->begin() + to, static_cast<uint8_t>(mark));
}

// Walks one block's text from the state it starts in and returns the state it ends in; with
// marks, also what each character is shown as (placeholders excepted).
int ScanBlock(const QString& text, int state, std::vector<uint8_t>* marks) {
    const int length = static_cast<int>(text.size());
    const char16_t* chars = reinterpret_cast<const char16_t*>(text.utf16());
    int i = 0;
    while (i < length) {
        if (state == kInComment) {
            const int end = static_cast<int>(text.indexOf(QLatin1String("*/"), i));
            const int stop = end < 0 ? length : end + 2;
            SetMark(marks, i, stop, kCommentMark);
            i = stop;
            if (end >= 0)
                state = kPlain;
            continue;
        }
        if (state == kInString) {
            int j = i;
            bool closed = false;
            while (j < length) {
                if (chars[j] == u'\'') {
                    if (j + 1 < length && chars[j + 1] == u'\'') {
                        j += 2; // doubled quote inside a string
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                ++j;
            }
            SetMark(marks, i, j, kStringMark);
            i = j;
            if (closed)
                state = kPlain;
            continue;
        }
        const char16_t c = chars[i];
        if (c == u'-' && i + 1 < length && chars[i + 1] == u'-') {
            SetMark(marks, i, length, kCommentMark);
            break;
        }
        if (c == u'/' && i + 1 < length && chars[i + 1] == u'*') {
            state = kInComment;
            SetMark(marks, i, i + 2, kCommentMark);
            i += 2;
            continue;
        }
        if (c == u'\'') {
            state = kInString;
            SetMark(marks, i, i + 1, kStringMark);
            ++i;
            continue;
        }
        // A word starts with a Latin letter or "_" (other letters are no part of one).
        if (IsAsciiLetter(c) || c == u'_') {
            int j = i + 1;
            while (j < length && IsWordCharacter(chars[j]))
                ++j;
            if (marks && IsSqlKeyword(QStringView(chars + i, j - i)))
                SetMark(marks, i, j, kKeywordMark);
            i = j;
            continue;
        }
        ++i;
    }
    return state;
}

QTextCharFormat Format(const QColor& color, bool bold = false) {
    QTextCharFormat format;
    format.setForeground(color);
    if (bold)
        format.setFontWeight(QFont::Bold);
    return format;
}

const QTextCharFormat& FormatOf(Mark mark) {
    static const QTextCharFormat formats[] = {
        QTextCharFormat(),
        Format(QColor(0x00, 0x33, 0x99), true),
        Format(QColor(0xa3, 0x15, 0x15)),
        Format(QColor(0x00, 0x80, 0x00)),
        [] {
            QTextCharFormat good = Format(QColor(0x80, 0x00, 0x80), true);
            good.setBackground(QColor(0xf0, 0xe6, 0xff));
            return good;
        }(),
        [] {
            QTextCharFormat bad = Format(QColor(0xc0, 0x00, 0x00), true);
            bad.setUnderlineStyle(QTextCharFormat::WaveUnderline);
            bad.setUnderlineColor(Qt::red);
            bad.setBackground(QColor(0xff, 0xe0, 0xe0));
            return bad;
        }(),
    };
    return formats[mark];
}

int EndState(const QTextBlock& block) {
    return block.isValid() && block.userState() >= 0 ? block.userState() & kStateMask : kPlain;
}

int WithEndState(int userState, int state) {
    return userState < 0 ? state : (userState & ~kStateMask) | state;
}

} // namespace

SqlHighlighter::SqlHighlighter(QPlainTextEdit* editor)
    : QObject(editor), m_editor(editor), m_viewport(editor->viewport()) {
    connect(editor->document(), &QTextDocument::contentsChange, this, &SqlHighlighter::OnContentsChange);
    // Scrolling and every repaint of the view: what comes into view is formatted first.
    connect(editor, &QPlainTextEdit::updateRequest, this, [this] { HighlightShown(); });
    editor->viewport()->installEventFilter(this);
}

void SqlHighlighter::SetKnownNames(const QSet<QString>& names) {
    if (names == m_known)
        return;
    m_known = names;
    if (++m_generation > kLastGeneration) {
        m_generation = 1;
        for (QTextBlock block = m_editor->document()->begin(); block.isValid(); block = block.next())
            block.setUserState(EndState(block));
    }
    HighlightShown();
}

bool SqlHighlighter::IsKnownName(const QString& name) const {
    return IsCurrentTimeName(std::u16string_view(QStringView(name).utf16(), static_cast<size_t>(name.size()))) ||
           m_known.contains(name);
}

bool SqlHighlighter::IsFormatted(const QTextBlock& block) const {
    const int userState = block.userState();
    return userState >= 0 && (userState >> kGenerationShift) == m_generation &&
           ((userState >> kEntryShift) & kStateMask) == EndState(block.previous());
}

bool SqlHighlighter::eventFilter(QObject* watched, QEvent* event) {
    // The last chance before anything is drawn unformatted.
    if (event->type() == QEvent::Paint && watched == m_viewport)
        HighlightShown();
    return QObject::eventFilter(watched, event);
}

void SqlHighlighter::OnContentsChange(int from, int removed, int added) {
    // The changed blocks' formats no longer fit, and the states from the first of them on are
    // taken again when the blocks come into view.
    QTextDocument* document = m_editor->document();
    QTextBlock block = document->findBlock(from);
    if (!block.isValid())
        return;
    const QTextBlock last = document->findBlock(from + added + (removed > 0 ? 1 : 0));
    const int first = block.blockNumber();
    const int lastNumber = last.isValid() ? last.blockNumber() : document->blockCount() - 1;
    for (int number = first; block.isValid() && number <= lastNumber; block = block.next(), ++number)
        block.setUserState(EndState(block));
    m_statesKnownThrough = std::min(m_statesKnownThrough, first - 1);
    HighlightShown();
}

void SqlHighlighter::HighlightShown() {
    if (m_highlighting)
        return; // formatting a block asks for a repaint of it
    m_highlighting = true;
    // The view shows whole lines from its top line down (the vertical scroll bar counts
    // lines); a block that was laid out in several lines counts as such.
    QTextDocument* document = m_editor->document();
    const int lineHeight = std::max(1, QFontMetrics(m_editor->font()).lineSpacing());
    int lines = m_editor->viewport()->height() / lineHeight + 2;
    const QTextBlock top = document->findBlockByLineNumber(m_editor->verticalScrollBar()->value());
    QTextBlock bottom = top;
    for (QTextBlock block = top; block.isValid() && lines > 0; block = block.next()) {
        bottom = block;
        if (block.isVisible())
            lines -= std::max(1, block.lineCount());
    }
    if (bottom.isValid() && bottom.blockNumber() > m_statesKnownThrough) {
        // The states of every block above the bottom of the view decide what is shown.
        QTextBlock block =
            m_statesKnownThrough < 0 ? document->begin() : document->findBlockByNumber(m_statesKnownThrough + 1);
        int state = EndState(block.previous());
        for (; block.isValid(); block = block.next()) {
            state = ScanBlock(block.text(), state, nullptr);
            block.setUserState(WithEndState(block.userState(), state));
            if (block == bottom)
                break;
        }
        m_statesKnownThrough = bottom.blockNumber();
    }
    for (QTextBlock block = top; block.isValid(); block = block.next()) {
        if (block.isVisible() && !IsFormatted(block))
            FormatBlock(block);
        if (block == bottom)
            break;
    }
    m_highlighting = false;
}

void SqlHighlighter::FormatBlock(QTextBlock& block) {
    const QString text = block.text();
    std::vector<uint8_t> marks(static_cast<size_t>(text.size()), kNoMark);
    const int state = ScanBlock(text, EndState(block.previous()), &marks);

    // Placeholders are replaced wherever they stand, in strings and comments too, so they
    // are marked over everything else.
    const int length = static_cast<int>(text.size());
    const std::u16string_view line(QStringView(text).utf16(), static_cast<size_t>(length));
    for (auto found = NextPlaceholder(line, 0); found.Found(); found = NextPlaceholder(line, found.End())) {
        const int open = static_cast<int>(found.open);
        const bool known = found.Closed() && IsKnownName(QString(reinterpret_cast<const QChar*>(found.name.data()),
                                                                 static_cast<qsizetype>(found.name.size())));
        SetMark(&marks, open, static_cast<int>(found.End()), known ? kGoodPlaceholder : kBadPlaceholder);
    }

    // Text being composed by an input method keeps its own formats and stands between ours.
    QTextLayout* layout = block.layout();
    const int preeditStart = layout->preeditAreaPosition();
    const int preeditLength = static_cast<int>(layout->preeditAreaText().size());
    QList<QTextLayout::FormatRange> ranges;
    if (preeditLength > 0) {
        for (const QTextLayout::FormatRange& range : layout->formats())
            if (range.start >= preeditStart && range.start + range.length <= preeditStart + preeditLength)
                ranges.append(range);
    }
    for (int i = 0; i < length;) {
        const uint8_t mark = marks[static_cast<size_t>(i)];
        int j = i + 1;
        while (j < length && marks[static_cast<size_t>(j)] == mark)
            ++j;
        if (mark != kNoMark) {
            QTextLayout::FormatRange range;
            range.start = i;
            range.length = j - i;
            range.format = FormatOf(static_cast<Mark>(mark));
            if (preeditLength > 0) {
                if (range.start >= preeditStart)
                    range.start += preeditLength;
                else if (range.start + range.length >= preeditStart)
                    range.length += preeditLength;
            }
            ranges.append(range);
        }
        i = j;
    }
    block.setUserState(state | (EndState(block.previous()) << kEntryShift) | (m_generation << kGenerationShift));
    if (ranges != layout->formats()) {
        layout->setFormats(ranges);
        m_editor->document()->markContentsDirty(block.position(), block.length());
    }
}

} // namespace kestrel
