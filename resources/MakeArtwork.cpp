// Draws the tool-bar pictures, the start picture and the drag cursor into resources/.
// Run once after changing the artwork: kestrel-make-artwork <resources folder>
#include "core/ProgramArguments.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

#include <cstdio>

namespace {

QFont Face(const char* family, int pixelSize, bool bold) {
    QFont font(QString::fromLatin1(family));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

void Glyph(QPainter& p, const QString& kind, const QRectF& box) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 70, 120), 1.4));
    p.setBrush(QColor(255, 255, 255, 180));
    const QPointF c = box.center();
    if (kind == QLatin1String("new") || kind == QLatin1String("add")) {
        p.drawRect(QRectF(c.x() - 5, c.y() - 6, 10, 12));
        p.setPen(QPen(QColor(30, 140, 60), 2));
        p.drawLine(QPointF(c.x() + 6, c.y() - 1), QPointF(c.x() + 12, c.y() - 1));
        p.drawLine(QPointF(c.x() + 9, c.y() - 4), QPointF(c.x() + 9, c.y() + 2));
    } else if (kind == QLatin1String("edit")) {
        p.drawRect(QRectF(c.x() - 6, c.y() - 6, 10, 12));
        p.setPen(QPen(QColor(200, 120, 20), 2.2));
        p.drawLine(QPointF(c.x() + 2, c.y() + 5), QPointF(c.x() + 10, c.y() - 4));
    } else if (kind == QLatin1String("user")) {
        p.drawEllipse(QRectF(c.x() - 3.5, c.y() - 7, 7, 7));
        p.drawChord(QRectF(c.x() - 7, c.y() + 0.5, 14, 12), 0, 180 * 16);
    } else if (kind == QLatin1String("delete")) {
        p.setPen(QPen(QColor(190, 40, 40), 2.4));
        p.drawLine(QPointF(c.x() - 5, c.y() - 5), QPointF(c.x() + 5, c.y() + 5));
        p.drawLine(QPointF(c.x() + 5, c.y() - 5), QPointF(c.x() - 5, c.y() + 5));
    } else if (kind == QLatin1String("print")) {
        p.drawRect(QRectF(c.x() - 8, c.y() - 2, 16, 7));
        p.drawRect(QRectF(c.x() - 5, c.y() - 7, 10, 5));
        p.drawRect(QRectF(c.x() - 5, c.y() + 3, 10, 5));
    } else if (kind == QLatin1String("search")) {
        p.drawEllipse(QRectF(c.x() - 7, c.y() - 7, 10, 10));
        p.setPen(QPen(QColor(40, 70, 120), 2.4));
        p.drawLine(QPointF(c.x() + 2, c.y() + 2), QPointF(c.x() + 7, c.y() + 7));
    } else if (kind == QLatin1String("check")) {
        p.drawRect(QRectF(c.x() - 7, c.y() - 7, 12, 14));
        p.setPen(QPen(QColor(30, 140, 60), 2.4));
        p.drawLine(QPointF(c.x() - 3, c.y() + 1), QPointF(c.x(), c.y() + 4));
        p.drawLine(QPointF(c.x(), c.y() + 4), QPointF(c.x() + 8, c.y() - 5));
    } else if (kind == QLatin1String("exit")) {
        p.drawRect(QRectF(c.x() - 7, c.y() - 7, 9, 14));
        p.setPen(QPen(QColor(190, 40, 40), 2));
        p.drawLine(QPointF(c.x() - 1, c.y()), QPointF(c.x() + 9, c.y()));
        p.drawLine(QPointF(c.x() + 9, c.y()), QPointF(c.x() + 6, c.y() - 3));
        p.drawLine(QPointF(c.x() + 9, c.y()), QPointF(c.x() + 6, c.y() + 3));
    }
    p.restore();
}

bool ToolPicture(const QString& folder, const char* file, const char* key, const char* word, const char* kind) {
    QPixmap pixmap(63, 50);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient shade(0, 0, 0, 50);
    shade.setColorAt(0, QColor(246, 249, 253));
    shade.setColorAt(1, QColor(214, 225, 240));
    p.setBrush(shade);
    p.setPen(QPen(QColor(150, 170, 200), 1));
    p.drawRoundedRect(QRectF(0.5, 0.5, 62, 49), 5, 5);
    // Key name above, in Latin letters; the small glyph to its right; the word below.
    p.setPen(QColor(25, 55, 110));
    p.setFont(Face("DejaVu Sans", 13, true));
    p.drawText(QRectF(4, 2, 34, 20), Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(key));
    Glyph(p, QString::fromLatin1(kind), QRectF(36, 3, 24, 20));
    p.setPen(QColor(20, 20, 20));
    p.setFont(Face("WenQuanYi Micro Hei", 15, false));
    p.drawText(QRectF(0, 24, 63, 24), Qt::AlignCenter, QString::fromUtf8(word));
    p.end();
    return pixmap.save(folder + QStringLiteral("/toolbar/") + QString::fromLatin1(file) + QStringLiteral(".png"));
}

bool StartPicture(const QString& folder) {
    QPixmap pixmap(788, 474);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient sky(0, 0, 0, 474);
    sky.setColorAt(0, QColor(28, 58, 104));
    sky.setColorAt(0.6, QColor(72, 118, 168));
    sky.setColorAt(1, QColor(214, 196, 160));
    p.fillRect(pixmap.rect(), sky);
    QRadialGradient sun(600, 330, 140);
    sun.setColorAt(0, QColor(255, 236, 180, 200));
    sun.setColorAt(1, QColor(255, 236, 180, 0));
    p.setBrush(sun);
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(600, 330), 140, 140);
    // Hills.
    QPainterPath hills;
    hills.moveTo(0, 400);
    hills.cubicTo(180, 340, 320, 420, 470, 380);
    hills.cubicTo(600, 345, 700, 400, 788, 370);
    hills.lineTo(788, 474);
    hills.lineTo(0, 474);
    p.setBrush(QColor(70, 90, 70));
    p.drawPath(hills);
    // A hovering bird of prey: body, two swept wings and a fanned tail.
    p.save();
    p.translate(560, 170);
    p.setBrush(QColor(120, 70, 40));
    QPainterPath wings;
    wings.moveTo(0, 0);
    wings.cubicTo(-60, -50, -130, -40, -170, -20);
    wings.cubicTo(-120, -10, -60, 10, 0, 12);
    wings.cubicTo(60, 10, 120, -10, 170, -20);
    wings.cubicTo(130, -40, 60, -50, 0, 0);
    p.drawPath(wings);
    p.setBrush(QColor(150, 95, 55));
    p.drawEllipse(QPointF(0, 8), 14, 26);
    QPainterPath tail;
    tail.moveTo(-8, 28);
    tail.lineTo(-16, 62);
    tail.lineTo(16, 62);
    tail.lineTo(8, 28);
    p.drawPath(tail);
    p.setBrush(QColor(90, 60, 40));
    p.drawEllipse(QPointF(0, -16), 9, 9);
    p.restore();
    p.setPen(QColor(255, 255, 255));
    p.setFont(Face("WenQuanYi Micro Hei", 54, true));
    p.drawText(QRectF(50, 90, 460, 80), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("模块定义工具"));
    p.setPen(QColor(230, 236, 246));
    p.setFont(Face("WenQuanYi Micro Hei", 20, false));
    p.drawText(QRectF(54, 176, 460, 36), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("审计模块的定义、归档、测试与清单"));
    p.setFont(Face("WenQuanYi Micro Hei", 15, false));
    p.drawText(QRectF(54, 236, 460, 110), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("F2 新建模块组文件\nF3 打开模块组文件\nF4 用户管理\nEsc 退出"));
    p.end();
    return pixmap.save(folder + QStringLiteral("/start.png"));
}

bool DragCursor(const QString& folder) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // An arrow whose point is at (4, 4), carrying a small sheet.
    p.setBrush(QColor(255, 255, 250));
    p.setPen(QPen(QColor(60, 60, 60), 1));
    p.drawRect(QRectF(12.5, 16.5, 16, 12));
    p.setPen(QPen(QColor(120, 120, 120), 1));
    for (int y = 20; y <= 26; y += 3)
        p.drawLine(QPointF(15, y), QPointF(26, y));
    QPainterPath arrow;
    arrow.moveTo(4, 4);
    arrow.lineTo(4, 21);
    arrow.lineTo(8.5, 16.5);
    arrow.lineTo(12, 24);
    arrow.lineTo(14.5, 23);
    arrow.lineTo(11, 15.5);
    arrow.lineTo(17, 15.5);
    arrow.closeSubpath();
    p.setBrush(Qt::white);
    p.setPen(QPen(Qt::black, 1));
    p.drawPath(arrow);
    p.end();
    return pixmap.save(folder + QStringLiteral("/drag.png"));
}

} // namespace

int main(int argc, char** argv) {
    // Before Qt, which would take options of its own.
    kestrel::ProgramArguments arguments = kestrel::ParseProgramArguments(argc, argv);
    arguments.ExpectOperands(1, "RESOURCES_FOLDER");
    if (const std::optional<int> exit = kestrel::AnswerUsage(arguments, "kestrel-make-artwork",
                                                             "usage: kestrel-make-artwork [--] RESOURCES_FOLDER\n"
                                                             "Redraws the tool-bar pictures, the start picture and "
                                                             "the drag cursor as PNG files.\n"
                                                             "  -h, --help  this text\n"))
        return *exit;
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const QString folder = QString::fromLocal8Bit(arguments.operands[0].c_str());
    QDir().mkpath(folder + QStringLiteral("/toolbar"));
    bool ok = true;
    ok &= ToolPicture(folder, "f2_new", "F2", "新建", "new");
    ok &= ToolPicture(folder, "f3_edit", "F3", "修改", "edit");
    ok &= ToolPicture(folder, "f4_user", "F4", "用户", "user");
    ok &= ToolPicture(folder, "esc_exit", "Esc", "退出", "exit");
    ok &= ToolPicture(folder, "f2_add", "F2", "新增", "add");
    ok &= ToolPicture(folder, "f4_delete", "F4", "删除", "delete");
    ok &= ToolPicture(folder, "f5_print", "F5", "打印", "print");
    ok &= ToolPicture(folder, "f6_search", "F6", "搜索", "search");
    ok &= ToolPicture(folder, "f7_check", "F7", "检查", "check");
    ok &= StartPicture(folder);
    ok &= DragCursor(folder);
    return ok ? 0 : 1;
}
