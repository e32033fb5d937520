#include "printing/FormatLayout.h"

#include <QRectF>
#include <QSizeF>
#include <QStringList>

#include <cmath>

namespace formatprn {

using kestrel::Fail;
using kestrel::Ok;
using kestrel::Result;

namespace {

struct Token {
    QString text;
    bool quoted = false;
    QString suffix; // what follows a closing quote up to the next blank, e.g. ":45:right"
};

// Splits a line into blank-separated words and quoted texts ("..." with \" and \\). A word
// that starts with "#" ends the line.
Result<std::vector<Token>, QString> Tokenize(const QString& line) {
    std::vector<Token> tokens;
    int i = 0;
    const int n = line.size();
    while (i < n) {
        if (line[i].isSpace()) {
            ++i;
            continue;
        }
        Token token;
        if (line[i] == u'#')
            break;
        if (line[i] == u'"') {
            token.quoted = true;
            ++i;
            bool closed = false;
            while (i < n) {
                const QChar c = line[i++];
                if (c == u'\\' && i < n && (line[i] == u'"' || line[i] == u'\\')) {
                    token.text += line[i++];
                } else if (c == u'"') {
                    closed = true;
                    break;
                } else {
                    token.text += c;
                }
            }
            if (!closed)
                return Fail(QStringLiteral("引号没有结束"));
            while (i < n && !line[i].isSpace())
                token.suffix += line[i++];
        } else {
            while (i < n && !line[i].isSpace())
                token.text += line[i++];
        }
        tokens.push_back(std::move(token));
    }
    return tokens;
}

bool ParseNumber(const QString& text, double& value, double minimum, double maximum) {
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && std::isfinite(value) && value >= minimum && value <= maximum;
}

bool ParsePageSize(const QString& text, QPageSize& size) {
    static const struct {
        const char* name;
        QPageSize::PageSizeId id;
    } kNamed[] = {{"A3", QPageSize::A3}, {"A4", QPageSize::A4},         {"A5", QPageSize::A5},
                  {"B5", QPageSize::B5}, {"Letter", QPageSize::Letter}, {"Legal", QPageSize::Legal}};
    for (const auto& named : kNamed) {
        if (text.compare(QLatin1String(named.name), Qt::CaseInsensitive) == 0) {
            size = QPageSize(named.id);
            return true;
        }
    }
    const QStringList parts = text.split(u'x', Qt::KeepEmptyParts, Qt::CaseInsensitive);
    double width = 0;
    double height = 0;
    if (parts.size() != 2 || !ParseNumber(parts[0], width, 50, 2000) || !ParseNumber(parts[1], height, 50, 2000))
        return false;
    size = QPageSize(QSizeF(width, height), QPageSize::Millimeter);
    return true;
}

// "{字段}" is a field slot, "{$页码}" a library variable, "{{" and "}}" literal braces.
Result<void, QString> ParseCellText(const QString& text, Section& section, int lineNo, Cell& cell) {
    QString literal;
    auto flushLiteral = [&] {
        if (!literal.isEmpty()) {
            cell.segments.push_back({Segment::Literal, literal, 0});
            literal.clear();
        }
    };
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'{' && i + 1 < text.size() && text[i + 1] == u'{') {
            literal += c;
            ++i;
            continue;
        }
        if (c == u'}' && i + 1 < text.size() && text[i + 1] == u'}') {
            literal += c;
            ++i;
            continue;
        }
        if (c == u'}')
            return Fail(QStringLiteral("多余的“}”（字面的花括号请写成“}}”）"));
        if (c != u'{') {
            literal += c;
            continue;
        }
        const int close = text.indexOf(u'}', i + 1);
        if (close < 0)
            return Fail(QStringLiteral("“{”没有对应的“}”"));
        const QString name = text.mid(i + 1, close - i - 1).trimmed();
        i = close;
        if (name.isEmpty())
            return Fail(QStringLiteral("空的字段名“{}”"));
        flushLiteral();
        if (name.startsWith(u'$')) {
            const QString var = name.mid(1);
            Variable v;
            if (var == QStringLiteral("页码"))
                v = Variable::Page;
            else if (var == QStringLiteral("页数"))
                v = Variable::PageCount;
            else if (var == QStringLiteral("日期"))
                v = Variable::Date;
            else
                return Fail(QStringLiteral("未知的变量“{%1}”（可用：{$页码}、{$页数}、{$日期}）").arg(name));
            cell.segments.push_back({Segment::Var, QString(), static_cast<int>(v)});
            continue;
        }
        int index = -1;
        for (size_t f = 0; f < section.fields.size(); ++f) {
            if (section.fields[f] == name)
                index = static_cast<int>(f);
        }
        if (index < 0) {
            index = static_cast<int>(section.fields.size());
            section.fields.push_back(name);
            section.fieldLines.push_back(lineNo);
        }
        cell.segments.push_back({Segment::Field, QString(), index});
    }
    flushLiteral();
    return Ok();
}

Result<Cell, QString> ParseCell(const Token& token, Section& section, int lineNo) {
    if (!token.quoted)
        return Fail(QStringLiteral("列的内容要写在引号里：%1").arg(token.text));
    Cell cell;
    if (Result<void, QString> text = ParseCellText(token.text, section, lineNo, cell); !text)
        return Fail(std::move(text).error());
    if (token.suffix.isEmpty())
        return cell;
    if (!token.suffix.startsWith(u':'))
        return Fail(QStringLiteral("引号后只能跟“:宽度”和“:对齐”：%1").arg(token.suffix));
    const QStringList parts = token.suffix.mid(1).split(u':');
    if (parts.size() > 2)
        return Fail(QStringLiteral("引号后只能跟“:宽度”和“:对齐”：%1").arg(token.suffix));
    if (parts[0] != QStringLiteral("*") && !ParseNumber(parts[0], cell.widthMm, 1, 2000))
        return Fail(QStringLiteral("列宽要写毫米数（1 到 2000）或“*”：%1").arg(parts[0]));
    if (parts.size() == 2) {
        if (parts[1] == QStringLiteral("left"))
            cell.align = Qt::AlignLeft;
        else if (parts[1] == QStringLiteral("center"))
            cell.align = Qt::AlignHCenter;
        else if (parts[1] == QStringLiteral("right"))
            cell.align = Qt::AlignRight;
        else
            return Fail(QStringLiteral("对齐方式只能是 left、center 或 right：%1").arg(parts[1]));
    }
    return cell;
}

} // namespace

int Layout::FindSection(const QString& name) const {
    for (size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].name == name)
            return static_cast<int>(i);
    }
    return -1;
}

QPageLayout Layout::PageLayout() const {
    return QPageLayout(pageSize, orientation, marginsMm, QPageLayout::Millimeter);
}

Result<Layout, QString> ParseLayout(const QByteArray& bytes) {
    Layout layout;
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    if (text.contains(QChar::ReplacementCharacter))
        return Fail(QStringLiteral("版面文件不是 UTF-8 文本"));
    const QStringList lines = text.split(u'\n');
    Section* current = nullptr;
    for (int l = 0; l < lines.size(); ++l) {
        const int lineNo = l + 1;
        auto fail = [&](const QString& why) {
            return Fail(QStringLiteral("版面文件第 %1 行：%2").arg(lineNo).arg(why));
        };
        const Result<std::vector<Token>, QString> tokenized = Tokenize(lines[l]);
        if (!tokenized)
            return fail(tokenized.error());
        const std::vector<Token>& tokens = *tokenized;
        if (tokens.empty())
            continue;
        if (tokens[0].quoted)
            return fail(QStringLiteral("行首应是指令（page、margins、padding、font、section、line、space、rule）"));
        const QString directive = tokens[0].text;
        const size_t argc = tokens.size() - 1;
        auto bare = [&](size_t i) { return i < tokens.size() && !tokens[i].quoted; };

        if (directive == QStringLiteral("page")) {
            if (argc < 1 || argc > 2 || !bare(1) || !ParsePageSize(tokens[1].text, layout.pageSize))
                return fail(QStringLiteral("page 后写纸张（A3、A4、A5、B5、Letter、Legal 或 宽x高 毫米）和方向"));
            if (argc == 2) {
                if (tokens[2].text == QStringLiteral("portrait"))
                    layout.orientation = QPageLayout::Portrait;
                else if (tokens[2].text == QStringLiteral("landscape"))
                    layout.orientation = QPageLayout::Landscape;
                else
                    return fail(QStringLiteral("纸张方向只能是 portrait 或 landscape"));
            }
        } else if (directive == QStringLiteral("margins")) {
            double m[4];
            if (argc != 4)
                return fail(QStringLiteral("margins 后写四个毫米数：左 上 右 下"));
            for (int i = 0; i < 4; ++i) {
                if (!bare(i + 1) || !ParseNumber(tokens[i + 1].text, m[i], 0, 200))
                    return fail(QStringLiteral("页边距要写 0 到 200 毫米：%1").arg(tokens[i + 1].text));
            }
            layout.marginsMm = QMarginsF(m[0], m[1], m[2], m[3]);
        } else if (directive == QStringLiteral("padding")) {
            if (argc != 1 || !bare(1) || !ParseNumber(tokens[1].text, layout.paddingMm, 0, 20))
                return fail(QStringLiteral("padding 后写一个 0 到 20 的毫米数"));
        } else if (directive == QStringLiteral("font")) {
            double points = 0;
            if (argc < 3 || !bare(1) || !tokens[2].quoted || !bare(3) || !ParseNumber(tokens[3].text, points, 4, 96))
                return fail(QStringLiteral("font 后写：名称 \"字体\" 磅数 [bold] [italic]"));
            for (const auto& f : layout.fonts) {
                if (f.name == tokens[1].text)
                    return fail(QStringLiteral("字体“%1”重复定义").arg(f.name));
            }
            QFont font(tokens[2].text);
            font.setPointSizeF(points);
            for (size_t i = 4; i < tokens.size(); ++i) {
                if (tokens[i].text == QStringLiteral("bold") && bare(i))
                    font.setBold(true);
                else if (tokens[i].text == QStringLiteral("italic") && bare(i))
                    font.setItalic(true);
                else
                    return fail(QStringLiteral("字体选项只能是 bold 或 italic：%1").arg(tokens[i].text));
            }
            layout.fonts.push_back({tokens[1].text, font});
        } else if (directive == QStringLiteral("section")) {
            if (argc != 1)
                return fail(QStringLiteral("section 后写一个节名"));
            const QString name = tokens[1].text;
            if (layout.FindSection(name) >= 0)
                return fail(QStringLiteral("节“%1”重复定义").arg(name));
            layout.sections.push_back(Section{});
            current = &layout.sections.back();
            current->name = name;
            current->lineNo = lineNo;
        } else if (directive == QStringLiteral("line") || directive == QStringLiteral("space") ||
                   directive == QStringLiteral("rule")) {
            if (!current)
                return fail(QStringLiteral("%1 之前要先写 section").arg(directive));
            Item item;
            item.lineNo = lineNo;
            if (directive == QStringLiteral("space")) {
                item.kind = Item::Space;
                if (argc != 1 || !bare(1) || !ParseNumber(tokens[1].text, item.size, 0, 500))
                    return fail(QStringLiteral("space 后写一个毫米数"));
            } else if (directive == QStringLiteral("rule")) {
                item.kind = Item::Rule;
                item.size = 0.5;
                if (argc > 1 || (argc == 1 && (!bare(1) || !ParseNumber(tokens[1].text, item.size, 0.05, 10))))
                    return fail(QStringLiteral("rule 后可写线宽（0.05 到 10 磅）"));
            } else {
                item.kind = Item::Line;
                if (argc < 2 || !bare(1))
                    return fail(QStringLiteral("line 后写字体名和至少一列：line 字体 \"内容\":宽度"));
                item.font = -1;
                for (size_t f = 0; f < layout.fonts.size(); ++f) {
                    if (layout.fonts[f].name == tokens[1].text)
                        item.font = static_cast<int>(f);
                }
                if (item.font < 0)
                    return fail(QStringLiteral("字体“%1”没有定义（先写 font）").arg(tokens[1].text));
                for (size_t i = 2; i < tokens.size(); ++i) {
                    Result<Cell, QString> cell = ParseCell(tokens[i], *current, lineNo);
                    if (!cell)
                        return fail(cell.error());
                    item.cells.push_back(std::move(*cell));
                }
                ++current->printedLines;
            }
            current->items.push_back(std::move(item));
        } else {
            return fail(QStringLiteral("未知的指令“%1”").arg(directive));
        }
    }

    // Fixed column widths must fit the text width of the layout's own page.
    const QRectF paper = layout.PageLayout().paintRect(QPageLayout::Millimeter);
    for (const auto& section : layout.sections) {
        for (const auto& item : section.items) {
            double fixed = 0;
            for (const auto& cell : item.cells)
                fixed += std::max(0.0, cell.widthMm);
            if (fixed > paper.width() + 0.01)
                return Fail(QStringLiteral("版面文件第 %1 行：各列宽度合计 %2 毫米，超出版心宽度 %3 毫米")
                                .arg(item.lineNo)
                                .arg(fixed, 0, 'f', 1)
                                .arg(paper.width(), 0, 'f', 1));
        }
    }
    if (paper.height() < 20)
        return Fail(QStringLiteral("版面文件：页边距太大，版心高度不足 20 毫米"));
    return layout;
}

} // namespace formatprn
