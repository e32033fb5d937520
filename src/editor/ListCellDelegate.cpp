#include "editor/ListCellDelegate.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace kestrel {

namespace {

int Cells(QChar ch) {
    return ch.unicode() < 0x80 || ch.unicode() == 0x20AC ? 1 : 2;
}

struct Grid {
    double cell;
    QFont single; // the font of the one-cell characters
};

Grid GridOf(const QFont& font) {
    const QFontMetricsF metrics(font);
    Grid grid{metrics.horizontalAdvance(QChar(0x4E2D)) / 2, font};
    const double latin = metrics.horizontalAdvance(QLatin1Char('0'));
    if (grid.cell <= 0 || latin <= 0) {
        grid.cell = latin;
        return grid;
    }
    grid.single.setStretch(std::clamp(static_cast<int>(std::lround(100 * grid.cell / latin)), 50, 100));
    grid.cell = std::max(grid.cell, QFontMetricsF(grid.single).horizontalAdvance(QLatin1Char('0')));
    return grid;
}

} // namespace

void ListCellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem frame = option;
    initStyleOption(&frame, index);
    const QString text = frame.text;
    frame.text.clear();
    QStyle* style = frame.widget ? frame.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &frame, painter, frame.widget);

    const QFontMetricsF metrics(option.font);
    const Grid grid = GridOf(option.font);
    const QRectF area = style->subElementRect(QStyle::SE_ItemViewItemText, &frame, frame.widget);
    const double baseline = area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent();
    painter->save();
    painter->setPen(
        option.palette.color(option.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled,
                             option.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setClipRect(option.rect);
    const double left = area.left() + 2;
    qsizetype cells = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype length = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString glyph = text.mid(i, length);
        const int width = Cells(text[i]);
        painter->setFont(width == 1 ? grid.single : option.font);
        const double advance = QFontMetricsF(painter->font()).horizontalAdvance(glyph);
        // Each character centred in its own cells: rounding never adds up along a line.
        painter->drawText(
            QPointF(left + grid.cell * static_cast<double>(cells) + (width * grid.cell - advance) / 2, baseline),
            glyph);
        cells += width;
        i += length;
    }
    painter->restore();
}

QSize ListCellDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    int cells = 0;
    const QString text = index.data(Qt::DisplayRole).toString();
    for (QChar ch : text)
        cells += ch.isLowSurrogate() ? 0 : Cells(ch);
    size.setWidth(static_cast<int>(std::ceil(cells * GridOf(option.font).cell)) + 8);
    return size;
}

} // namespace kestrel
