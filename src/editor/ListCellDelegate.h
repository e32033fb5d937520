#pragma once
// How the editor's lists draw their lines.
#include <QStyledItemDelegate>

namespace kestrel {

// Lines are laid out in character cells: a character stored in one GBK byte takes one cell,
// a double-byte one two, so that the byte-padded columns of the module lines line up on screen
// as they do in the file. A cell is half a Chinese character, which keeps its natural advance
// (drawn in cells of the Latin advance, Chinese text reads letter-spaced); the Latin letters
// are drawn a little condensed to fit one cell.
class ListCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

} // namespace kestrel
