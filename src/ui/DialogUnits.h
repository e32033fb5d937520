#pragma once
// Dialog-unit layouts: one horizontal unit is the font's average character width / 4, one
// vertical unit its height / 8, as the stored dialog templates assume.
#include <QFont>
#include <QRect>

namespace kestrel::ui {

// The dialog font: a proportional face that shows Chinese, 9 points.
QFont DialogFont();
// The fixed-pitch face of lists and text boxes. Its Chinese glyphs are wider than its Latin
// ones but not exactly twice as wide, so lists that must keep columns draw in character cells.
QFont FixedFont();

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font = DialogFont());
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int width, int height) const;
    QSize Size(int width, int height) const;

private:
    double m_baseX;
    double m_baseY;
};

} // namespace kestrel::ui
