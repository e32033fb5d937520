// The main window over real catalogue and module files: catalogue commands, group and module
// operations, keys, drags and the window's fixed behaviour.
#include "support/Builders.h"
#include "support/Clock.h"
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "core/FixedText.h"
#include "editor/FileName.h"
#include "editor/ModuleEditDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "repository/FileOps.h"
#include "repository/FolderCommit.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"

#include <QAbstractButton>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

constexpr Qt::KeyboardModifiers kDragKeys = Qt::AltModifier | Qt::ControlModifier;

struct Editor {
    TestWorkspace workspace;
    ScriptedResponder responder;
    std::unique_ptr<ModuleEditDlg> window;

    Editor() {
        window = std::make_unique<ModuleEditDlg>();
        window->SetUserName("li");
        window->show();
    }
    ListPanel* Panel() const { return window->Panel(); }
    ListBox* Groups() const { return Panel()->GroupList(); }
    ListBox* Modules() const { return Panel()->ModuleList(); }

    void Open(const QString& path) {
        responder.AnswerFile(path);
        QTest::keyClick(window.get(), Qt::Key_F3);
    }
    QStringList ModuleLines() const {
        QStringList lines;
        for (int i = 0; i < Modules()->count(); ++i)
            lines << Modules()->item(i)->text();
        return lines;
    }
    QStringList ModuleNames() const {
        QStringList names;
        for (int i = 0; i < Modules()->count(); ++i)
            names << Modules()->item(i)->text().section(QLatin1Char(' '), 0, 0);
        return names;
    }
    std::string Title(const std::string& fileName) const {
        ModuleRecord record;
        if (!LoadModuleFile(record, workspace.Modules(), fileName))
            return "<unreadable>";
        return FieldText(record.header.title);
    }
    QPoint ModuleCentre(int row) const { return Modules()->visualItemRect(Modules()->item(row)).center(); }
    QPoint GroupCentre(int row) const { return Groups()->visualItemRect(Groups()->item(row)).center(); }

    // Alt+Ctrl drag of the module at row, released at target (in target's coordinates).
    void Drag(int row, QWidget* target, QPoint at) {
        QWidget* viewport = Modules()->viewport();
        const QPoint start = ModuleCentre(row);
        QTest::mousePress(viewport, Qt::LeftButton, kDragKeys, start);
        QTest::mouseMove(viewport, start + QPoint(0, 8));
        const QPoint release = viewport->mapFromGlobal(target->mapToGlobal(at));
        QTest::mouseRelease(viewport, Qt::LeftButton, kDragKeys, release);
    }
};

// A catalogue with three groups and modules in each; group A holds a.kst, B.KST, c.kst.
std::unique_ptr<Editor> EditorWithModules(int32_t flagsA = 0, int32_t flagsB = 0, int32_t flagsC = 0) {
    auto editor = std::make_unique<Editor>();
    const auto folder = editor->workspace.Modules();
    WriteCatalogue(folder / "audit.MGP", {{"A", Gbk("销售审计")}, {"B", Gbk("采购审计")}, {"C", Gbk("空组")}});
    WriteModule(folder, "c.kst", {.groupId = "A", .title = "third", .flags = flagsC});
    WriteModule(folder, "a.kst", {.groupId = "A", .title = "first", .flags = flagsA});
    WriteModule(folder, "B.KST", {.groupId = "A", .title = "second", .flags = flagsB});
    WriteModule(folder, "p.kst", {.groupId = "B", .title = "purchase"});
    WriteModule(folder, "x.kst", {.groupId = "OLD", .title = "orphan"});
    editor->Open(editor->workspace.CataloguePath());
    return editor;
}

} // namespace

class EditorWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void windowShape() {
        Editor editor;
        ModuleEditDlg& window = *editor.window;
        QCOMPARE(window.windowTitle(), QStringLiteral("模块定义工具"));
        QVERIFY(window.windowState() & Qt::WindowMaximized);
        QVERIFY(!(window.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(window.windowFlags() & Qt::WindowMinimizeButtonHint));
        QCOMPARE(window.StartButton(0)->size(), QSize(70, 56));
        QCOMPARE(window.StartButton(0)->iconSize(), QSize(63, 50));
        QCOMPARE(window.StartButton(2)->toolTip(), QStringLiteral("F4 用户"));
        QCOMPARE(window.CatalogueButton(3)->toolTip(), QStringLiteral("F5 打印"));
        QVERIFY(window.StartButton(0)->isVisible());
        QVERIFY(!window.CatalogueButton(0)->isVisible());
        QCOMPARE(window.StatusPane(1)->width(), 50);
        QCOMPARE(window.StatusPane(2)->width(), 75);
        QCOMPARE(window.StatusPane(3)->width(), 60);
        // The frame's close does nothing; only exit leaves.
        window.close();
        QVERIFY(window.isVisible());
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Accepted));
    }

    void statusBarShowsTheOpeningDayAndTheClock() {
        FixedClock clock("2024-05-06 07:08:09");
        Editor editor;
        ModuleEditDlg& window = *editor.window;
        QCOMPARE(window.StatusPane(1)->text(), QStringLiteral("li"));
        QCOMPARE(window.StatusPane(2)->text(), QStringLiteral("05/06/2024"));
        // The time of day waits for the clock's first tick.
        QCOMPARE(window.StatusPane(3)->text(), QStringLiteral("16:44:13"));
        auto* timer = window.findChild<QTimer*>(QStringLiteral("clock"));
        QVERIFY(timer);
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 200);
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QCOMPARE(window.StatusPane(3)->text(), QStringLiteral("07:08:09"));
        // Past midnight the clock moves on; the date stays the day the window opened.
        clock.Set("2024-05-07 00:00:01");
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QCOMPARE(window.StatusPane(3)->text(), QStringLiteral("00:00:01"));
        QCOMPARE(window.StatusPane(2)->text(), QStringLiteral("05/06/2024"));
    }

    void newCatalogueAddsExtensionAndOpensEmptyView() {
        Editor editor;
        const QString bare = QString::fromStdString((editor.workspace.Modules() / "neu").string());
        editor.responder.AnswerFile(bare);
        QTest::keyClick(editor.window.get(), Qt::Key_F2);
        QCOMPARE(editor.responder.files.size(), std::size_t(1));
        QCOMPARE(editor.responder.files[0].kind, ui::FileDialogKind::Save);
        QCOMPARE(editor.responder.files[0].filter, QStringLiteral("模块组文件(*.MGP)"));
        QVERIFY(editor.window->IsCatalogueView());
        QVERIFY(editor.window->CatalogueButton(0)->isVisible());
        QVERIFY(!editor.window->StartButton(0)->isVisible());
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, editor.workspace.Modules() / "neu.MGP"));
        QCOMPARE(stored.groupCount, 0);
        QCOMPARE(editor.window->LastFile(), ui::ToGbkChecked(bare + QStringLiteral(".MGP")));
        QCOMPARE(editor.Groups()->count(), 0);
        QCOMPARE(editor.Modules()->count(), 0);
        // Esc goes back to the start view; the catalogue stays in memory.
        QTest::keyClick(editor.Groups(), Qt::Key_Escape);
        QVERIFY(!editor.window->IsCatalogueView());
        QVERIFY(editor.window->isVisible());
    }

    void openRefusesWrongKeywordAndReportsMissingFile() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        std::ofstream(folder / "bad.MGP") << "NOT_A_GROUP_FILE_AT_ALL.............................";
        editor.Open(QString::fromStdString((folder / "bad.MGP").string()));
        QCOMPARE(editor.responder.MessageTexts(), QStringList{QStringLiteral("无效文件！")});
        QVERIFY(!editor.window->IsCatalogueView());
        QCOMPARE(editor.responder.files[0].initialPath, QString()); // "*.MGP": the current folder

        const QString missing = QString::fromStdString((folder / "missing.MGP").string());
        editor.Open(missing);
        QCOMPARE(editor.responder.messages.size(), std::size_t(2));
        QVERIFY(editor.responder.messages[1].text.contains(QStringLiteral("No such file")));
        QVERIFY(!editor.window->IsCatalogueView());
        QCOMPARE(editor.window->LastFile(), ui::ToGbkChecked(missing));
        // The next open starts from the name chosen last.
        editor.responder.AnswerFile(QString());
        QTest::keyClick(editor.window.get(), Qt::Key_F3);
        QCOMPARE(editor.responder.files.back().initialPath, missing);
    }

    void openListsGroupsAndSortedModulesOfFirstGroup() {
        auto editor = EditorWithModules(kFlagRequired, kFlagTested | kFlagPassed, kFlagTested);
        std::ofstream(editor->workspace.Modules() / "junk.kst") << "not a module";
        QVERIFY(editor->window->IsCatalogueView());
        QCOMPARE(editor->Groups()->count(), 3);
        QCOMPARE(editor->Groups()->item(0)->text(), QStringLiteral("[A] 销售审计"));
        QCOMPARE(editor->Panel()->SelectedGroup(), 0);
        QCOMPARE(editor->ModuleNames(), (QStringList{"a.kst", "B.KST", "c.kst"}));
        QCOMPARE(editor->ModuleLines()[0], QStringLiteral("a.kst         √ [  ] first"));
        QCOMPARE(editor->ModuleLines()[1], QStringLiteral("B.KST         □ [OK] second"));
        QCOMPARE(editor->ModuleLines()[2], QStringLiteral("c.kst         □ [测] third"));
        QCOMPARE(editor->Panel()->SelectedModule(), -1);
        // Choosing another group refills the list; junk and orphans never show.
        QTest::mouseClick(editor->Groups()->viewport(), Qt::LeftButton, {}, editor->GroupCentre(1));
        QCOMPARE(editor->ModuleNames(), QStringList{"p.kst"});
        QTest::keyClick(editor->Groups(), Qt::Key_Down);
        QCOMPARE(editor->Panel()->SelectedGroup(), 2);
        QCOMPARE(editor->Modules()->count(), 0);

        // A catalogue without groups shows two empty lists after one with modules.
        WriteCatalogue(editor->workspace.Modules() / "empty.MGP", {});
        QTest::keyClick(editor->Groups(), Qt::Key_Escape);
        editor->Open(editor->workspace.CataloguePath("empty.MGP"));
        QCOMPARE(editor->Groups()->count(), 0);
        QCOMPARE(editor->Modules()->count(), 0);
    }

    void groupsCreatedChangedAndDeleted() {
        auto editor = EditorWithModules();
        ScriptedResponder& responder = editor->responder;
        const auto cataloguePath = editor->workspace.Modules() / "audit.MGP";
        editor->Panel()->SelectGroup(1);

        responder.OnDialog([](QDialog* dialog) {
            auto* topic = qobject_cast<TopicDlg*>(dialog);
            QVERIFY(topic->IdentifierEdit()->isEnabled());
            Type(topic->IdentifierEdit(), QStringLiteral("KC"));
            Type(topic->NameEdit(), QStringLiteral("库存"));
            Type(topic->FlowEdit(), QStringLiteral("第一步"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor->Groups(), Qt::Key_Insert);
        QCOMPARE(responder.dialogTitles.last(), QStringLiteral("模块组"));
        QCOMPARE(editor->Groups()->count(), 4);
        QCOMPARE(editor->Groups()->item(3)->text(), QStringLiteral("[KC] 库存"));
        QCOMPARE(editor->Panel()->SelectedGroup(), 1); // selection unchanged
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, cataloguePath));
        QCOMPARE(stored.groupCount, 4);
        QCOMPARE(GetFlowText(stored.flowTable, "KC"), Gbk("第一步"));

        // Same identifier: refused. Other letter case: a new group.
        auto newGroup = [&](const char* id) {
            responder.OnDialog([id](QDialog* dialog) {
                auto* topic = qobject_cast<TopicDlg*>(dialog);
                Type(topic->IdentifierEdit(), QString::fromLatin1(id));
                Type(topic->NameEdit(), QStringLiteral("x"));
                Click(dialog, QStringLiteral("&O.确认"));
            });
            QTest::keyClick(editor->Groups(), Qt::Key_F2);
        };
        newGroup("KC");
        QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("ID重复！")});
        QCOMPARE(editor->Groups()->count(), 4);
        newGroup("kc");
        QCOMPARE(editor->Groups()->count(), 5);

        // Edit keeps the identifier and the position.
        editor->Panel()->SelectGroup(3);
        responder.OnDialog([](QDialog* dialog) {
            auto* topic = qobject_cast<TopicDlg*>(dialog);
            QVERIFY(!topic->IdentifierEdit()->isEnabled());
            QCOMPARE(topic->IdentifierEdit()->text(), QStringLiteral("KC"));
            QCOMPARE(topic->FlowEdit()->toPlainText(), QStringLiteral("第一步"));
            topic->NameEdit()->clear();
            Click(dialog, QStringLiteral("&O.确认")); // empty name: stays open
            QVERIFY(dialog->isVisible());
            Type(topic->NameEdit(), QStringLiteral("库存盘点"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor->Groups(), Qt::Key_Return);
        QCOMPARE(editor->Groups()->item(3)->text(), QStringLiteral("[KC] 库存盘点"));
        QCOMPARE(editor->Panel()->SelectedGroup(), 3);
        QVERIFY(LoadCatalogue(stored, cataloguePath));
        QCOMPARE(FieldText(stored.groups[3].name), Gbk("库存盘点"));

        // A group with modules cannot go; an empty one goes without a question.
        editor->Panel()->SelectGroup(0);
        QTest::mouseClick(editor->Groups()->viewport(), Qt::LeftButton, {}, editor->GroupCentre(0));
        QTest::keyClick(editor->Groups(), Qt::Key_Delete);
        QCOMPARE(responder.messages.back().text, QStringLiteral("模块组中有模块，不能删除！"));
        QCOMPARE(editor->Groups()->count(), 5);
        QTest::mouseClick(editor->Groups()->viewport(), Qt::LeftButton, {}, editor->GroupCentre(2));
        QTest::keyClick(editor->Groups(), Qt::Key_F4);
        QCOMPARE(editor->Groups()->count(), 4);
        QCOMPARE(editor->Panel()->SelectedGroup(), -1);
        QCOMPARE(editor->Modules()->count(), 0);
        QVERIFY(responder.questions.empty());
        QVERIFY(LoadCatalogue(stored, cataloguePath));
        QCOMPARE(stored.groupCount, 4);
        QCOMPARE(FieldText(stored.groups[2].identifier), std::string("KC"));
        // Nothing selected: new with the focus on the modules does nothing.
        QTest::keyClick(editor->Modules(), Qt::Key_F2);
        QCOMPARE(responder.unscripted, 0);
    }

    void unwritableCatalogueEndsGroupCommandWithOsError() {
        auto editor = std::make_unique<Editor>();
        const auto sub = editor->workspace.Modules() / "sub";
        std::filesystem::create_directories(sub);
        WriteCatalogue(sub / "audit.MGP", {{"A", "a"}});
        editor->Open(QString::fromStdString((sub / "audit.MGP").string()));
        std::filesystem::rename(sub, editor->workspace.Modules() / "gone");
        editor->responder.OnDialog([](QDialog* dialog) {
            auto* topic = qobject_cast<TopicDlg*>(dialog);
            Type(topic->IdentifierEdit(), QStringLiteral("N"));
            Type(topic->NameEdit(), QStringLiteral("n"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor->Groups(), Qt::Key_F2);
        QCOMPARE(editor->responder.messages.size(), std::size_t(1));
        QVERIFY(editor->responder.messages[0].text.contains(QStringLiteral("No such file")));
        QCOMPARE(editor->Groups()->count(), 1);
        QCOMPARE(editor->window->Catalogue().groupCount, 1);
    }

    void newModuleIsStampedAndListed() {
        const FixedClock clock("2024-07-08 09:10:11");
        auto editor = EditorWithModules();
        ScriptedResponder& responder = editor->responder;
        // Cancelling the file name after the sheet leaves no file.
        responder.AcceptDialog();
        responder.OnDialog([](QDialog* dialog) { Click(dialog, QStringLiteral("&X.取消")); });
        QTest::keyClick(editor->Modules(), Qt::Key_Insert);
        QCOMPARE(responder.dialogTitles.size(), 2);
        QCOMPARE(responder.dialogTitles[1], QStringLiteral("模块文件名"));
        QCOMPARE(editor->Modules()->count(), 3);

        responder.AcceptDialog();
        responder.OnDialog([](QDialog* dialog) {
            Type(qobject_cast<FileName*>(dialog)->NameEdit(), QStringLiteral("b0.kst"));
            PressEnter(dialog);
        });
        QTest::keyClick(editor->Modules(), Qt::Key_F2);
        QCOMPARE(editor->ModuleNames(), (QStringList{"a.kst", "B.KST", "b0.kst", "c.kst"}));
        QCOMPARE(editor->Panel()->SelectedModule(), 2);
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, editor->workspace.Modules(), "b0.kst"));
        QCOMPARE(FieldText(record.header.groupId), std::string("A"));
        QCOMPARE(FieldText(record.header.creator), std::string("li"));
        QCOMPARE(FieldText(record.header.modifier), std::string("li"));
        QCOMPARE(FieldText(record.header.createdAt), std::string("2024-07-08 09:10:11"));
        QCOMPARE(FieldText(record.header.modifiedAt), std::string("2024-07-08 09:10:11"));
        QCOMPARE(FieldText(record.header.keyword), std::string("MODULE_ITEM"));
    }

    void hundredGroupsMakeNewInGroupListCreateModule() {
        Editor editor;
        GroupCatalogue catalogue;
        catalogue.Reset(editor.workspace.Modules() / "full.MGP");
        for (int i = 0; i < kMaxGroups; ++i) {
            GroupRecord group{};
            SetFieldText(group.identifier, "G" + std::to_string(i));
            SetFieldText(group.name, "g");
            catalogue.AppendGroup(group);
        }
        QVERIFY(SaveCatalogue(catalogue));
        editor.Open(editor.workspace.CataloguePath("full.MGP"));
        editor.responder.CancelDialog();
        QTest::keyClick(editor.Groups(), Qt::Key_F2);
        QCOMPARE(editor.responder.dialogTitles, QStringList{QStringLiteral("模块")});
    }

    void editModuleSavesAgainAndReplacesLine() {
        auto editor = EditorWithModules();
        editor->Panel()->SelectModule(2);
        editor->responder.OnDialog([](QDialog* sheet) {
            QCOMPARE(sheet->windowTitle(), QStringLiteral("模块"));
            sheet->done(QDialog::Accepted);
        });
        QTest::keyClick(editor->Modules(), Qt::Key_Return);
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, editor->workspace.Modules(), "c.kst"));
        QCOMPARE(FieldText(record.header.modifier), std::string("li")); // written by SA, saved again
        QCOMPARE(editor->Panel()->SelectedModule(), 2);
    }

    void deleteModuleAsksAndReportsFailure() {
        auto editor = EditorWithModules();
        ScriptedResponder& responder = editor->responder;
        editor->Panel()->SelectModule(0);
        responder.AnswerNo();
        QTest::keyClick(editor->Modules(), Qt::Key_Delete);
        QCOMPARE(responder.questions[0].text, QStringLiteral("确认删除文件：a.kst ？"));
        QCOMPARE(responder.questions[0].caption, QStringLiteral("询问"));
        QCOMPARE(responder.questions[0].icon, ui::Icon::Question);
        QVERIFY(std::filesystem::exists(editor->workspace.Modules() / "a.kst"));
        QCOMPARE(editor->Modules()->count(), 3);

        responder.AnswerYes();
        QTest::keyClick(editor->Modules(), Qt::Key_F4);
        QVERIFY(!std::filesystem::exists(editor->workspace.Modules() / "a.kst"));
        QCOMPARE(editor->ModuleNames(), (QStringList{"B.KST", "c.kst"}));
        QVERIFY(responder.messages.empty());

        // The file went away behind the window's back: the error is shown, the line goes.
        std::filesystem::remove(editor->workspace.Modules() / "c.kst");
        editor->Panel()->SelectModule(1);
        responder.AnswerYes();
        QTest::keyClick(editor->Modules(), Qt::Key_Delete);
        QCOMPARE(responder.messages.size(), std::size_t(1));
        QVERIFY(responder.messages[0].text.startsWith(QStringLiteral("c.kst: ")));
        QCOMPARE(editor->ModuleNames(), QStringList{"B.KST"});
    }

    void renameByAltCtrlRightClickOnSelectedLine() {
        auto editor = EditorWithModules();
        ScriptedResponder& responder = editor->responder;
        // Not the selected line: nothing.
        editor->Panel()->SelectModule(0);
        QTest::mouseClick(editor->Modules()->viewport(), Qt::RightButton, kDragKeys, editor->ModuleCentre(1));
        QVERIFY(responder.dialogTitles.isEmpty());
        QCOMPARE(editor->Panel()->SelectedModule(), 0);

        responder.OnDialog([](QDialog* dialog) {
            auto* name = qobject_cast<FileName*>(dialog);
            Type(name->NameEdit(), QStringLiteral("B.KST"));
            PressEnter(name->NameEdit());
            QVERIFY(dialog->isVisible()); // exists
            name->NameEdit()->clear();
            Type(name->NameEdit(), QStringLiteral("z.kst"));
            PressEnter(name->NameEdit());
        });
        QTest::mouseClick(editor->Modules()->viewport(), Qt::RightButton, kDragKeys, editor->ModuleCentre(0));
        QCOMPARE(responder.messages.size(), std::size_t(1));
        QCOMPARE(responder.messages[0].text, QStringLiteral("文件已存在！"));
        QCOMPARE(responder.messages[0].caption, QStringLiteral("提示"));
        // Replaced in place, not re-sorted until the next fill.
        QCOMPARE(editor->ModuleNames(), (QStringList{"z.kst", "B.KST", "c.kst"}));
        QCOMPARE(editor->Panel()->SelectedModule(), 0);
        QVERIFY(!std::filesystem::exists(editor->workspace.Modules() / "a.kst"));
        QCOMPARE(editor->Title("z.kst"), std::string("first"));
    }

    void moveWithinListAsksOnceAndRotatesNames() {
        auto editor = EditorWithModules(0, kFlagTested, kFlagTested | kFlagPassed);
        ScriptedResponder& responder = editor->responder;
        // No: nothing renamed, the list is filled again.
        editor->Panel()->SelectModule(0);
        responder.AnswerNo();
        editor->Drag(0, editor->Modules()->viewport(), editor->ModuleCentre(2));
        QCOMPARE(responder.questions.size(), std::size_t(1));
        QCOMPARE(responder.questions[0].text, QStringLiteral("移动将改变可能已投入使用模块的文件名！\n是否继续？"));
        QCOMPARE(responder.questions[0].caption, QStringLiteral("警告"));
        QVERIFY(responder.questions[0].defaultNo);
        QCOMPARE(editor->Title("a.kst"), std::string("first"));
        QCOMPARE(editor->Panel()->SelectedModule(), -1);

        responder.AnswerYes();
        editor->Drag(0, editor->Modules()->viewport(), editor->ModuleCentre(2));
        QCOMPARE(responder.questions.size(), std::size_t(2)); // once, for two tested modules
        QCOMPARE(editor->Title("c.kst"), std::string("first"));
        QCOMPARE(editor->Title("a.kst"), std::string("second"));
        QCOMPARE(editor->Title("B.KST"), std::string("third"));
        QVERIFY(!std::filesystem::exists(editor->workspace.Modules() / kSwapFileName));
        QCOMPARE(editor->Panel()->SelectedModule(), -1);
        QCOMPARE(QApplication::overrideCursor(), nullptr);

        // And back from 2 to 0.
        responder.AnswerYes();
        editor->Drag(2, editor->Modules()->viewport(), editor->ModuleCentre(0));
        QCOMPARE(editor->Title("a.kst"), std::string("first"));
        QCOMPARE(editor->Title("B.KST"), std::string("second"));
        QCOMPARE(editor->Title("c.kst"), std::string("third"));
    }

    void moveOverUntestedModulesAsksNothing() {
        auto editor = EditorWithModules();
        editor->Drag(2, editor->Modules()->viewport(), editor->ModuleCentre(1));
        QVERIFY(editor->responder.questions.empty());
        QCOMPARE(editor->Title("B.KST"), std::string("third"));
        QCOMPARE(editor->Title("c.kst"), std::string("second"));
    }

    void moveWithSwapFilePresentIsRefused() {
        auto editor = EditorWithModules();
        std::ofstream(editor->workspace.Modules() / kSwapFileName) << "someone else's";
        editor->Drag(0, editor->Modules()->viewport(), editor->ModuleCentre(1));
        QCOMPARE(editor->responder.messages.size(), std::size_t(1));
        QVERIFY(editor->responder.messages[0].text.startsWith(QStringLiteral("ZEPSWAP.TMP")));
        QCOMPARE(editor->Title("a.kst"), std::string("first"));
        QCOMPARE(ReadBytes(editor->workspace.Modules() / kSwapFileName), std::string("someone else's"));
    }

    // A move through the swap file cut short by a crash: opening the catalogue puts the module
    // back under the missing name before listing, and says so.
    void openingRepairsAnInterruptedMoveAndSaysSo() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", "a"}});
        WriteModule(folder, kSwapFileName, {.groupId = "A", .title = "first"});
        WriteModule(folder, "a.kst", {.groupId = "A", .title = "second"});
        WriteModule(folder, "c.kst", {.groupId = "A", .title = "third"});
        WriteBytes(folder / kSwapJournalName, std::string("KESTREL-MOVE\0a.kst\0b.kst\0c.kst\0", 31));
        editor.Open(editor.workspace.CataloguePath());
        QCOMPARE(editor.responder.messages.size(), std::size_t(1));
        QVERIFY(editor.responder.messages[0].text.contains(QStringLiteral("b.kst")));
        QCOMPARE(editor.ModuleNames(), (QStringList{"a.kst", "b.kst", "c.kst"}));
        QCOMPARE(editor.Title("b.kst"), std::string("first"));
        QVERIFY(!std::filesystem::exists(folder / kSwapFileName));
        QVERIFY(!std::filesystem::exists(folder / kSwapJournalName));
    }

    // An import by journal killed half-way (one module placed, the catalogue not): opening the
    // catalogue undoes it before reading anything, says so, and lists the old set.
    void openingUndoesAnInterruptedImportAndSaysSo() {
        Editor editor;
        const auto folder = editor.workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", "a"}});
        WriteModule(folder, "a.kst", {.groupId = "A", .title = "old"});
        const std::string oldCatalogue = ReadBytes(folder / "audit.MGP");
        const std::string oldModule = ReadBytes(folder / "a.kst");
        WriteModule(editor.workspace.Root(), "a.kst", {.groupId = "B", .title = "new"});
        const std::vector<FolderFile> files = {{"a.kst", ReadBytes(editor.workspace.Root() / "a.kst")},
                                               {"b.kst", ReadBytes(editor.workspace.Root() / "a.kst")},
                                               {"audit.MGP", "not even a catalogue"}};
        const int status = RunInChild([&] {
            AllowCommitByExchange(false);
            SetCommitObserver([](CommitStep step, int index) {
                if (step == CommitStep::kPlaced && index == 2)
                    ::raise(SIGKILL);
                return 0;
            });
            return CommitFolderFiles(folder, files) ? 0 : 1;
        });
        QCOMPARE(status, 128 + SIGKILL);
        QVERIFY(std::filesystem::exists(folder / kCommitJournalName));
        QVERIFY(ReadBytes(folder / "a.kst") != oldModule);
        editor.Open(editor.workspace.CataloguePath());
        QCOMPARE(editor.responder.messages.size(), std::size_t(1));
        QVERIFY(editor.responder.messages[0].text.contains(QStringLiteral("导入")));
        QCOMPARE(editor.ModuleNames(), (QStringList{"a.kst"}));
        QCOMPARE(editor.Title("a.kst"), std::string("old"));
        QCOMPARE(ReadBytes(folder / "audit.MGP"), oldCatalogue);
        QCOMPARE(ReadBytes(folder / "a.kst"), oldModule);
        QVERIFY(!std::filesystem::exists(folder / "b.kst"));
        QVERIFY(!std::filesystem::exists(folder / kCommitJournalName));
    }

    // A listed module whose header claims gigabytes (a sparse file): editing it says so, naming
    // it, and the window lives on.
    void editingASparseModuleIsRefusedByName() {
        auto editor = EditorWithModules();
        const std::filesystem::path module = editor->workspace.Modules() / "c.kst";
        QVERIFY(WriteSparseModule(module, ReadBytes(module)));
        editor->Panel()->SelectModule(2);
        QTest::keyClick(editor->Modules(), Qt::Key_Return);
        QCOMPARE(editor->responder.messages.size(), std::size_t(1));
        QVERIFY(editor->responder.messages[0].text.startsWith(QStringLiteral("c.kst: ")));
        QVERIFY(editor->responder.messages[0].text.contains(QString::fromLocal8Bit(std::strerror(EFBIG))));
    }

    void moveToGroupAsksAndRefiles() {
        auto editor = EditorWithModules();
        ScriptedResponder& responder = editor->responder;
        responder.AnswerNo();
        editor->Drag(1, editor->Groups()->viewport(), editor->GroupCentre(1));
        QCOMPARE(responder.questions[0].text, QStringLiteral("移动到新的模块组[采购审计]？"));
        QCOMPARE(responder.questions[0].caption, QStringLiteral("询问"));
        QCOMPARE(responder.questions[0].icon, ui::Icon::None);
        QCOMPARE(editor->Modules()->count(), 3);

        responder.AnswerYes();
        editor->Drag(1, editor->Groups()->viewport(), editor->GroupCentre(1));
        QCOMPARE(editor->ModuleNames(), (QStringList{"a.kst", "c.kst"}));
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, editor->workspace.Modules(), "B.KST"));
        QCOMPARE(FieldText(record.header.groupId), std::string("B"));
        QCOMPARE(FieldText(record.header.modifier), std::string("li"));
        QTest::mouseClick(editor->Groups()->viewport(), Qt::LeftButton, {}, editor->GroupCentre(1));
        QCOMPARE(editor->ModuleNames(), (QStringList{"B.KST", "p.kst"}));
    }

    void dropsThatChangeNothing() {
        auto editor = EditorWithModules(kFlagTested, kFlagTested, kFlagTested);
        const auto before = ReadBytes(editor->workspace.Modules() / "a.kst");
        // Own line, the selected group, below the last line of each list.
        editor->Drag(0, editor->Modules()->viewport(), editor->ModuleCentre(0));
        editor->Drag(0, editor->Groups()->viewport(), editor->GroupCentre(0));
        const QPoint belowModules = editor->ModuleCentre(2) + QPoint(0, 200);
        editor->Drag(0, editor->Modules()->viewport(), belowModules);
        const QPoint belowGroups = editor->GroupCentre(2) + QPoint(0, 200);
        editor->Drag(0, editor->Groups()->viewport(), belowGroups);
        // A plain drag without Alt+Ctrl is no module drag at all.
        QTest::mousePress(editor->Modules()->viewport(), Qt::LeftButton, {}, editor->ModuleCentre(0));
        QTest::mouseRelease(editor->Modules()->viewport(), Qt::LeftButton, {}, editor->ModuleCentre(2));
        QVERIFY(editor->responder.questions.empty());
        QVERIFY(editor->responder.messages.empty());
        QCOMPARE(ReadBytes(editor->workspace.Modules() / "a.kst"), before);
        QCOMPARE(editor->Modules()->count(), 3);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    // The window as the user has it, active and with the focus in a list: each key runs its
    // command once, on the list it is pressed in, and the tool buttons act on that list.
    void keysOfTheActiveWindowRunTheirCommandsOnce() {
        auto editor = EditorWithModules();
        ModuleEditDlg& window = *editor->window;
        ScriptedResponder& responder = editor->responder;
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), editor->Groups());

        responder.CancelDialog();
        QTest::keyClick(editor->Groups(), Qt::Key_F2);
        QCOMPARE(responder.dialogTitles, QStringList{QStringLiteral("模块组")});
        QTest::mouseClick(editor->Modules()->viewport(), Qt::LeftButton, {}, editor->ModuleCentre(1));
        QCOMPARE(QApplication::focusWidget(), editor->Modules());
        responder.CancelDialog();
        QTest::keyClick(editor->Modules(), Qt::Key_F2);
        QCOMPARE(responder.dialogTitles, (QStringList{QStringLiteral("模块组"), QStringLiteral("模块")}));
        responder.AnswerNo();
        QTest::keyClick(editor->Modules(), Qt::Key_Delete);
        QCOMPARE(responder.questions.size(), std::size_t(1));
        QCOMPARE(responder.questions[0].text, QStringLiteral("确认删除文件：B.KST ？"));

        // The group list worked in last: the delete button refuses the group with modules, and
        // the focus stays in the list.
        QTest::mouseClick(editor->Groups()->viewport(), Qt::LeftButton, {}, editor->GroupCentre(0));
        QTest::mouseClick(window.CatalogueButton(2), Qt::LeftButton);
        QCOMPARE(responder.MessageTexts(), QStringList{QStringLiteral("模块组中有模块，不能删除！")});
        QCOMPARE(QApplication::focusWidget(), editor->Groups());
        QCOMPARE(responder.questions.size(), std::size_t(1));

        // Esc: the start view, where the catalogue's own keys (F6) are nobody's.
        QTest::keyClick(editor->Groups(), Qt::Key_Escape);
        QVERIFY(!window.IsCatalogueView());
        QTest::keyClick(&window, Qt::Key_F6);
        QCOMPARE(responder.dialogTitles.size(), 2);
        responder.AnswerFile(QString());
        QTest::keyClick(&window, Qt::Key_F3);
        QCOMPARE(responder.files.size(), std::size_t(2)); // the open at the start and this one
        QVERIFY(window.isVisible());
    }

    // While a modal window is up, the main window's keys are not taken from it.
    void keysOfAModalWindowStayItsOwn() {
        auto editor = EditorWithModules();
        ModuleEditDlg& window = *editor->window;
        QDialog modal(&window);
        modal.setModal(true);
        modal.show();
        modal.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&modal));
        for (Qt::Key key : {Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F6})
            QTest::keyClick(&modal, key);
        QVERIFY(editor->responder.dialogTitles.isEmpty());
        QVERIFY(editor->responder.questions.empty());
        QTest::keyClick(&modal, Qt::Key_Escape);
        QVERIFY(!modal.isVisible());
        QVERIFY(window.IsCatalogueView());
    }

    void dragShowsDragCursorWhileMoving() {
        auto editor = EditorWithModules();
        QWidget* viewport = editor->Modules()->viewport();
        const QPoint start = editor->ModuleCentre(0);
        QTest::mousePress(viewport, Qt::LeftButton, kDragKeys, start);
        QTest::mouseMove(viewport, start + QPoint(2, 2));
        QCOMPARE(QApplication::overrideCursor(), nullptr); // within 3 pixels
        QTest::mouseMove(viewport, start + QPoint(0, 6));
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(editor->Panel()->SelectedModule(), 0); // the selection stays on the dragged line
        QTest::mouseRelease(viewport, Qt::LeftButton, kDragKeys, start);
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }
};

KESTREL_TEST_MAIN(EditorWindowTest)
#include "EditorWindowTest.moc"
