#pragma once
// The layout file of the report library, parsed (inside the library only).
#include "core/Result.h"

#include <QFont>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QString>

#include <vector>

namespace formatprn {

// Texts the library fills itself.
enum class Variable { Page, PageCount, Date };

struct Segment {
    enum Kind { Literal, Field, Var } kind = Literal;
    QString text;  // Literal
    int index = 0; // Field: slot index in the section; Var: a Variable
};

struct Cell {
    std::vector<Segment> segments;
    double widthMm = 0; // <= 0: a share of what the fixed cells leave
    Qt::Alignment align = Qt::AlignLeft;
};

struct Item {
    enum Kind { Line, Space, Rule } kind = Line;
    int font = 0;            // Line
    std::vector<Cell> cells; // Line
    double size = 0;         // Space: millimetres; Rule: thickness in points
    int lineNo = 0;
};

struct Section {
    QString name;
    std::vector<Item> items;
    std::vector<QString> fields; // slot names, in order of first appearance
    std::vector<int> fieldLines; // layout line of each field's first appearance
    int lineNo = 0;
    int printedLines = 0;
};

struct FontSpec {
    QString name;
    QFont font;
};

struct Layout {
    QPageSize pageSize{QPageSize::A4};
    QPageLayout::Orientation orientation = QPageLayout::Portrait;
    QMarginsF marginsMm{15, 15, 15, 15};
    double paddingMm = 1.0;
    std::vector<FontSpec> fonts;
    std::vector<Section> sections;

    int FindSection(const QString& name) const;
    QPageLayout PageLayout() const;
};

// Parses the UTF-8 text of a layout file. A failure's message names the line.
kestrel::Result<Layout, QString> ParseLayout(const QByteArray& text);

} // namespace formatprn
