#include "printing/FormatPrn.h"

#include "core/AtomicFile.h"
#include "printing/FormatLayout.h"
#include "ui/GbkText.h"

#include <QBuffer>
#include <QDate>
#include <QDialog>
#include <QFontMetricsF>
#include <QMessageBox>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QPen>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QTextLayout>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

using formatprn::Cell;
using formatprn::Item;
using formatprn::Layout;
using formatprn::Section;
using formatprn::Segment;
using formatprn::Variable;

namespace {

using kestrel::ui::FromGbk;
using kestrel::ui::ToGbkChecked;

// One committed section: which section, and the text of each of its field fieldSlots.
struct Instance {
    int section = 0;
    std::vector<QString> values;
};

// What a section's page variables resolve to on the page being drawn.
struct PageVars {
    QString page;
    QString pageCount;
    QString date;
};

// Fonts and column positions of one layout on one device, in device pixels.
class Metrics {
public:
    Metrics(const Layout& layout, QPaintDevice* device, double areaWidth)
        : m_layout(layout), m_device(device), m_px(device->logicalDpiY() / 25.4),
          m_pointPx(device->logicalDpiY() / 72.0), m_padding(layout.paddingMm * m_px) {
        for (const auto& fontDef : layout.fonts) {
            QFontMetricsF fm(fontDef.font, device);
            m_fonts.push_back({fontDef.font, fm.ascent(), fm.lineSpacing()});
            m_metrics.push_back(fm);
        }
        m_vpad = 0.6 * m_px;
        for (const auto& section : layout.sections) {
            std::vector<std::vector<Column>> columns;
            for (const auto& item : section.items)
                columns.push_back(ColumnsOf(item, areaWidth));
            m_columns.push_back(std::move(columns));
        }
    }

    double Px() const { return m_px; }

    // Height of a committed section as it would be drawn.
    double Height(const Instance& instance, const PageVars& vars, bool* wraps = nullptr) const {
        return Walk(instance, vars, 0, Measurer{*this, wraps});
    }

    // Draws a committed section with its top at y; returns the height used.
    double Draw(QPainter& painter, const Instance& instance, const PageVars& vars, double y, bool mayWrap) const {
        return Walk(instance, vars, y, Drawer{*this, painter, mayWrap});
    }

private:
    struct Column {
        double x;
        double width;
    };
    struct FontInfo {
        QFont font;
        double ascent;
        double lineSpacing;
    };

    // The one walk over a section's items that measuring and drawing share, from its top at y:
    // spaces and rules take their own height, a line the height of its tallest cell (at least
    // one line of its font). The visitor is told of each rule and line as the walk reaches it
    // and says how tall each cell's text is, 0 for a text on one line. Returns the height.
    template <typename Visitor>
    double Walk(const Instance& instance, const PageVars& vars, double y, Visitor&& visitor) const {
        const Section& section = m_layout.sections[instance.section];
        const double top = y;
        for (size_t i = 0; i < section.items.size(); ++i) {
            const Item& item = section.items[i];
            switch (item.kind) {
            case Item::Space:
                y += item.size * m_px;
                break;
            case Item::Rule: {
                const double h = RuleHeight(item);
                visitor.OnRule(item, y, h);
                y += h;
                break;
            }
            case Item::Line: {
                const auto& columns = m_columns[instance.section][i];
                visitor.OnLine(item);
                double line = m_fonts[item.font].lineSpacing;
                for (size_t c = 0; c < item.cells.size(); ++c)
                    line =
                        std::max(line, visitor.OnCell(item, c, columns[c], Resolve(item.cells[c], instance, vars), y));
                y += line + 2 * m_vpad;
                break;
            }
            }
        }
        return y - top;
    }

    struct Measurer {
        const Metrics& m;
        bool* wraps;

        void OnRule(const Item&, double, double) {}
        void OnLine(const Item&) {}
        double OnCell(const Item& item, size_t, const Column& column, const QString& text, double) {
            const double width = m.TextWidth(column);
            if (m.m_metrics[item.font].horizontalAdvance(text) <= width && !text.contains(u'\n'))
                return 0;
            if (wraps)
                *wraps = true;
            return m.WrappedHeight(text, item.font, width);
        }
    };

    struct Drawer {
        const Metrics& m;
        QPainter& painter;
        bool mayWrap; // false: every cell of the section fits on one line

        void OnRule(const Item& item, double y, double h) {
            const double thickness = item.size * m.m_pointPx;
            const double middle = y + h / 2;
            painter.fillRect(QRectF(0, middle - thickness / 2, m.m_areaWidth, thickness), Qt::black);
            // A rule thinner than a pixel of a scaled-down preview would cover no pixel
            // centre on some rows and vanish; a cosmetic line is always one pixel wide.
            painter.save();
            painter.setPen(QPen(Qt::black, 0));
            painter.drawLine(QPointF(0, middle), QPointF(m.m_areaWidth, middle));
            painter.restore();
        }
        void OnLine(const Item& item) { painter.setFont(m.m_fonts[item.font].font); }
        double OnCell(const Item& item, size_t c, const Column& column, const QString& text, double y) {
            if (text.isEmpty())
                return 0;
            const FontInfo& font = m.m_fonts[item.font];
            const double width = m.TextWidth(column);
            const double x = column.x + m.m_padding;
            const Qt::Alignment align = item.cells[c].align;
            if (align == Qt::AlignLeft && !mayWrap) {
                painter.drawText(QPointF(x, y + m.m_vpad + font.ascent), text);
                return 0;
            }
            const double advance = m.m_metrics[item.font].horizontalAdvance(text);
            if (advance <= width && !text.contains(u'\n')) {
                double dx = 0;
                if (align == Qt::AlignRight)
                    dx = width - advance;
                else if (align == Qt::AlignHCenter)
                    dx = (width - advance) / 2;
                painter.drawText(QPointF(x + dx, y + m.m_vpad + font.ascent), text);
                return 0;
            }
            QTextLayout layout(Printable(text), font.font, m.m_device);
            const double height = LayOut(layout, width, align);
            layout.draw(&painter, QPointF(x, y + m.m_vpad));
            return height;
        }
    };

    // Fixed widths in millimetres; the cells without a width share what is left.
    std::vector<Column> ColumnsOf(const Item& item, double areaWidth) {
        std::vector<Column> columns;
        double fixed = 0;
        int shares = 0;
        for (const auto& cell : item.cells) {
            if (cell.widthMm > 0)
                fixed += cell.widthMm * m_px;
            else
                ++shares;
        }
        const double share = shares ? std::max(0.0, (areaWidth - fixed) / shares) : 0;
        double x = 0;
        for (const auto& cell : item.cells) {
            const double width = cell.widthMm > 0 ? cell.widthMm * m_px : share;
            columns.push_back({x, width});
            x += width;
        }
        m_areaWidth = areaWidth;
        return columns;
    }

    double TextWidth(const Column& column) const { return std::max(1.0, column.width - 2 * m_padding); }

    double RuleHeight(const Item& item) const { return item.size * m_pointPx + 1.2 * m_px; }

    static QString Printable(QString text) {
        text.replace(u'\n', QChar::LineSeparator);
        return text;
    }

    // Wraps at word boundaries, and anywhere inside a word that is wider than the column (a long
    // file name is printed whole, over several lines).
    static double LayOut(QTextLayout& layout, double width, Qt::Alignment align) {
        QTextOption option(align);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.setCacheEnabled(true);
        double height = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            line.setPosition(QPointF(0, height));
            height += line.height();
        }
        layout.endLayout();
        return height;
    }

    double WrappedHeight(const QString& text, int font, double width) const {
        QTextLayout layout(Printable(text), m_fonts[font].font, m_device);
        return LayOut(layout, width, Qt::AlignLeft);
    }

    static QString Resolve(const Cell& cell, const Instance& instance, const PageVars& vars) {
        if (cell.segments.size() == 1 && cell.segments[0].kind == Segment::Field)
            return instance.values[cell.segments[0].index];
        QString text;
        for (const auto& segment : cell.segments) {
            switch (segment.kind) {
            case Segment::Literal:
                text += segment.text;
                break;
            case Segment::Field:
                text += instance.values[segment.index];
                break;
            case Segment::Var:
                switch (static_cast<Variable>(segment.index)) {
                case Variable::Page:
                    text += vars.page;
                    break;
                case Variable::PageCount:
                    text += vars.pageCount;
                    break;
                case Variable::Date:
                    text += vars.date;
                    break;
                }
                break;
            }
        }
        return text;
    }

    const Layout& m_layout;
    QPaintDevice* m_device;
    double m_px;
    double m_pointPx;
    double m_padding;
    double m_vpad = 0;
    double m_areaWidth = 0;
    std::vector<FontInfo> m_fonts;
    std::vector<QFontMetricsF> m_metrics;
    std::vector<std::vector<std::vector<Column>>> m_columns; // section, item, cell
};

// Runs one section operation with its committed sections collected into sink.
template <typename Op> bool Collect(std::vector<Instance>*& slot, std::vector<Instance>& sink, Op op) {
    sink.clear();
    slot = &sink;
    const int result = op();
    slot = nullptr;
    return result != 0;
}

} // namespace

struct FormatPrn::Impl {
    std::filesystem::path layoutPath;
    QString documentName;
    Layout layout;
    bool layoutLoaded = false;

    int open = -1; // open section, -1 when none
    std::vector<const char*> fieldSlots;
    const char* scratch = nullptr;
    std::vector<Instance>* sink = nullptr;
    std::vector<bool> begun;

    std::vector<Instance> body;
    std::vector<Instance> frameHeader;
    std::vector<Instance> frameFooter;

    Failure failure = Failure::None;
    QString failureText;
    UiHooks hooks;
    FormatPrnObserver* observer = nullptr;

    void Fail(Failure kind, const QString& text) {
        if (failure != Failure::None)
            return;
        failure = kind;
        failureText = text;
    }

    bool LoadLayout() {
        std::string bytes;
        const kestrel::FileStatus status = kestrel::ReadWholeFile(layoutPath, bytes);
        if (!status) {
            Fail(Failure::LayoutUnreadable,
                 QStringLiteral("无法读取版面文件“%1”：%2")
                     .arg(QString::fromStdString(layoutPath.string()), FromGbk(status.error().message)));
            return false;
        }
        kestrel::Result<Layout, QString> parsed = formatprn::ParseLayout(QByteArray::fromStdString(bytes));
        if (!parsed) {
            Fail(Failure::LayoutInvalid, parsed.error());
            return false;
        }
        layout = std::move(*parsed);
        layoutLoaded = true;
        begun.assign(layout.sections.size(), false);
        return true;
    }

    PageVars Vars(int page, int pageCount) const {
        return {QString::number(page), QString::number(pageCount),
                QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))};
    }

    // The run up to the first page: layout, body, and the page frame as the first page shows it.
    bool Prepare(const std::function<int()>& writeBody, const std::function<int(int)>& writeHeader,
                 const std::function<int(int, int)>& writeFooter) {
        Impl& d = *this;
        d.failure = Failure::None;
        d.failureText.clear();
        d.layoutLoaded = false;
        if (!d.LoadLayout())
            return false;
        if (!Collect(d.sink, d.body, writeBody)) {
            d.Fail(Failure::Report, QStringLiteral("模块清单没有生成"));
            return false;
        }
        if (!Collect(d.sink, d.frameHeader, [&] { return writeHeader(1); })) {
            d.Fail(Failure::Report, QStringLiteral("表头没有生成"));
            return false;
        }
        if (!Collect(d.sink, d.frameFooter, [&] { return writeFooter(1, 0); })) {
            d.Fail(Failure::Report, QStringLiteral("表尾没有生成"));
            return false;
        }
        // A section that nobody fills is a mistake in the layout (a misspelt name, most likely).
        // Without body rows the body's sections are legitimately unused, so only then is it unknown.
        if (!d.body.empty()) {
            for (size_t i = 0; i < d.layout.sections.size(); ++i) {
                if (!d.begun[i]) {
                    d.Fail(Failure::LayoutInvalid, QStringLiteral("版面文件第 %1 行：节“%2”不是程序填写的节")
                                                       .arg(d.layout.sections[i].lineNo)
                                                       .arg(d.layout.sections[i].name));
                    return false;
                }
            }
        }
        return true;
    }

    // Lays the report out on device page by page.
    bool Render(QPagedPaintDevice* device, const std::function<int(int)>& writeHeader,
                const std::function<int(int, int)>& writeFooter) {
        Impl& d = *this;
        QPainter painter;
        if (!painter.begin(device)) {
            d.Fail(Failure::Output, QStringLiteral("无法开始绘制页面"));
            return false;
        }
        const double dpi = device->logicalDpiY();
        const QRect paint = device->pageLayout().paintRectPixels(static_cast<int>(dpi));
        const double areaWidth = paint.width();
        const double areaHeight = paint.height();
        Metrics metrics(d.layout, device, areaWidth);

        const PageVars firstVars = d.Vars(1, 1);
        double headerHeight = 0;
        for (const auto& instance : d.frameHeader)
            headerHeight += metrics.Height(instance, firstVars);
        double footerHeight = 0;
        for (const auto& instance : d.frameFooter)
            footerHeight += metrics.Height(instance, firstVars);
        const double bodyHeight = areaHeight - headerHeight - footerHeight;
        if (bodyHeight < 10 * metrics.Px()) {
            d.Fail(Failure::LayoutInvalid, QStringLiteral("表头和表尾太高，页面上放不下正文"));
            return false;
        }

        // Rows never split: a row that does not fit starts the next page.
        std::vector<double> heights(d.body.size());
        std::vector<char> wraps(d.body.size(), 0);
        std::vector<size_t> pageStarts{0};
        double used = 0;
        for (size_t i = 0; i < d.body.size(); ++i) {
            bool wrapped = false;
            heights[i] = metrics.Height(d.body[i], firstVars, &wrapped);
            wraps[i] = wrapped;
            if (used > 0 && used + heights[i] > bodyHeight) {
                pageStarts.push_back(i);
                used = 0;
            }
            used += heights[i];
        }
        const int pageCount = static_cast<int>(pageStarts.size());

        std::vector<Instance> header;
        std::vector<Instance> footer;
        for (int page = 1; page <= pageCount; ++page) {
            if (page > 1 && !device->newPage()) {
                d.Fail(Failure::Output, QStringLiteral("无法开始新的一页"));
                return false;
            }
            if (!Collect(d.sink, header, [&] { return writeHeader(page); })) {
                d.Fail(Failure::Report, QStringLiteral("表头没有生成"));
                return false;
            }
            const PageVars vars = d.Vars(page, pageCount);
            double y = 0;
            for (const auto& instance : header)
                y += metrics.Draw(painter, instance, vars, y, true);
            y = std::max(y, headerHeight);
            const size_t end = page < pageCount ? pageStarts[page] : d.body.size();
            for (size_t i = pageStarts[page - 1]; i < end; ++i) {
                metrics.Draw(painter, d.body[i], vars, y, wraps[i]);
                y += heights[i];
            }
            if (!Collect(d.sink, footer, [&] { return writeFooter(page, pageCount); })) {
                d.Fail(Failure::Report, QStringLiteral("表尾没有生成"));
                return false;
            }
            double height = 0;
            for (const auto& instance : footer)
                height += metrics.Height(instance, vars);
            y = areaHeight - height;
            for (const auto& instance : footer)
                y += metrics.Draw(painter, instance, vars, y, true);
        }
        if (!painter.end()) {
            d.Fail(Failure::Output, QStringLiteral("页面没有画完"));
            return false;
        }
        return true;
    }
};

FormatPrn::FormatPrn(const char* layoutPath, const char* documentName) : m_impl(std::make_unique<Impl>()) {
    m_impl->layoutPath = layoutPath ? std::filesystem::path(layoutPath) : std::filesystem::path();
    m_impl->documentName = documentName ? FromGbk(documentName) : QStringLiteral("模块目录");
}

FormatPrn::~FormatPrn() = default;

int FormatPrn::WriteHeader(int) {
    return 1;
}
int FormatPrn::WriteFooter(int, int) {
    return 1;
}
int FormatPrn::WriteBody() {
    return 1;
}

int FormatPrn::GetSectionLines(const char* section) {
    if (!section || (!m_impl->layoutLoaded && !m_impl->LoadLayout()))
        return 0;
    const int index = m_impl->layout.FindSection(FromGbk(section));
    return index < 0 ? 0 : m_impl->layout.sections[index].printedLines;
}

void FormatPrn::SetUiHooks(UiHooks hooks) {
    m_impl->hooks = std::move(hooks);
}
void FormatPrn::SetObserver(FormatPrnObserver* observer) {
    m_impl->observer = observer;
}

FormatPrnObserver::~FormatPrnObserver() = default;

namespace {
// An object that surely lives in this library (a function's address may be a stub elsewhere).
const char kLibraryAnchor = 0;
} // namespace

std::filesystem::path FormatPrn::LibraryFolder() {
    Dl_info info{};
    if (dladdr(&kLibraryAnchor, &info) && info.dli_fname)
        return std::filesystem::absolute(info.dli_fname).parent_path();
    return {};
}

int FormatPrn::FMT_Begin(const char* section) {
    const int result = Begin(section);
    if (m_impl->observer)
        m_impl->observer->OnBegin(section ? section : "", result);
    return result;
}

int FormatPrn::Begin(const char* section) {
    Impl& d = *m_impl;
    d.open = -1;
    if (!d.layoutLoaded && !d.LoadLayout())
        return 0;
    const QString name = section ? FromGbk(section) : QString();
    const int index = d.layout.FindSection(name);
    if (index < 0) {
        d.Fail(Failure::LayoutInvalid, QStringLiteral("版面文件中没有节“%1”").arg(name));
        return 0;
    }
    d.open = index;
    d.begun[index] = true;
    d.fieldSlots.assign(d.layout.sections[index].fields.size(), nullptr);
    return 1;
}

const char*& FormatPrn::FMT_String(const char* field) {
    Impl& d = *m_impl;
    if (d.observer)
        d.observer->OnString(field ? field : "");
    d.scratch = nullptr;
    if (d.open < 0 || !field)
        return d.scratch;
    const QString name = FromGbk(field);
    const auto& fields = d.layout.sections[d.open].fields;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i] == name)
            return d.fieldSlots[i];
    }
    return d.scratch;
}

int FormatPrn::FMT_Commit() {
    Impl& d = *m_impl;
    if (!d.observer)
        return Commit();
    std::vector<std::pair<std::string, std::string>> fields;
    if (d.open >= 0) {
        const Section& section = d.layout.sections[d.open];
        for (size_t i = 0; i < section.fields.size(); ++i)
            fields.emplace_back(ToGbkChecked(section.fields[i]), d.fieldSlots[i] ? d.fieldSlots[i] : "");
    }
    const int result = Commit();
    d.observer->OnCommit(fields, result);
    return result;
}

int FormatPrn::Commit() {
    Impl& d = *m_impl;
    if (d.open < 0) {
        d.Fail(Failure::Report, QStringLiteral("没有打开的节可以输出"));
        return 0;
    }
    const Section& section = d.layout.sections[d.open];
    Instance instance;
    instance.section = d.open;
    instance.values.reserve(d.fieldSlots.size());
    for (size_t i = 0; i < d.fieldSlots.size(); ++i) {
        if (!d.fieldSlots[i]) {
            d.Fail(Failure::LayoutInvalid, QStringLiteral("版面文件第 %1 行：节“%2”的字段“%3”不是程序填写的字段")
                                               .arg(section.fieldLines[i])
                                               .arg(section.name, section.fields[i]));
            d.open = -1;
            return 0;
        }
        instance.values.push_back(FromGbk(d.fieldSlots[i]));
    }
    d.open = -1;
    if (d.sink)
        d.sink->push_back(std::move(instance));
    return 1;
}

int FormatPrn::FMT_Fail(const char* reason) {
    m_impl->Fail(Failure::Report, reason ? FromGbk(reason) : QStringLiteral("原因不明"));
    return 0;
}

int FormatPrn::Run() {
    Impl& d = *m_impl;
    auto body = [this] { return WriteBody(); };
    auto header = [this](int page) { return WriteHeader(page); };
    auto footer = [this](int page, int count) { return WriteFooter(page, count); };
    auto showFailure = [&] {
        const QString text = QStringLiteral("报表无法生成：") + d.failureText;
        if (d.hooks.showMessage)
            d.hooks.showMessage(d.hooks.parent, text);
        else
            QMessageBox::warning(d.hooks.parent, QStringLiteral("错误"), text);
    };
    if (!d.Prepare(body, header, footer)) {
        showFailure();
        return 0;
    }

    QPrinter printer(QPrinter::HighResolution);
    printer.setPageLayout(d.layout.PageLayout());
    printer.setDocName(d.documentName);
    printer.setCreator(QStringLiteral("kestrel"));
    QPrintPreviewDialog dialog(&printer, d.hooks.parent);
    dialog.setWindowTitle(QStringLiteral("打印预览 - %1").arg(d.documentName));
    dialog.resize(1000, 760);
    bool rendered = true;
    QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog, [&](QPrinter* target) {
        if (!d.Render(target, header, footer))
            rendered = false;
    });
    if (d.hooks.execDialog)
        d.hooks.execDialog(&dialog);
    else
        dialog.exec();
    if (!rendered) {
        showFailure();
        return 0;
    }
    return 1;
}

kestrel::Result<void, FormatPrn::RunError> FormatPrn::RunToPdf(const std::filesystem::path& pdfPath) {
    Impl& d = *m_impl;
    auto body = [this] { return WriteBody(); };
    auto header = [this](int page) { return WriteHeader(page); };
    auto footer = [this](int page, int count) { return WriteFooter(page, count); };
    auto failed = [&d] { return kestrel::Fail(RunError{d.failure, d.failureText}); };
    if (!d.Prepare(body, header, footer))
        return failed();
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter writer(&buffer);
        writer.setResolution(1200);
        writer.setPageLayout(d.layout.PageLayout());
        writer.setTitle(d.documentName);
        writer.setCreator(QStringLiteral("kestrel"));
        if (!d.Render(&writer, header, footer))
            return failed();
    }
    buffer.close();
    const QByteArray& bytes = buffer.data();
    const kestrel::FileStatus status =
        kestrel::WriteOutputFile(pdfPath, std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
    if (!status) {
        d.Fail(Failure::Output, QStringLiteral("无法写入“%1”：%2")
                                    .arg(QString::fromStdString(pdfPath.string()), FromGbk(status.error().message)));
        return failed();
    }
    return kestrel::Ok();
}
