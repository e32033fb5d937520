// "检查模块" driven with keys from the catalogue view on an SQLite audit database: its verdicts,
// codes, order and exported reports against kestrel-tool check on the same catalogue, the
// re-checks, the stop, and opening a row's module in the sheet.
#include "support/Builders.h"
#include "support/Databases.h"
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "core/AtomicFile.h"
#include "core/FixedText.h"
#include "editor/CheckDlg.h"
#include "editor/ModuleEditDlg.h"
#include "editor/SheetDlg.h"
#include "repository/ModuleFile.h"
#include "testing/widgets/DataSourceDlg.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <map>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

std::map<std::string, std::string> FolderBytes(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string bytes;
        ReadWholeFile(entry.path(), bytes);
        files[entry.path().filename().string()] = bytes;
    }
    return files;
}

// The report with every time taken out: the one thing a second run may write differently.
QString WithoutTimes(const std::string& report) {
    QString text = QString::fromStdString(report);
    text.replace(QRegularExpression(QStringLiteral("\\b\\d+\\.\\d{3}\\b")), QStringLiteral("T"));
    text.replace(QRegularExpression(QStringLiteral("timestamp=\"[^\"]*\"")), QStringLiteral("timestamp=\"\""));
    return text;
}

std::string ReadText(const std::filesystem::path& path) {
    std::string bytes;
    ReadWholeFile(path, bytes);
    return bytes;
}

} // namespace

class CheckWindowTest : public QObject {
    Q_OBJECT

    struct Fixture {
        TestWorkspace workspace;
        ScriptedResponder responder;
        // SQLite, or a throwaway PostgreSQL cluster in the program built for it.
        AuditDatabase database;
        ModuleEditDlg window;

        Fixture() {
            if (database.Missing())
                qFatal("%s", database.MissingText().c_str());
            if (!database.Failure().empty() || ResetErrorTable(database.ConnectionString()) != "")
                qFatal("no error table");
            const auto folder = workspace.Modules();
            WriteCatalogue(folder / "audit.MGP", {{"G1", Gbk("通过组")}, {"G2", Gbk("失败组")}});
            const std::vector<VariableRow> user = {Row("UserID", kImport, kInt, "7")};
            Save("b_ok.kst", "G1", "INSERT INTO KSTError VALUES ([?:UserID], 0, 'ok')", user);
            Save("a_rows.kst", "G1",
                 Gbk("INSERT INTO KSTError VALUES ([?:UserID], 0, '总体'), ([?:UserID], 5, '凭证不平衡：V007')"), user);
            Save("c_bad.kst", "G2", Gbk("INSERT INTO KSTError VALUES ([?:UserID], 3, '中文错误')"), user);
            Save("d_placeholder.kst", "G2", "SELECT [?:Nobody]", user);
            Save("e_ok.kst", "G2", "INSERT INTO KSTError VALUES ([?:UserID], 0, 'fine')", user);
        }

        void Save(const std::string& fileName, const std::string& group, const std::string& body,
                  const std::vector<VariableRow>& rows) {
            ModuleRecord record = SqlRecord(body);
            SetFieldText(record.header.groupId, group);
            SetFieldText(record.header.title, fileName);
            StoreRowsInModule(record, rows);
            record.fileName = fileName;
            if (!SaveModuleFile(record, "SA", workspace.Modules()))
                qFatal("module not saved");
        }

        void Open() {
            window.SetUserName("li");
            window.show();
            responder.AnswerFile(workspace.CataloguePath());
            QTest::keyClick(&window, Qt::Key_F3);
        }

        // The data source as the sheet's chooser takes it, typed in.
        void AnswerDataSource() {
            const QString connection = QString::fromStdString(database.ConnectionString());
            responder.OnDialog([connection](QDialog* dialog) {
                auto* chooser = qobject_cast<DataSourceDlg*>(dialog);
                QVERIFY(chooser);
                for (QLineEdit* edit : chooser->findChildren<QLineEdit*>())
                    edit->setText(connection);
                chooser->accept();
            });
        }

        // `kestrel-tool check` on the same catalogue; group empty: every group.
        CommandRun Check(const std::string& group, const std::string& junit, const std::string& csv) const {
            const std::filesystem::path folder = workspace.Modules();
            return RunCommandLine("'" KESTREL_TOOL_PATH "' check '" + (folder / "audit.MGP").string() +
                                  "' --connect '" + database.ConnectionString() + "' --jobs 2" +
                                  (group.empty() ? std::string() : " --group " + group) + " --junit '" +
                                  (workspace.Root() / junit).string() + "' --csv '" +
                                  (workspace.Root() / csv).string() + "' 2>/dev/null");
        }
    };

    // The window's rows as the CLI's lines put them: file, group, verdict word, code.
    static QStringList RowsOf(CheckDlg* check) {
        static const std::map<QString, QString> words = {{QStringLiteral("通过"), QStringLiteral("PASS")},
                                                         {QStringLiteral("未通过"), QStringLiteral("FAIL")},
                                                         {QStringLiteral("无法运行"), QStringLiteral("ERROR")},
                                                         {QStringLiteral("未运行"), QStringLiteral("NOTRUN")}};
        QStringList rows;
        QTreeWidget* list = check->List();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = list->topLevelItem(i);
            rows << QStringList{item->text(CheckDlg::kFileColumn), item->text(CheckDlg::kGroupColumn),
                                words.at(item->text(CheckDlg::kResultColumn)), item->text(CheckDlg::kCodeColumn)}
                        .join(QStringLiteral("  "));
        }
        return rows;
    }
    static QStringList LinesOf(const CommandRun& run) {
        QStringList lines;
        for (const QString& line : QString::fromStdString(run.out).split(u'\n', Qt::SkipEmptyParts)) {
            const QStringList fields = line.split(QStringLiteral("  "));
            if (fields.size() >= 4)
                lines << fields.mid(0, 4).join(QStringLiteral("  "));
        }
        return lines;
    }

    // Exports through the window's button into the workspace; the bytes written.
    static std::string ExportOf(Fixture& fixture, CheckDlg* check, const char* name) {
        const std::filesystem::path path = fixture.workspace.Root() / name;
        fixture.responder.AnswerFile(QString::fromStdString(path.string()));
        QTest::mouseClick(check->ExportButton(), Qt::LeftButton);
        return ReadText(path);
    }

private slots:
    void initTestCase() { InitKestrelResources(); }

    void groupAndCatalogueAgreeWithTheTool() {
        Fixture fixture;
        fixture.Open();
        const auto before = FolderBytes(fixture.workspace.Modules());
        const CommandRun group = fixture.Check("G2", "g2.xml", "g2.csv");
        const CommandRun whole = fixture.Check("", "all.xml", "all.csv");
        QCOMPARE(group.exitCode, 4);

        // F7: the current group (the first), after the one question for the data source.
        QStringList g1Rows;
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QVERIFY(check);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running() && check->LastRunSize() == 2, 20000);
            g1Rows = RowsOf(check);
            QCOMPARE(check->Summary()->text(), QStringLiteral("通过 2，未通过 0，无法运行 0，未运行 0"));
            QCOMPARE(check->Progress()->text(), QStringLiteral("已完成 2 / 2"));
            // The first row decides; the other rows are the author's to read.
            check->List()->setCurrentItem(check->List()->topLevelItem(0));
            QVERIFY(check->List()->topLevelItem(0)->text(CheckDlg::kMessageColumn).isEmpty() ||
                    check->Detail()->toPlainText().contains(QStringLiteral("另有 1 行错误代码非 0")));
            QVERIFY(check->Detail()->toPlainText().contains(QStringLiteral("凭证不平衡：V007")));
            QVERIFY(check->Detail()->toPlainText().contains(QStringLiteral("VALUES (7, 0")));
            QTest::keyClick(check, Qt::Key_Escape);
        });
        fixture.AnswerDataSource();
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
        QCOMPARE(g1Rows, (QStringList{"a_rows.kst  G1  PASS  0", "b_ok.kst  G1  PASS  0"}));

        // F7 on the second group: the data source is not asked for again.
        fixture.window.Panel()->SelectGroup(1);
        QTest::qWait(0);
        std::string junit, csv;
        QStringList g2Rows;
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QVERIFY(check);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running() && check->LastRunSize() == 3, 20000);
            g2Rows = RowsOf(check);
            QCOMPARE(check->Summary()->text(), QStringLiteral("通过 1，未通过 1，无法运行 1，未运行 0"));
            junit = ExportOf(fixture, check, "window.xml");
            csv = ExportOf(fixture, check, "window.csv");
            QTest::mouseClick(check->CloseButton(), Qt::LeftButton);
        });
        const int dialogsBefore = fixture.responder.dialogTitles.size();
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
        QCOMPARE(fixture.responder.dialogTitles.size(), dialogsBefore + 1);
        QCOMPARE(g2Rows, LinesOf(group));
        QCOMPARE(WithoutTimes(junit), WithoutTimes(ReadText(fixture.workspace.Root() / "g2.xml")));
        QCOMPARE(WithoutTimes(csv), WithoutTimes(ReadText(fixture.workspace.Root() / "g2.csv")));

        // Shift+F7's command: every group of the catalogue, in the tool's order.
        QStringList allRows;
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running() && check->LastRunSize() == 5, 20000);
            allRows = RowsOf(check);
            csv = ExportOf(fixture, check, "all-window.csv");
            QTest::keyClick(check, Qt::Key_Escape);
        });
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7, Qt::ShiftModifier);
        QCOMPARE(allRows, LinesOf(whole));
        QCOMPARE(WithoutTimes(csv), WithoutTimes(ReadText(fixture.workspace.Root() / "all.csv")));
        QCOMPARE(FolderBytes(fixture.workspace.Modules()), before);
        QVERIFY(fixture.responder.messages.empty());
    }

    // Only the rows that did not pass run again; the filter hides the passed ones; nothing ran
    // is never shown as a success.
    void recheckFailedAndFilter() {
        Fixture fixture;
        fixture.Open();
        fixture.window.Panel()->SelectGroup(1);
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running() && check->LastRunSize() == 3, 20000);
            const double passedTime = check->Results()[2].seconds;
            QCOMPARE(check->Results()[2].verdict, Verdict::kPassed);

            QTest::mouseClick(check->FailuresOnly(), Qt::LeftButton);
            QVERIFY(check->List()->topLevelItem(2)->isHidden());
            QVERIFY(!check->List()->topLevelItem(0)->isHidden());

            QTest::mouseClick(check->FailedButton(), Qt::LeftButton);
            QCOMPARE(check->LastRunSize(), std::size_t(2));
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running(), 20000);
            QCOMPARE(check->Results()[2].seconds, passedTime); // not run again
            QCOMPARE(check->Results()[0].verdict, Verdict::kFailed);
            QCOMPARE(check->Results()[1].verdict, Verdict::kError);

            QTest::mouseClick(check->AllButton(), Qt::LeftButton);
            QCOMPARE(check->LastRunSize(), std::size_t(3));
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running(), 20000);
            QTest::keyClick(check, Qt::Key_Escape);
        });
        // The window's script comes first, the data source's inside it.
        fixture.AnswerDataSource();
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
    }

    // A data source given up on: no run, the rows not run, and no green line.
    void cancelledDataSourceRunsNothing() {
        Fixture fixture;
        fixture.Open();
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QTest::qWait(50);
            QVERIFY(!check->Running());
            QCOMPARE(check->Summary()->text(), QStringLiteral("通过 0，未通过 0，无法运行 0，未运行 2"));
            QVERIFY(!check->Summary()->styleSheet().contains(QStringLiteral("#007828")));
            QTest::keyClick(check, Qt::Key_Escape);
        });
        fixture.responder.OnDialog([](QDialog* dialog) { dialog->reject(); });
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
    }

    // Stop on a module that would run for minutes: the run ends within the bound, the rest
    // not run, and the window closes at once.
    void stopEndsTheRun() {
        Fixture fixture;
        fixture.Save("a_long.kst", "G1",
                     kOnPostgres
                         ? "SELECT pg_sleep(600)"
                         : "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 2000000000) "
                           "SELECT count(*) FROM c",
                     {});
        fixture.Open();
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QTRY_VERIFY_WITH_TIMEOUT(check->Running(), 5000);
            QTest::qWait(300);
            QTest::mouseClick(check->StopButton(), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running(), 3000);
            QCOMPARE(check->Results()[0].verdict, Verdict::kNotRun);
            // The other modules of the group ran on the other connections.
            QVERIFY(check->Summary()->text().endsWith(QStringLiteral("未运行 1")));
            QTest::keyClick(check, Qt::Key_Escape);
        });
        fixture.AnswerDataSource();
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
    }

    // Enter opens the row's module in the sheet; afterwards F5 checks that row again.
    void rowOpensItsSheet() {
        Fixture fixture;
        fixture.Open();
        QString sheetTitle;
        fixture.responder.OnDialog([&](QDialog* dialog) {
            auto* check = qobject_cast<CheckDlg*>(dialog);
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running() && check->LastRunSize() == 2, 20000);
            check->List()->setFocus();
            check->List()->setCurrentItem(check->List()->topLevelItem(1));
            fixture.responder.OnDialog([&](QDialog* sheet) {
                QVERIFY(qobject_cast<ModuleSheet*>(sheet));
                sheetTitle = sheet->windowTitle();
                sheet->reject();
            });
            QTest::keyClick(check->List(), Qt::Key_Return);
            QVERIFY(!sheetTitle.isEmpty());
            QCOMPARE(check->List()->currentItem()->text(CheckDlg::kFileColumn), QStringLiteral("b_ok.kst"));
            QTest::keyClick(check->List(), Qt::Key_F5);
            QCOMPARE(check->LastRunSize(), std::size_t(1));
            QTRY_VERIFY_WITH_TIMEOUT(!check->Running(), 20000);
            QCOMPARE(check->Results()[1].verdict, Verdict::kPassed);
            QTest::keyClick(check, Qt::Key_Escape);
        });
        fixture.AnswerDataSource();
        QTest::keyClick(fixture.window.Panel()->GroupList(), Qt::Key_F7);
        QVERIFY(!sheetTitle.isEmpty());
    }
};

KESTREL_TEST_MAIN(CheckWindowTest)
#include "CheckWindowTest.moc"
