// Every window as a screen reader and the keyboard alone meet it: each control has a name, each
// field its label, Tab reaches every control in reading order and nothing traps it, the focus
// starts on a named control, and the lists act on the line the focus shows.
#include "SheetFixtures.h"

#include "support/Accessibility.h"
#include "support/Builders.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/windows/Login.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "editor/CheckDlg.h"
#include "editor/FileName.h"
#include "editor/FindDlg.h"
#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/ModuleInfo3.h"
#include "editor/SearchDlg.h"
#include "editor/SheetDlg.h"
#include "editor/TestProgress.h"
#include "editor/TopicDlg.h"
#include "testing/widgets/CSpreadSheet.h"
#include "testing/widgets/DataSourceDlg.h"
#include "ui/GbkEdit.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

// Every operable control of window has a name; the count goes to the log for the record.
void ExpectAllNamed(QWidget* window, const char* what) {
    const NamedCount count = CountNamedControls(window);
    qInfo("%s: %d of %d operable controls named", what, count.named, count.total);
    QCOMPARE(UnnamedControls(window), QStringList{});
    QVERIFY(count.total > 0);
}

// Tab from the focus round the window: the names in order, no trap, every control reached.
void ExpectTabCycle(QWidget* window, const QStringList& names) {
    const TabWalk walk = TabCycle(window);
    QCOMPARE(walk.trap, QString());
    QCOMPARE(walk.names, names);
    QCOMPARE(NotReachedByTab(window, walk), QStringList{});
    // Shift+Tab goes the same way back.
    const TabWalk back = TabCycle(window, true);
    QCOMPARE(back.trap, QString());
    QStringList reversed(names.rbegin() + 1, names.rend());
    reversed << names.last();
    QCOMPARE(back.names, reversed);
}

// The widgets that claim the focused state: only the one with the focus may.
QStringList FocusedWidgets(QAccessibleInterface* node, int depth = 0) {
    QStringList found;
    if (!node || depth > 40 || node->state().invisible)
        return found;
    if (node->object() && node->object()->isWidgetType() && node->state().focused)
        found << SpokenName(node) + QLatin1Char(' ') + QString::fromLatin1(node->object()->metaObject()->className());
    for (int i = 0; i < node->childCount(); ++i)
        found << FocusedWidgets(node->child(i), depth + 1);
    return found;
}

// A sheet over a record, with every modal answered by the script.
struct SheetFixture {
    explicit SheetFixture(ModuleRecord opened) : record(std::move(opened)) {}
    ModuleSheet& Open(SheetMode mode) {
        sheet = std::make_unique<ModuleSheet>(mode, record, &host);
        return *sheet;
    }
    ScriptedResponder responder;
    ModuleRecord record;
    FakeHost host;
    std::unique_ptr<ModuleSheet> sheet;
};

struct Catalogue {
    TestWorkspace workspace;
    ScriptedResponder responder;
    std::unique_ptr<ModuleEditDlg> window;

    Catalogue() {
        const auto folder = workspace.Modules();
        WriteCatalogue(folder / "audit.MGP", {{"A", Gbk("销售审计")}, {"B", Gbk("采购审计")}, {"C", Gbk("空组")}});
        WriteModule(folder, "a.kst", {.groupId = "A", .title = "first"});
        WriteModule(folder, "b.kst", {.groupId = "A", .title = "second"});
        window = std::make_unique<ModuleEditDlg>();
        window->SetUserName("SA");
        window->setWindowState(Qt::WindowNoState);
        window->resize(1024, 640);
    }
    bool Open() {
        if (!ShowActive(window.get()))
            return false;
        responder.AnswerFile(workspace.CataloguePath());
        QTest::keyClick(window.get(), Qt::Key_F3);
        return window->IsCatalogueView();
    }
    ListBox* Groups() const { return window->Panel()->GroupList(); }
    ListBox* Modules() const { return window->Panel()->ModuleList(); }
};

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT

private slots:
    // "检查模块" before any run (its data source refused): every control named.
    void checkWindowIsNamed() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        responder.OnDialog([](QDialog* dialog) { dialog->reject(); });
        const GroupCatalogue catalogue = WriteCatalogue(workspace.Modules() / "audit.MGP", {{"G1", "g"}});
        WriteModule(workspace.Modules(), "a.kst", {.groupId = "G1", .body = "SELECT 1"});
        std::string connection;
        CheckDlg::Host host;
        host.connection = &connection;
        CheckDlg window(catalogue, {0}, host);
        window.show();
        QTest::qWait(20);
        ExpectAllNamed(&window, "检查模块");
    }

    void initTestCase() { InitKestrelResources(); }

    // --- the accounts' dialogs -------------------------------------------------------------

    void loginNamesItsFieldsByTheirLabels() {
        auto users = std::make_unique<UserTable>();
        Login login(*users, 0);
        QVERIFY(ShowActive(&login));
        ExpectAllNamed(&login, "登录");
        QCOMPARE(LabelOf(login.NameEdit()), QStringLiteral("用户名："));
        QCOMPARE(LabelOf(login.PasswordEdit()), QStringLiteral("保密字："));
        QCOMPARE(SpokenName(login.NameEdit()), QStringLiteral("用户名："));
        QCOMPARE(QApplication::focusWidget(), login.NameEdit());
        ExpectTabCycle(&login, {"保密字：", "O.确定", "X.取消", "用户名："});
    }

    void userDialogsNameTheirFields() {
        UserDlg user;
        user.SetMode(UserDlg::kNewUser);
        QVERIFY(ShowActive(&user));
        ExpectAllNamed(&user, "用户");
        QCOMPARE(LabelOf(user.NameEdit()), QStringLiteral("用户："));
        QCOMPARE(LabelOf(user.PasswordEdit()), QStringLiteral("密码："));
        QCOMPARE(LabelOf(user.ConfirmEdit()), QStringLiteral("确认密码："));
        ExpectTabCycle(&user, {"密码：", "确认密码：", "O.确认", "X.取消", "用户："});

        auto table = std::make_unique<UserTable>();
        SetFieldText(table->records[0].name, "SA");
        SetFieldText(table->records[1].name, "li");
        table->count = 2;
        UserListDlg list(*table);
        QVERIFY(ShowActive(&list));
        ExpectAllNamed(&list, "用户清单");
        QCOMPARE(SpokenName(QApplication::focusWidget()), QStringLiteral("用户清单"));
        ExpectTabCycle(&list, {"A.增加", "M.修改", "D.删除", "X.退出", "用户清单"});
    }

    // --- the small dialogs -----------------------------------------------------------------

    void smallDialogsNameTheirFields() {
        TestWorkspace workspace;
        FileName name(workspace.Modules());
        QVERIFY(ShowActive(&name));
        ExpectAllNamed(&name, "模块文件名");
        ExpectTabCycle(&name, {"O.确认", "X.取消", "模块文件名"});

        FindDlg find;
        QVERIFY(ShowActive(&find));
        ExpectAllNamed(&find, "查找");
        ExpectTabCycle(&find, {"OK", "Cancel", "查找内容"});

        TopicDlg topic;
        QVERIFY(ShowActive(&topic));
        ExpectAllNamed(&topic, "模块组");
        QCOMPARE(LabelOf(topic.IdentifierEdit()), QStringLiteral("标识："));
        QCOMPARE(LabelOf(topic.NameEdit()), QStringLiteral("名称："));
        QCOMPARE(LabelOf(topic.FlowEdit()), QStringLiteral("流程："));
        ExpectTabCycle(&topic, {"名称：", "流程：", "O.确认", "X.取消", "标识："});
    }

    void searchDataSourceAndProgressWindowsAreNamed() {
        TestWorkspace workspace;
        const GroupCatalogue catalogue = WriteCatalogue(workspace.Modules() / "audit.MGP", {{"A", Gbk("销售审计")}});
        SearchDlg search(catalogue);
        QVERIFY(ShowActive(&search));
        ExpectAllNamed(&search, "搜索模块");
        QCOMPARE(LabelOf(search.findChild<QComboBox*>()), QStringLiteral("模块组："));
        const TabWalk walk = TabCycle(&search);
        QCOMPARE(walk.trap, QString());
        QCOMPARE(NotReachedByTab(&search, walk), QStringList{});

        DataSourceDlg sources;
        QVERIFY(ShowActive(&sources));
        ExpectAllNamed(&sources, "选择数据源");
        const TabWalk sourceWalk = TabCycle(&sources);
        QCOMPARE(sourceWalk.trap, QString());
        QCOMPARE(NotReachedByTab(&sources, sourceWalk), QStringList{});

        TestProgress progress(nullptr, QStringLiteral("正在测试模块……"), true);
        QVERIFY(ShowActive(&progress));
        ExpectAllNamed(&progress, "模块测试");
    }

    // --- the main window -------------------------------------------------------------------

    void startViewStartsOnTheFirstCommand() {
        Catalogue editor;
        ModuleEditDlg& window = *editor.window;
        QVERIFY(ShowActive(&window));
        ExpectAllNamed(&window, "模块定义工具, start view");
        QCOMPARE(QApplication::focusWidget(), window.StartButton(0));
        QCOMPARE(SpokenName(window.StartButton(0)), QStringLiteral("F2 新建"));
        ExpectTabCycle(&window, {"F3 修改", "F4 用户", "Esc 退出", "F2 新建"});
    }

    void catalogueViewStartsOnTheGroupList() {
        Catalogue editor;
        QVERIFY(editor.Open());
        ModuleEditDlg& window = *editor.window;
        ExpectAllNamed(&window, "模块定义工具, catalogue view");
        QCOMPARE(QApplication::focusWidget(), editor.Groups());
        QCOMPARE(SpokenName(editor.Groups()), QStringLiteral("模块组"));
        QCOMPARE(SpokenName(editor.Modules()), QStringLiteral("模块"));
        ExpectTabCycle(
            &window, {"模块", "F2 新增", "F3 修改", "F4 删除", "F5 打印", "Esc 退出", "F6 搜索", "F7 检查", "模块组"});
        QCOMPARE(FocusedWidgets(QAccessible::queryAccessibleInterface(&window)),
                 QStringList{"模块组 kestrel::ListBox"});

        // Back in the start view the focus is on a named control again, and the keys still work.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QVERIFY(!window.IsCatalogueView());
        QCOMPARE(QApplication::focusWidget(), window.StartButton(0));
        editor.responder.AnswerFile(editor.workspace.CataloguePath());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F3);
        QVERIFY(window.IsCatalogueView());
    }

    void commandKeysWorkWithTheFocusOnAToolButton() {
        Catalogue editor;
        QVERIFY(editor.Open());
        // Tabbed onto "F4 删除": the button takes the focus, the commands still act on the group list.
        QTest::keyClick(editor.Groups(), Qt::Key_Tab);
        QTest::keyClick(editor.Modules(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), editor.window->CatalogueButton(2));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F3);
        // The module list was the last worked in: F3 opened its selected line.
        QCOMPARE(editor.responder.dialogTitles, QStringList{"模块"});
        // Space presses the button with the focus, on that same list.
        editor.responder.AnswerNo();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(editor.responder.questions.size(), std::size_t(1));
        QCOMPARE(editor.responder.questions[0].text, QStringLiteral("确认删除文件：a.kst ？"));
    }

    void theFocusedModuleLineIsTheOneTheKeysActOn() {
        Catalogue editor;
        QVERIFY(editor.Open());
        QCOMPARE(editor.window->Panel()->SelectedModule(), -1);
        QTest::keyClick(editor.Groups(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), editor.Modules());
        QCOMPARE(editor.window->Panel()->SelectedModule(), 0);
        QString opened;
        editor.responder.OnDialog([&opened](QDialog* dialog) {
            opened = static_cast<ModuleSheet*>(dialog)->Info1()->findChild<QLineEdit*>(QStringLiteral("title"))->text();
            dialog->reject();
        });
        QTest::keyClick(editor.Modules(), Qt::Key_F3);
        QCOMPARE(opened, QStringLiteral("first"));
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        QCOMPARE(editor.responder.dialogTitles, (QStringList{"模块", "模块"}));

        // Delete asks for that line; the focus coming back from the question selects nothing,
        // so a second Delete asks for nothing.
        editor.responder.AnswerYes();
        QTest::keyClick(editor.Modules(), Qt::Key_Delete);
        QCOMPARE(editor.responder.questions.size(), std::size_t(1));
        QCOMPARE(editor.responder.questions[0].text, QStringLiteral("确认删除文件：a.kst ？"));
        QVERIFY(!std::filesystem::exists(editor.workspace.Modules() / "a.kst"));
        QTest::keyClick(editor.Modules(), Qt::Key_Delete);
        QCOMPARE(editor.responder.questions.size(), std::size_t(1));
    }

    void theFocusedGroupLineIsTheOneTheKeysActOn() {
        Catalogue editor;
        QVERIFY(editor.Open());
        ListPanel* panel = editor.window->Panel();
        panel->SelectGroup(-1);
        panel->ClearModuleLines();
        // Shift+Tab from the module list back into the groups selects the line with the focus,
        // and fills the module list as choosing it does.
        QTest::keyClick(editor.Groups(), Qt::Key_Tab);
        QTest::keyClick(editor.Modules(), Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), editor.Groups());
        QCOMPARE(panel->SelectedGroup(), editor.Groups()->currentRow());
        QVERIFY(panel->SelectedGroup() >= 0);
        QCOMPARE(panel->ModuleCount(), panel->SelectedGroup() == 0 ? 2 : 0);
    }

    void theClockDoesNotAnnounceItself() {
        Catalogue editor;
        QLabel* clock = editor.window->StatusPane(3);
        QAccessibleInterface* pane = QAccessible::queryAccessibleInterface(clock);
        auto* timer = editor.window->findChild<QTimer*>(QStringLiteral("clock"));
        QVERIFY(timer);
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        const QString first = clock->text();
        QCOMPARE(pane->text(QAccessible::Name), QStringLiteral("时间"));
        QCOMPARE(pane->text(QAccessible::Value), first);

        // The label tells the platform of a new text only while it has no name of its own; the
        // offscreen platform runs no accessibility, so the name is what is checked.
        clock->setText(QStringLiteral("00:00:00")); // as a tick does
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
        QCOMPARE(clock->accessibleName(), QStringLiteral("时间"));
        QCOMPARE(pane->text(QAccessible::Description), clock->text());
        QCOMPARE(pane->text(QAccessible::Name), QStringLiteral("时间"));
    }

    // --- the property sheet ----------------------------------------------------------------

    void sheetNamesEveryFieldOfItsPages() {
        SheetFixture s(DllRecord("libx.so", "Run"));
        AddVariable(s.record, "A", kImport, kInt, 4, "", "1");
        ModuleSheet& sheet = s.Open(kEditMode);
        QVERIFY(ShowActive(&sheet));
        ExpectAllNamed(&sheet, "模块 (DLL), 基本信息");
        ModuleInfo1* info = sheet.Info1();
        const auto label = [info](const char* name) {
            return LabelOf(info->findChild<QWidget*>(QString::fromLatin1(name)));
        };
        QCOMPARE(label("title"), QStringLiteral("标题："));
        QCOMPARE(label("type"), QStringLiteral("类型："));
        QCOMPARE(label("dllName"), QStringLiteral("DLL文件名："));
        QCOMPARE(label("function"), QStringLiteral("出口函数名："));
        QCOMPARE(label("description"), QStringLiteral("说明："));
        QCOMPARE(label("state"), QStringLiteral("状态"));
        // The combo boxes say their field, not only their value.
        QCOMPARE(SpokenName(info->TypeList()), QStringLiteral("类型："));
        QCOMPARE(SpokenName(info->StateList()), QStringLiteral("状态"));
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("title"));
        // Only the title claims the focus, not the page that holds it.
        QCOMPARE(FocusedWidgets(QAccessible::queryAccessibleInterface(&sheet)).filter(QStringLiteral("ModuleInfo1")),
                 QStringList{});
        ExpectTabCycle(&sheet, {"必选模块", "类型：", "DLL文件名：", "出口函数名：", "说明：", "T.测试", "X.退出",
                                SpokenName(sheet.Tabs()), "标题："});

        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        sheet.Grid()->setFocus();
        QCOMPARE(SpokenName(sheet.Grid()), QStringLiteral("变量"));
        ExpectAllNamed(&sheet, "模块 (DLL), 变量");
    }

    void onlyTheFocusedTabClaimsTheFocus() {
        SheetFixture s(SqlRecord());
        ModuleSheet& sheet = s.Open(kEditMode);
        QVERIFY(ShowActive(&sheet));
        QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(sheet.Tabs());
        QCOMPARE(bar->childCount(), 3);
        const auto focusedTabs = [bar] {
            QStringList names;
            for (int i = 0; i < bar->childCount(); ++i)
                if (bar->child(i)->state().focused)
                    names << bar->child(i)->text(QAccessible::Name);
            return names;
        };
        QCOMPARE(bar->child(2)->text(QAccessible::Name), QStringLiteral("SQL"));
        QVERIFY(bar->child(0)->state().selected);
        // The focus is in the title: no tab claims it.
        QCOMPARE(focusedTabs(), QStringList{});
        QCOMPARE(bar->focusChild(), nullptr);
        sheet.Tabs()->setFocus();
        QCOMPARE(focusedTabs(), QStringList{"基本信息"});
        QCOMPARE(bar->focusChild(), bar->child(0));
        QCOMPARE(bar->indexOfChild(bar->child(1)), 1);
        // Pressing a tab switches the page, as a click does.
        bar->child(1)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(sheet.Tabs()->currentIndex(), int(ModuleSheet::kVariablesTab));
        QVERIFY(sheet.Grid()->isVisible());
        QCOMPARE(focusedTabs(), QStringList{"变量"});
        // A DLL module has no SQL tab: the bar has two children then.
        QTest::keyClick(sheet.Tabs(), Qt::Key_Left);
        sheet.Info1()->TypeList()->setFocus();
        QTest::keyClick(sheet.Info1()->TypeList(), Qt::Key_Down);
        QCOMPARE(sheet.Tabs()->count(), 2);
        QCOMPARE(bar->childCount(), 2);
        QCOMPARE(bar->child(2), nullptr);
        QCOMPARE(focusedTabs(), QStringList{});
    }

    void sqlPageNamesItsEditor() {
        SheetFixture s(SqlRecord("SELECT 1"));
        ModuleSheet& sheet = s.Open(kEditMode);
        QVERIFY(ShowActive(&sheet));
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kSqlTab);
        ExpectAllNamed(&sheet, "模块 (SQL), SQL");
        QCOMPARE(SpokenName(sheet.Info3()->Editor()), QStringLiteral("SQL"));
        QCOMPARE(QApplication::focusWidget(), sheet.Info3()->Editor());
        // Tab types into the SQL; Ctrl+Tab goes on, as in every text editor of the toolkit.
        QTest::keyClick(sheet.Info3()->Editor(), Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), sheet.Info3()->findChild<QWidget*>(QStringLiteral("clipboardOption")));
        QCOMPARE(sheet.Info3()->Editor()->toPlainText(), QStringLiteral("SELECT 1"));
    }

    void ctrlTabLeavesTheGridBothWays() {
        SheetFixture s(SqlRecord());
        AddVariable(s.record, "A", kImport, kInt, 4, "", "1");
        AddVariable(s.record, "B", kImport, kInt, 4, "", "2");
        ModuleSheet& sheet = s.Open(kEditMode);
        QVERIFY(ShowActive(&sheet));
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        CSpreadSheet* grid = sheet.Grid();
        grid->setFocus();
        grid->setCurrentCell(0, 0);
        // Tab keeps moving between the cells.
        QTest::keyClick(grid, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), grid);
        QCOMPARE(grid->GetActiveCol(), 2);
        QTest::keyClick(grid, Qt::Key_Tab, Qt::ShiftModifier);
        QCOMPARE(grid->GetActiveCol(), 1);
        // Ctrl+Tab goes on to the buttons, Ctrl+Shift+Tab back to the tabs.
        QTest::keyClick(grid, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), sheet.TestButton());
        grid->setFocus();
        QTest::keyClick(grid, Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), sheet.Tabs());
        // The whole sheet: no trap on this page either.
        grid->setFocus();
        const TabWalk walk = TabCycle(&sheet);
        QCOMPARE(walk.trap, QString());
        QCOMPARE(NotReachedByTab(&sheet, walk), QStringList{});
    }

    void cellEditorsSayTheirColumnAndLeaveWithCtrlTab() {
        SheetFixture s(SqlRecord());
        AddVariable(s.record, "A", kImport, kInt, 4, "", "1");
        ModuleSheet& sheet = s.Open(kEditMode);
        QVERIFY(ShowActive(&sheet));
        sheet.Tabs()->setCurrentIndex(ModuleSheet::kVariablesTab);
        CSpreadSheet* grid = sheet.Grid();
        grid->setFocus();
        grid->setCurrentCell(0, CSpreadSheet::kTypeColumn - 1);
        QTest::keyClick(grid, Qt::Key_F2);
        QWidget* editor = QApplication::focusWidget();
        QVERIFY(qobject_cast<QComboBox*>(editor));
        QCOMPARE(SpokenName(editor), QStringLiteral("类型"));
        QTest::keyClick(editor, Qt::Key_Escape);

        grid->setCurrentCell(0, CSpreadSheet::kTestValueColumn - 1);
        QTest::keyClick(grid, Qt::Key_F2);
        editor = QApplication::focusWidget();
        QVERIFY(qobject_cast<QLineEdit*>(editor));
        QCOMPARE(SpokenName(editor), QStringLiteral("测试值"));
        static_cast<QLineEdit*>(editor)->selectAll();
        Type(editor, QStringLiteral("42"));
        // Leaving from the open editor keeps what was typed.
        QTest::keyClick(editor, Qt::Key_Tab, Qt::ControlModifier);
        QCOMPARE(QApplication::focusWidget(), sheet.TestButton());
        QVERIFY(!grid->IsEditingCell());
        QCOMPARE(Cell(*grid, 1, CSpreadSheet::kTestValueColumn), QStringLiteral("42"));
        QVERIFY(sheet.StoreButton()->isEnabled());
    }
};

KESTREL_TEST_MAIN(AccessibilityTest)
#include "AccessibilityTest.moc"
