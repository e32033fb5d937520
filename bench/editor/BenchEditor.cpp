// bench_editor: switching groups in the main window over a folder of 10,000 module files,
// against the core listing (ModuleIndex::ListGroup) of the same groups in the same run.
#include "core/FixedText.h"
#include "editor/ModuleEditDlg.h"
#include "editor/SheetDlg.h"
#include "repository/Catalogue.h"
#include "repository/ModuleFile.h"
#include "repository/ModuleScan.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QTemporaryDir>

#include "BenchWindows.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

using namespace kestrel;

namespace {

constexpr int kModules = 10000;
constexpr int kGroups = 10;

std::filesystem::path g_folder;

std::string GroupId(int i) {
    return "G" + std::to_string(i);
}

void MakeFolder(const std::filesystem::path& folder) {
    GroupCatalogue catalogue;
    catalogue.Reset(folder / "bench.MGP");
    for (int g = 0; g < kGroups; ++g) {
        GroupRecord group{};
        SetFieldText(group.identifier, GroupId(g));
        SetFieldText(group.name, "group " + std::to_string(g));
        catalogue.AppendGroup(group);
    }
    SaveCatalogue(catalogue);
    ModuleRecord record;
    SetFieldText(record.header.keyword, kModuleKeyword);
    SetFieldText(record.header.creator, "SA");
    record.body = "INSERT INTO KSTError(UserID, ErrorCode, ErrorMsg) VALUES([?:UserID], 0, 'OK')";
    record.description = "bench";
    for (int i = 0; i < kModules; ++i) {
        SetFieldText(record.header.groupId, GroupId(i % kGroups));
        SetFieldText(record.header.title, "module number " + std::to_string(i));
        record.header.flags = i % 7;
        // Plain writes: the fixture need not survive a crash, and 10,000 synced writes are slow.
        const std::string bytes = SerializeModule(record);
        const std::string name = "m" + std::to_string(i) + (i % 2 ? ".kst" : ".KST");
        FILE* file = std::fopen((folder / name).c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

class OpenCatalogue : public ui::ModalResponder {
public:
    void Message(QWidget*, const QString& text, const QString&, ui::Icon) override {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    }
    bool Question(QWidget*, const QString&, const QString&, ui::Icon, bool) override { return false; }
    QString FileName(ui::FileDialogKind, const QString&, const QString&) override {
        return QString::fromStdString((g_folder / "bench.MGP").string());
    }
    int Dialog(QDialog*) override { return QDialog::Rejected; }
};

void BM_CoreListGroup(benchmark::State& state) {
    ModuleIndex index;
    std::vector<ModuleListEntry> entries;
    index.ListAll(g_folder, entries); // warm, as the window's index is after its first fill
    int g = 0;
    for (auto _ : state) {
        index.ListGroup(g_folder, GroupId(g), entries);
        benchmark::DoNotOptimize(entries.data());
        g = (g + 1) % kGroups;
    }
    state.counters["modules"] = static_cast<double>(entries.size());
}

void BM_WindowSwitchGroup(benchmark::State& state) {
    OpenCatalogue responder;
    ui::SetModalResponder(&responder);
    ModuleEditDlg window;
    window.SetUserName("SA");
    window.show();
    window.OpenCommand();
    ui::SetModalResponder(nullptr);
    ListBox* groups = window.Panel()->GroupList();
    int g = 1;
    for (auto _ : state) {
        // As a user's click does: the selection changes and the window fills the module list.
        groups->setCurrentRow(g);
        benchmark::DoNotOptimize(window.Panel()->ModuleCount());
        g = (g + 1) % kGroups;
    }
    state.counters["modules"] = static_cast<double>(window.Panel()->ModuleCount());
}

BENCHMARK(BM_CoreListGroup)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WindowSwitchGroup)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir dir;
    const auto setUp = [&dir] {
        g_folder = dir.path().toStdString();
        MakeFolder(g_folder);
        return true;
    };
    return kestrel::bench::RunWindowBenchmarks(argc, argv, setUp, [](const kestrel::bench::RatioReporter& reporter) {
        const std::string what = "window group switch / core ListGroup (" + std::to_string(kModules) + " files, " +
                                 std::to_string(kGroups) + " groups)";
        reporter.PrintRatio(what.c_str(), "BM_WindowSwitchGroup", "BM_CoreListGroup", kestrel::bench::Clock::Wall, 0.8);
    });
}
