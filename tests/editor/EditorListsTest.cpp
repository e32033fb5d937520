// The main window as a user meets it with files other programs wrote: names with blanks,
// links that lead nowhere, groups that differ only in letter case; and its frame, which keeps
// the window maximised.
#include "support/Builders.h"
#include "support/Databases.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "core/FixedText.h"
#include "core/Gbk.h"
#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "ui/GbkEdit.h"

#include <QLineEdit>
#include <QtTest>

#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

struct Editor {
    TestWorkspace workspace;
    ScriptedResponder responder;
    ModuleEditDlg window;

    Editor() {
        window.SetUserName("li");
        window.show();
    }
    ListBox* Groups() const { return window.Panel()->GroupList(); }
    ListBox* Modules() const { return window.Panel()->ModuleList(); }
    void Open() {
        responder.AnswerFile(workspace.CataloguePath());
        QTest::keyClick(&window, Qt::Key_F3);
    }
    void ClickModule(int row) {
        QTest::mouseClick(Modules()->viewport(), Qt::LeftButton, {},
                          Modules()->visualItemRect(Modules()->item(row)).center());
    }
};

} // namespace

class EditorListsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void frameCannotMinimiseOrRestoreTheWindow() {
        Editor editor;
        QVERIFY(QTest::qWaitForWindowExposed(&editor.window));
        QCOMPARE(editor.window.windowState(), Qt::WindowMaximized);
        editor.window.setWindowState(Qt::WindowMinimized);
        QTRY_COMPARE(editor.window.windowState(), Qt::WindowMaximized);
        editor.window.showNormal();
        QTRY_COMPARE(editor.window.windowState(), Qt::WindowMaximized);
        QVERIFY(editor.window.isVisible());
        // Exit still closes it, and a closed window is not brought back.
        QTest::keyClick(&editor.window, Qt::Key_Escape);
        QVERIFY(!editor.window.isVisible());
    }

    void moduleWithBlankInItsNameOpens() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", "a"}});
        WriteModule(folder, "my module.kst", {.groupId = "A", .title = "blank"});
        WriteModule(folder, "my.kst", {.groupId = "A", .title = "other"});
        editor.Open();
        QCOMPARE(editor.Modules()->count(), 2);
        const int row = editor.Modules()->item(0)->text().startsWith(QStringLiteral("my module")) ? 0 : 1;
        editor.ClickModule(row);
        QString title;
        editor.responder.OnDialog([&title](QDialog* sheet) {
            title = sheet->findChild<QLineEdit*>(QStringLiteral("title"))->text();
            Click(sheet, QStringLiteral("&X.退出"));
        });
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        QVERIFY(editor.responder.messages.empty());
        QCOMPARE(title, QStringLiteral("blank"));
        // Saved again under its own name, and its line kept its file.
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, folder, "my module.kst"));
        QCOMPARE(FieldText(record.header.modifier), std::string("li"));
        QCOMPARE(editor.window.Panel()->ModuleFileName(row), std::string("my module.kst"));

        // Deleting it asks about, and deletes, the whole name.
        editor.responder.AnswerYes();
        QTest::keyClick(editor.Modules(), Qt::Key_Delete);
        QCOMPARE(editor.responder.questions.back().text, QStringLiteral("确认删除文件：my module.kst ？"));
        QVERIFY(!std::filesystem::exists(folder / "my module.kst"));
        QVERIFY(std::filesystem::exists(folder / "my.kst"));
        QVERIFY(editor.responder.messages.empty());
    }

    void unreadableModuleFileEndsTheFillNamingIt() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", "a"}});
        WriteModule(folder, "good.kst", {.groupId = "A", .title = "good"});
        std::filesystem::create_symlink(folder / "nowhere.kst", folder / "broken.kst");
        editor.Open();
        QCOMPARE(editor.responder.MessageTexts(), QStringList{QStringLiteral("broken.kst: No such file or directory")});
        QVERIFY(editor.Modules()->count() <= 1); // what came before it in the listing
        // The link mended: the next fill lists both files, silently.
        std::filesystem::remove(folder / "broken.kst");
        WriteModule(folder, "broken.kst", {.groupId = "A", .title = "mended"});
        editor.responder.messages.clear();
        editor.window.Panel()->SelectGroup(-1);
        QTest::mouseClick(editor.Groups()->viewport(), Qt::LeftButton, {},
                          editor.Groups()->visualItemRect(editor.Groups()->item(0)).center());
        QVERIFY(editor.responder.messages.empty());
        QCOMPARE(editor.Modules()->count(), 2);
    }

    void groupsDifferingInCaseKeepTheirOwnFlow() {
        Editor editor;
        const auto path = editor.workspace.Modules() / "audit.MGP";
        WriteCatalogue(path, {{"G1", "upper"}});
        editor.Open();
        // G1 gets its flow first, so its entry stands before the one g1 gets.
        editor.window.Panel()->SelectGroup(0);
        editor.responder.OnDialog([](QDialog* dialog) {
            Type(qobject_cast<TopicDlg*>(dialog)->FlowEdit(), QStringLiteral("upper flow"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor.Groups(), Qt::Key_F3);
        // g1 beside G1 is allowed, with a flow of its own.
        editor.responder.OnDialog([](QDialog* dialog) {
            auto* topic = qobject_cast<TopicDlg*>(dialog);
            Type(topic->IdentifierEdit(), QStringLiteral("g1"));
            Type(topic->NameEdit(), QStringLiteral("lower"));
            Type(topic->FlowEdit(), QStringLiteral("own flow"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor.Groups(), Qt::Key_Insert);
        QCOMPARE(editor.Groups()->count(), 2);

        // Editing g1 shows its own flow and stores it back under g1, leaving G1's alone.
        editor.window.Panel()->SelectGroup(1);
        QString shown;
        editor.responder.OnDialog([&shown](QDialog* dialog) {
            shown = qobject_cast<TopicDlg*>(dialog)->FlowEdit()->toPlainText();
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor.Groups(), Qt::Key_F3);
        QCOMPARE(shown, QStringLiteral("own flow"));
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, path));
        QCOMPARE(GetFlowText(stored.flowTable, "g1"), std::string("own flow"));
        QCOMPARE(GetFlowText(stored.flowTable, "G1"), std::string("upper flow"));
        QVERIFY(editor.responder.messages.empty());
    }

    // kestrel-tool check runs a group's modules in the order the window lists them.
    void checkRunsModulesInTheListsOrder() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", "a"}, {"B", "b"}});
        // Names that differ in letter case, in digits, in Chinese characters, and only in letter
        // case (where the rest of the line decides: the title), written out of order.
        const std::vector<std::pair<std::string, std::string>> modules = {
            {"m9.kst", "t"}, {Gbk("审计.kst"), "t"}, {"b2.kst", "t"}, {"abc.kst", "zeta"}, {"M10.kst", "t"},
            {"B.kst", "t"},  {"ABC.KST", "alpha"},   {"a.kst", "t"},  {Gbk("丄.kst"), "t"}};
        for (const auto& [name, title] : modules)
            WriteModule(folder, name, {.groupId = "A", .title = title, .body = "SELECT 1"});
        WriteModule(folder, "0.kst", {.groupId = "B", .body = "SELECT 1"});
        editor.Open();
        QStringList listed;
        for (int row = 0; row < editor.window.Panel()->ModuleCount(); ++row)
            listed << QString::fromStdString(GbkToUtf8(editor.window.Panel()->ModuleFileName(row)));
        QCOMPARE(listed, (QStringList{"a.kst", "ABC.KST", "abc.kst", "B.kst", "b2.kst", "M10.kst", "m9.kst",
                                      QStringLiteral("丄.kst"), QStringLiteral("审计.kst")}));

        SqliteDatabase database;
        QCOMPARE(ResetErrorTable(database.ConnectionString()), std::string());
        const CommandRun run = RunCommandLine("'" KESTREL_TOOL_PATH "' check '" + (folder / "audit.MGP").string() +
                                              "' --group A --connect '" + database.ConnectionString() + "' 2>&1");
        QStringList checked;
        for (const QString& line : QString::fromStdString(run.out).split(u'\n'))
            if (line.contains(QStringLiteral("  A  ")))
                checked << line.section(QStringLiteral("  "), 0, 0);
        QCOMPARE(checked, listed);
    }
};

KESTREL_TEST_MAIN(EditorListsTest)
#include "EditorListsTest.moc"
