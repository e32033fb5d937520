// bench_sql_page: the property sheet on a module whose SQL text is 1 MiB in 20,000 lines with
// placeholders: opening it until the text is shown and highlighted, one typed character near
// the end, and find (Ctrl+F, F3); each against a bare QPlainTextEdit or QString::indexOf on the
// same text in the same run.
#include "core/FixedText.h"
#include "editor/FindDlg.h"
#include "editor/ModuleInfo3.h"
#include "editor/ModuleSheet.h"
#include "testing/Variables.h"
#include "ui/DialogUnits.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QTabBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

#include "BenchWindows.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

using namespace kestrel;

namespace {

constexpr int kLines = 20000;
constexpr std::size_t kTextBytes = 1 << 20;
// Near the end: where the typing happens and the one line that the search finds.
constexpr int kTypingLine = kLines - 10;
const char kNeedle[] = "KSTNEEDLE";

// 20,000 lines of a little over 52 bytes (CR LF included), 1 MiB in all: keywords, strings,
// comments, known and unknown placeholders, and a block comment over several lines.
std::string MakeSql() {
    static const char* const kShapes[] = {
        "SELECT a.ID FROM LEDGER a WHERE a.ACCT = [?:ACCOUNT]", "  AND a.AMOUNT > [?:LIMIT] AND N <> 'it''s' -- note",
        "INSERT INTO KSTError VALUES([?:UserID], 1, 'ok')",     "/* totals of the day, kept for the audit trail",
        "   over two lines */ UPDATE T SET N = [?:Missing]",    "DELETE FROM KSTError WHERE UserID = [?:UserID]",
    };
    std::string sql;
    sql.reserve(kTextBytes + 64);
    for (int line = 0; line < kLines; ++line) {
        std::string text = line == kTypingLine + 2 ? std::string("SELECT ") + kNeedle + " FROM T"
                                                   : kShapes[line % (sizeof kShapes / sizeof *kShapes)];
        // Pad each line so that the whole text is 1 MiB.
        const auto target = static_cast<std::ptrdiff_t>(kTextBytes * static_cast<std::size_t>(line + 1) / kLines) -
                            static_cast<std::ptrdiff_t>(sql.size() + 2);
        if (static_cast<std::ptrdiff_t>(text.size()) < target)
            text.append(static_cast<std::size_t>(target) - text.size(), ' ');
        sql += text;
        sql += "\r\n";
    }
    return sql;
}

void AddVariable(ModuleRecord& record, const char* name, uint8_t attribute, uint8_t type, int32_t length,
                 const char* testValue) {
    VariableDefinition& variable = record.variables[static_cast<std::size_t>(record.header.variableCount++)];
    SetFieldText(variable.name, name);
    variable.attribute = attribute;
    variable.type = type;
    variable.length = length;
    record.testValues += std::string(name) + "," + testValue + "\n";
}

const ModuleRecord& BigRecord() {
    static const ModuleRecord record = [] {
        ModuleRecord r;
        SetFieldText(r.header.keyword, kModuleKeyword);
        SetFieldText(r.header.title, "big SQL module");
        SetFieldText(r.header.creator, "SA");
        r.header.type = kSqlModule;
        r.body = MakeSql();
        r.header.bodyLength = static_cast<int32_t>(r.body.size() + 1);
        r.description = "bench";
        r.header.descriptionLength = static_cast<int32_t>(r.description.size() + 1);
        AddVariable(r, "ACCOUNT", kImport, kChar, 20, "1001");
        AddVariable(r, "LIMIT", kImport, kInt, 4, "100");
        AddVariable(r, "UserID", kConfig, kInt, 4, "7");
        return r;
    }();
    return record;
}

// The same text as the sheet's editor holds it.
const QString& PlainText() {
    static const QString text = [] {
        QString t = ui::FromGbk(BigRecord().body);
        t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        return t;
    }();
    return text;
}

class NoHost : public ModuleSheetHost {
public:
    FileStatus SaveCurrentModule() override { return Ok(); }
    std::filesystem::path ModuleFolder() const override { return std::filesystem::current_path(); }
};

// Answers the find dialog with the needle; reports any other modal as an error.
class FindResponder : public ui::ModalResponder {
public:
    FindResponder() { ui::SetModalResponder(this); }
    ~FindResponder() override { ui::SetModalResponder(nullptr); }
    void Message(QWidget*, const QString& text, const QString&, ui::Icon) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        ++messages;
    }
    bool Question(QWidget*, const QString&, const QString&, ui::Icon, bool) override { return false; }
    QString FileName(ui::FileDialogKind, const QString&, const QString&) override { return {}; }
    int Dialog(QDialog* dialog) override {
        auto* find = qobject_cast<FindDlg*>(dialog);
        if (!find)
            return QDialog::Rejected;
        find->TextEdit()->setText(QString::fromLatin1(kNeedle));
        find->accept();
        return find->result();
    }
    int messages = 0;
};

// A bare editor as the SQL page sets its own up: fixed font, no wrapping, both scroll bars.
std::unique_ptr<QPlainTextEdit> BareEditor() {
    auto editor = std::make_unique<QPlainTextEdit>();
    editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    editor->setFont(ui::FixedFont());
    editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const ui::DialogUnits du(ui::DialogFont());
    editor->resize(du.Size(366, 183));
    return editor;
}

// Shows the window and lets it paint, as the user sees it.
void ShowAndPaint(QWidget* window) {
    window->show();
    window->repaint();
    QCoreApplication::processEvents();
}

bool ShownBlockHighlighted(QPlainTextEdit* editor) {
    const QTextBlock block = editor->cursorForPosition(QPoint(0, 0)).block();
    return block.isValid() && !block.layout()->formats().isEmpty();
}

void PutCursorOnLine(QPlainTextEdit* editor, int line) {
    QTextCursor cursor(editor->document()->findBlockByNumber(line));
    cursor.movePosition(QTextCursor::EndOfBlock);
    editor->setTextCursor(cursor);
    editor->ensureCursorVisible();
}

bool Activate(QWidget* window, QWidget* focus) {
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window))
        return false;
    focus->setFocus();
    QCoreApplication::processEvents();
    return focus->hasFocus();
}

void BM_BareEditorOpen(benchmark::State& state) {
    const QString& text = PlainText();
    for (auto _ : state) {
        std::unique_ptr<QPlainTextEdit> editor = BareEditor();
        editor->setPlainText(text);
        ShowAndPaint(editor.get());
        state.PauseTiming();
        editor.reset();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
}

void BM_SheetOpen(benchmark::State& state) {
    NoHost host;
    ModuleRecord record = BigRecord(); // opened and closed without a store: left as it is
    for (auto _ : state) {
        auto sheet = std::make_unique<ModuleSheet>(kEditMode, record, &host);
        sheet->show();
        sheet->Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
        ShowAndPaint(sheet.get());
        state.PauseTiming();
        if (!ShownBlockHighlighted(sheet->Info3()->Editor()))
            state.SkipWithError("the shown text is not highlighted");
        sheet.reset();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
}

// One key pressed and released, then the frame it causes painted.
void TypeOneKey(QWidget* target) {
    QTest::keyClick(target, Qt::Key_A);
    QCoreApplication::processEvents();
}

void BM_BareEditorTypeKey(benchmark::State& state) {
    std::unique_ptr<QPlainTextEdit> editor = BareEditor();
    editor->setPlainText(PlainText());
    ShowAndPaint(editor.get());
    if (!Activate(editor.get(), editor.get())) {
        state.SkipWithError("the editor has no focus");
        return;
    }
    PutCursorOnLine(editor.get(), kTypingLine);
    ShowAndPaint(editor.get());
    for (auto _ : state)
        TypeOneKey(editor.get());
}

void BM_SheetTypeKey(benchmark::State& state) {
    NoHost host;
    ModuleRecord record = BigRecord();
    ModuleSheet sheet(kEditMode, record, &host);
    sheet.show();
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    ShowAndPaint(&sheet);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    if (!Activate(&sheet, editor)) {
        state.SkipWithError("the SQL box has no focus");
        return;
    }
    PutCursorOnLine(editor, kTypingLine);
    ShowAndPaint(&sheet);
    const QString before = sheet.Info3()->IndicatorText();
    for (auto _ : state)
        TypeOneKey(editor);
    if (sheet.Info3()->IndicatorText() == before)
        state.SkipWithError("the indicator did not follow the typing");
    if (!ShownBlockHighlighted(editor))
        state.SkipWithError("the typed line is not highlighted");
}

void BM_IndexOf(benchmark::State& state) {
    const QString& text = PlainText();
    const QString needle = QString::fromLatin1(kNeedle);
    for (auto _ : state)
        benchmark::DoNotOptimize(text.indexOf(needle, 0, Qt::CaseSensitive));
}

// Ctrl+F answered with the needle, or F3 with it as the find text; each from the start of the
// text to the match near its end, which is selected and scrolled into view.
void RunFind(benchmark::State& state, bool withDialog) {
    FindResponder responder;
    NoHost host;
    ModuleRecord record = BigRecord();
    ModuleSheet sheet(kEditMode, record, &host);
    sheet.show();
    sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
    ShowAndPaint(&sheet);
    QPlainTextEdit* editor = sheet.Info3()->Editor();
    if (!Activate(&sheet, editor)) {
        state.SkipWithError("the SQL box has no focus");
        return;
    }
    QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier); // sets the find text
    const int expected = static_cast<int>(PlainText().indexOf(QString::fromLatin1(kNeedle)));
    for (auto _ : state) {
        state.PauseTiming();
        editor->setTextCursor(QTextCursor(editor->document()));
        ShowAndPaint(&sheet);
        state.ResumeTiming();
        if (withDialog)
            QTest::keyClick(editor, Qt::Key_F, Qt::ControlModifier);
        else
            QTest::keyClick(editor, Qt::Key_F3);
    }
    if (editor->textCursor().selectionStart() != expected || responder.messages != 0)
        state.SkipWithError("find did not select the match");
}

void BM_SheetFindNext(benchmark::State& state) {
    RunFind(state, false);
}

void BM_SheetFindDialog(benchmark::State& state) {
    RunFind(state, true);
}

// The machine is shared: each runs five times and the median counts.
#define KESTREL_BENCHMARK(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->Repetitions(5)->DisplayAggregatesOnly(true)
KESTREL_BENCHMARK(BM_BareEditorOpen);
KESTREL_BENCHMARK(BM_SheetOpen);
KESTREL_BENCHMARK(BM_BareEditorTypeKey);
KESTREL_BENCHMARK(BM_SheetTypeKey);
KESTREL_BENCHMARK(BM_IndexOf);
KESTREL_BENCHMARK(BM_SheetFindNext);
KESTREL_BENCHMARK(BM_SheetFindDialog);

} // namespace

int main(int argc, char** argv) {
    const auto setUp = [] {
        BigRecord();
        PlainText();
        return true;
    };
    return kestrel::bench::RunWindowBenchmarks(argc, argv, setUp, [](const kestrel::bench::RatioReporter& reporter) {
        std::printf("\n");
        // All of it is work on the UI thread that never waits: compared by CPU time.
        using kestrel::bench::Clock;
        reporter.PrintRatio("sheet open, 1 MiB SQL shown / bare QPlainTextEdit", "BM_SheetOpen", "BM_BareEditorOpen",
                            Clock::Cpu, 2.0);
        reporter.PrintRatio("one key near the end / bare QPlainTextEdit", "BM_SheetTypeKey", "BM_BareEditorTypeKey",
                            Clock::Cpu, 1.7);
        reporter.PrintMilliseconds("one key near the end, per key", "BM_SheetTypeKey", Clock::Wall, 16.0);
        reporter.PrintRatio("F3 over 1 MiB / QString::indexOf", "BM_SheetFindNext", "BM_IndexOf", Clock::Cpu, 1.7);
        reporter.PrintRatio("Ctrl+F over 1 MiB / QString::indexOf", "BM_SheetFindDialog", "BM_IndexOf", Clock::Cpu,
                            2.0);
    });
}
