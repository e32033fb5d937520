// The file-name, find and group dialogs: what each confirmation accepts and refuses.
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "editor/FileName.h"
#include "editor/FindDlg.h"
#include "editor/TopicDlg.h"
#include "ui/GbkEdit.h"
#include "ui/GbkText.h"

#include <QAbstractButton>
#include <QtTest>

#include <fstream>

using namespace kestrel;
using namespace kestrel::testsupport;

class SmallDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void fileNameAcceptsOnlyNewKstNames_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("no extension") << QStringLiteral("abc") << false;
        QTest::newRow("mixed case") << QStringLiteral("abc.Kst") << false;
        QTest::newRow("upper case") << QStringLiteral("ABC.KST") << true;
        // No list would show these: the extension must end the name.
        QTest::newRow("extension inside") << QStringLiteral("a.kstx") << false;
        QTest::newRow("extension then more") << QStringLiteral("a.kst.bak") << false;
        QTest::newRow("Chinese") << QStringLiteral("审计.kst") << true;
        QTest::newRow("blank") << QStringLiteral("a b.kst") << false;
        QTest::newRow("separator") << QStringLiteral("../a.kst") << false;
        QTest::newRow("exists") << QStringLiteral("old.kst") << false;
        QTest::newRow("folder exists") << QStringLiteral("dir.kst") << false;
    }

    void fileNameAcceptsOnlyNewKstNames() {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        TestWorkspace workspace;
        std::ofstream(workspace.Modules() / "old.kst") << "x";
        std::filesystem::create_directory(workspace.Modules() / "dir.kst");
        ScriptedResponder responder;
        FileName dialog(workspace.Modules());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("模块文件名"));
        dialog.show();
        Type(dialog.NameEdit(), typed);
        Click(&dialog, QStringLiteral("&O.确认"));
        QCOMPARE(dialog.isVisible(), !accepted);
        QCOMPARE(dialog.result(), accepted ? int(QDialog::Accepted) : int(QDialog::Rejected));
        if (accepted)
            QCOMPARE(dialog.Name(), ui::ToGbkChecked(typed));
        const bool exists = typed == QStringLiteral("old.kst") || typed == QStringLiteral("dir.kst");
        QCOMPARE(responder.MessageTexts(), exists ? QStringList{QStringLiteral("文件已存在！")} : QStringList{});
        if (exists)
            QCOMPARE(responder.messages[0].caption, QStringLiteral("提示"));
    }

    void fileNameRefusesCharactersOutsideGbk() {
        TestWorkspace workspace;
        FileName dialog(workspace.Modules());
        dialog.show();
        Type(dialog.NameEdit(), QStringLiteral("a😀.kst"));
        QCOMPARE(dialog.NameEdit()->text(), QStringLiteral("a.kst"));
        dialog.NameEdit()->setText(QStringLiteral("b😀.kst")); // pasted past the edit's check
        Click(&dialog, QStringLiteral("&O.确认"));
        QVERIFY(dialog.isVisible());
    }

    void topicDialogKeepsFlowAndChecksFields() {
        TopicDlg dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("模块组"));
        const std::string flow = Gbk("第一步\r\n\r\n  第三步 & 完成\r\n\r\n");
        dialog.SetMode(TopicDlg::kEditGroup);
        dialog.SetValues("XS", Gbk("销售"), flow);
        dialog.show();
        QVERIFY(!dialog.IdentifierEdit()->isEnabled());
        QCOMPARE(dialog.FlowEdit()->font().family(), QStringLiteral("WenQuanYi Micro Hei Mono"));
        // Enter in the flow field is a new line, not a confirmation.
        dialog.FlowEdit()->moveCursor(QTextCursor::End);
        QTest::keyClick(dialog.FlowEdit(), Qt::Key_Return);
        QVERIFY(dialog.isVisible());
        QTest::keyClick(dialog.FlowEdit(), Qt::Key_Backspace);
        dialog.FlowEdit()->document()->setModified(false);
        Click(&dialog, QStringLiteral("&O.确认"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Flow(), flow);
        QCOMPARE(dialog.Identifier(), std::string("XS"));

        TopicDlg fresh;
        fresh.show();
        QVERIFY(fresh.IdentifierEdit()->isEnabled());
        Type(fresh.IdentifierEdit(), QStringLiteral("0123456789AB"));
        QCOMPARE(fresh.IdentifierEdit()->text(), QStringLiteral("0123456789"));
        Type(fresh.NameEdit(), QString(25, QChar(0x4E2D))); // 50 bytes typed, 40 kept
        QCOMPARE(fresh.NameEdit()->text().size(), 20);
        fresh.IdentifierEdit()->clear();
        PressEnter(fresh.NameEdit());
        QVERIFY(fresh.isVisible()); // no identifier
        Type(fresh.IdentifierEdit(), QStringLiteral("N"));
        PressEnter(fresh.NameEdit());
        QVERIFY(!fresh.isVisible());
        QCOMPARE(fresh.Flow(), std::string());
    }

    // Enter on a button that has the focus presses that button, as in any dialog: reaching
    // "&X.取消" with Tab and pressing Enter must not confirm the fields.
    void enterOnFocusedCancelCancels() {
        TestWorkspace workspace;
        auto enterOn = [](QDialog* dialog, const QString& text) {
            QAbstractButton* button = Button(dialog, text);
            QVERIFY(button);
            button->setFocus(Qt::TabFocusReason);
            QTest::keyClick(button, Qt::Key_Return);
        };
        ScriptedResponder responder;
        FileName name(workspace.Modules());
        name.show();
        Type(name.NameEdit(), QStringLiteral("new.kst"));
        enterOn(&name, QStringLiteral("&X.取消"));
        QCOMPARE(name.result(), int(QDialog::Rejected));
        QCOMPARE(name.Name(), std::string());

        TopicDlg topic;
        topic.SetMode(TopicDlg::kEditGroup);
        topic.SetValues("XS", Gbk("销售"), "");
        topic.show();
        Type(topic.NameEdit(), QStringLiteral("改"));
        enterOn(&topic, QStringLiteral("&X.取消"));
        QCOMPARE(topic.result(), int(QDialog::Rejected));
        QCOMPARE(topic.Name(), Gbk("销售"));

        FindDlg find;
        find.show();
        enterOn(&find, QStringLiteral("Cancel"));
        QCOMPARE(find.result(), int(QDialog::Rejected));
        // Back in an edit box, Enter is the default button's again.
        FindDlg again;
        again.show();
        QVERIFY(QTest::qWaitForWindowActive(&again));
        Button(&again, QStringLiteral("Cancel"))->setFocus(Qt::TabFocusReason);
        again.TextEdit()->setFocus(Qt::TabFocusReason);
        PressEnter(again.TextEdit());
        QCOMPARE(again.result(), int(QDialog::Accepted));
        QVERIFY(responder.messages.empty());
    }

    void findDialogAcceptsEmptyText() {
        FindDlg dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("查找"));
        dialog.SetText("SELECT");
        dialog.show();
        QCOMPARE(dialog.TextEdit()->text(), QStringLiteral("SELECT"));
        dialog.TextEdit()->clear();
        Click(&dialog, QStringLiteral("OK"));
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Text(), std::string());

        FindDlg cancelled;
        cancelled.show();
        QTest::keyClick(&cancelled, Qt::Key_Escape);
        QCOMPARE(cancelled.result(), int(QDialog::Rejected));
    }
};

KESTREL_TEST_MAIN(SmallDialogsTest)
#include "SmallDialogsTest.moc"
