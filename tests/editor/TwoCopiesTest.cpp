// Two copies of the tool on one shared folder: a save that would replace what the other copy
// wrote since this one read the file asks first; No keeps the other copy's file and this
// copy's edits; where nothing changed in between, nothing is asked.
#include "support/Builders.h"
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/UserTable.h"
#include "accounts/windows/UserDlg.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"
#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
#include "repository/Catalogue.h"
#include "repository/FileOps.h"
#include "ui/GbkEdit.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

const QString kOverwriteQuestion = QStringLiteral("在读入后已被修改");

struct Editor {
    TestWorkspace workspace;
    ScriptedResponder responder;
    std::unique_ptr<ModuleEditDlg> window;
    std::filesystem::path folder = workspace.Modules();

    Editor() {
        WriteCatalogue(folder / "audit.MGP", {{"A", "sales"}});
        WriteModule(folder, "a.kst", {.groupId = "A", .title = "first", .body = "SELECT 1"});
        window = std::make_unique<ModuleEditDlg>();
        window->SetUserName("li");
        window->show();
        responder.AnswerFile(workspace.CataloguePath());
        QTest::keyClick(window.get(), Qt::Key_F3);
    }
    ListBox* Groups() const { return window->Panel()->GroupList(); }
    ListBox* Modules() const { return window->Panel()->ModuleList(); }
    int OverwriteQuestions() const {
        int asked = 0;
        for (const AskedBox& box : responder.questions)
            asked += box.text.contains(kOverwriteQuestion) ? 1 : 0;
        return asked;
    }
    std::string Title() const {
        ModuleRecord record;
        return LoadModuleFile(record, folder, "a.kst") ? FieldText(record.header.title) : "<unreadable>";
    }
    // The other copy: the same module saved by another user.
    void OtherCopySaves(const std::string& title) {
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, folder, "a.kst"));
        SetFieldText(record.header.title, title);
        QVERIFY(SaveModuleFile(record, "wang", folder));
    }
};

void SetTitle(QDialog* sheet, const QString& title) {
    auto* edit = qobject_cast<ModuleSheet*>(sheet)->Info1()->findChild<QLineEdit*>(QStringLiteral("title"));
    edit->selectAll();
    Type(edit, title);
}

} // namespace

class TwoCopiesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { InitKestrelResources(); }

    void moduleSavedByTheOtherCopyIsNotOverwrittenSilently() {
        Editor editor;
        editor.window->Panel()->SelectModule(0);
        editor.responder.OnDialog([&](QDialog* sheet) {
            // Unchanged on disk: the save asks nothing.
            SetTitle(sheet, QStringLiteral("mine 1"));
            Click(sheet, QStringLiteral("&S.保存"));
            QCOMPARE(editor.OverwriteQuestions(), 0);
            QCOMPARE(editor.Title(), std::string("mine 1"));

            // The other copy saves; No keeps its file and leaves the edit unsaved in the sheet.
            editor.OtherCopySaves("theirs");
            SetTitle(sheet, QStringLiteral("mine 2"));
            editor.responder.AnswerNo();
            Click(sheet, QStringLiteral("&S.保存"));
            QCOMPARE(editor.OverwriteQuestions(), 1);
            QCOMPARE(editor.responder.questions.back().caption, QStringLiteral("警告"));
            QVERIFY(editor.responder.questions.back().defaultNo);
            QCOMPARE(editor.Title(), std::string("theirs"));
            QVERIFY(sheet->isVisible());
            QVERIFY(qobject_cast<ModuleSheet*>(sheet)->StoreButton()->isEnabled());

            // Asked again at the next save; Yes overwrites.
            editor.responder.AnswerYes();
            Click(sheet, QStringLiteral("&S.保存"));
            QCOMPARE(editor.OverwriteQuestions(), 2);
            QCOMPARE(editor.Title(), std::string("mine 2"));
            sheet->done(QDialog::Accepted);
        });
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        // The save on closing found the file as this copy wrote it: nothing more asked.
        QCOMPARE(editor.OverwriteQuestions(), 2);
        QVERIFY(editor.responder.ScriptDone());
    }

    void closingTheSheetAfterTheOtherCopySavedAsksToo() {
        Editor editor;
        editor.window->Panel()->SelectModule(0);
        editor.responder.OnDialog([&](QDialog* sheet) {
            editor.OtherCopySaves("theirs");
            sheet->done(QDialog::Accepted);
        });
        editor.responder.AnswerNo();
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        QCOMPARE(editor.OverwriteQuestions(), 1);
        QCOMPARE(editor.Title(), std::string("theirs"));
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, editor.folder, "a.kst"));
        QCOMPARE(FieldText(record.header.modifier), std::string("wang"));
    }

    // However the sheet is left after "放弃所作修改？" Yes, nothing of its edits reaches the
    // file and nothing more is asked: neither after a declined save nor without one.
    void discardedEditsAreNeverWritten_data() {
        QTest::addColumn<int>("way");
        QTest::addColumn<bool>("declinedSave");
        const char* ways[] = {"Alt+X", "退出 button", "close box", "Esc"};
        for (int way = 0; way < 4; ++way) {
            QTest::addRow("save declined, %s", ways[way]) << way << true;
            QTest::addRow("no save, %s", ways[way]) << way << false;
        }
    }
    void discardedEditsAreNeverWritten() {
        QFETCH(int, way);
        QFETCH(bool, declinedSave);
        Editor editor;
        editor.window->Panel()->SelectModule(0);
        int asked = 0;
        editor.responder.OnDialog([&](QDialog* sheet) {
            sheet->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(sheet));
            editor.OtherCopySaves("theirs");
            SetTitle(sheet, QStringLiteral("mine"));
            if (declinedSave) {
                editor.responder.AnswerNo();
                Click(sheet, QStringLiteral("&S.保存"));
                QCOMPARE(editor.OverwriteQuestions(), 1);
            }
            // "放弃所作修改？" No first: the sheet stays with the edit; then Yes.
            for (const bool discard : {false, true}) {
                // Behind the Yes to discard, a Yes that an overwrite question would take.
                if (discard)
                    editor.responder.Answer({true, true});
                else
                    editor.responder.AnswerNo();
                switch (way) {
                case 0:
                    QTest::keyClick(sheet, Qt::Key_X, Qt::AltModifier);
                    QTRY_VERIFY(editor.responder.questions.size() > std::size_t(asked + declinedSave));
                    break;
                case 1:
                    Click(sheet, QStringLiteral("&X.退出"));
                    break;
                case 2:
                    sheet->close();
                    break;
                default:
                    QTest::keyClick(sheet, Qt::Key_Escape);
                    break;
                }
                ++asked;
                QCOMPARE(editor.responder.questions.back().text, QStringLiteral("放弃所作修改？"));
                QCOMPARE(sheet->isVisible(), !discard);
            }
        });
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        QCOMPARE(editor.responder.questions.size(), std::size_t(asked + (declinedSave ? 1 : 0)));
        QCOMPARE(editor.OverwriteQuestions(), declinedSave ? 1 : 0);
        QCOMPARE(editor.Title(), std::string("theirs"));
        ModuleRecord record;
        QVERIFY(LoadModuleFile(record, editor.folder, "a.kst"));
        QCOMPARE(FieldText(record.header.modifier), std::string("wang"));
        // The Yes waiting for an overwrite question was never taken.
        QVERIFY(!editor.responder.ScriptDone());
        QVERIFY(!editor.Modules()->item(0)->text().contains(QStringLiteral("mine")));
    }

    // Without a discard the edits stay in the sheet after a declined save, and a later save
    // that the user lets overwrite writes them.
    void declinedSaveThenStayingKeepsTheEdits() {
        Editor editor;
        editor.window->Panel()->SelectModule(0);
        editor.responder.OnDialog([&](QDialog* sheet) {
            editor.OtherCopySaves("theirs");
            SetTitle(sheet, QStringLiteral("mine"));
            editor.responder.Answer({false, false, true});
            Click(sheet, QStringLiteral("&S.保存"));
            QTest::keyClick(sheet, Qt::Key_Escape); // "放弃所作修改？" No
            QVERIFY(sheet->isVisible());
            Click(sheet, QStringLiteral("&S.保存"));
            QCOMPARE(editor.OverwriteQuestions(), 2);
            QCOMPARE(editor.Title(), std::string("mine"));
            QTest::keyClick(sheet, Qt::Key_Escape); // saved: asks nothing
        });
        QTest::keyClick(editor.Modules(), Qt::Key_Return);
        QCOMPARE(editor.responder.questions.size(), std::size_t(3));
        QVERIFY(editor.responder.ScriptDone());
        QCOMPARE(editor.Title(), std::string("mine"));
        QVERIFY(editor.Modules()->item(0)->text().contains(QStringLiteral("mine")));
    }

    void catalogueChangedByTheOtherCopyIsAskedAbout() {
        Editor editor;
        const auto path = editor.folder / "audit.MGP";
        auto newGroup = [&](const char* id) {
            editor.responder.OnDialog([id](QDialog* dialog) {
                auto* topic = qobject_cast<TopicDlg*>(dialog);
                Type(topic->IdentifierEdit(), QString::fromLatin1(id));
                Type(topic->NameEdit(), QStringLiteral("x"));
                Click(dialog, QStringLiteral("&O.确认"));
            });
            QTest::keyClick(editor.Groups(), Qt::Key_F2);
        };
        newGroup("B"); // nothing changed in between: nothing asked
        QCOMPARE(editor.OverwriteQuestions(), 0);

        // The other copy adds a group of its own.
        GroupCatalogue other;
        QVERIFY(LoadCatalogue(other, path));
        QVERIFY(AddGroup(other, "THEIRS", "theirs", ""));
        editor.responder.AnswerNo();
        newGroup("C");
        QCOMPARE(editor.OverwriteQuestions(), 1);
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, path));
        QCOMPARE(stored.groupCount, 3);
        QCOMPARE(FieldText(stored.groups[2].identifier), std::string("THEIRS"));
        QCOMPARE(editor.Groups()->count(), 2); // the list stays as it was filled

        editor.responder.AnswerYes();
        newGroup("C");
        QCOMPARE(editor.OverwriteQuestions(), 2);
        QVERIFY(LoadCatalogue(stored, path));
        QCOMPARE(stored.groupCount, 3);
        QCOMPARE(FieldText(stored.groups[2].identifier), std::string("C"));
        newGroup("D"); // this copy's own write is no change by another
        QCOMPARE(editor.OverwriteQuestions(), 2);
    }

    // No to overwriting keeps the group dialog open with what was typed; a second OK can
    // overwrite, the cancel writes nothing.
    void groupDialogKeepsItsEntriesAfterNo() {
        Editor editor;
        const auto path = editor.folder / "audit.MGP";
        auto otherCopyAdds = [&](const char* id) {
            GroupCatalogue other;
            QVERIFY(LoadCatalogue(other, path));
            QVERIFY(AddGroup(other, id, "theirs", ""));
        };
        for (const bool retry : {false, true}) {
            otherCopyAdds(retry ? "T2" : "T1");
            const std::string before = ReadBytes(path);
            editor.responder.OnDialog([&](QDialog* dialog) {
                auto* topic = qobject_cast<TopicDlg*>(dialog);
                Type(topic->IdentifierEdit(), QStringLiteral("NEW"));
                Type(topic->NameEdit(), QStringLiteral("mine"));
                Type(topic->FlowEdit(), QStringLiteral("step"));
                editor.responder.AnswerNo();
                Click(dialog, QStringLiteral("&O.确认"));
                QVERIFY(dialog->isVisible());
                QCOMPARE(topic->IdentifierEdit()->text(), QStringLiteral("NEW"));
                QCOMPARE(topic->NameEdit()->text(), QStringLiteral("mine"));
                QCOMPARE(topic->FlowEdit()->toPlainText(), QStringLiteral("step"));
                QCOMPARE(ReadBytes(path), before);
                if (retry) {
                    editor.responder.AnswerYes();
                    Click(dialog, QStringLiteral("&O.确认"));
                } else {
                    Click(dialog, QStringLiteral("&X.取消"));
                }
                QVERIFY(!dialog->isVisible());
            });
            QTest::keyClick(editor.Groups(), Qt::Key_F2);
            GroupCatalogue stored;
            QVERIFY(LoadCatalogue(stored, path));
            if (!retry) {
                QCOMPARE(ReadBytes(path), before);
                QCOMPARE(editor.Groups()->count(), 1);
                continue;
            }
            // This copy's catalogue with the new group replaces the other's.
            QCOMPARE(stored.groupCount, 2);
            QCOMPARE(FieldText(stored.groups[1].identifier), std::string("NEW"));
            QCOMPARE(GetFlowText(stored.flowTable, "NEW"), std::string("step"));
            QCOMPARE(editor.Groups()->count(), 2);
        }
        QCOMPARE(editor.OverwriteQuestions(), 3);

        // Editing a group: the same.
        otherCopyAdds("T3");
        editor.window->Panel()->SelectGroup(0);
        editor.responder.OnDialog([&](QDialog* dialog) {
            auto* topic = qobject_cast<TopicDlg*>(dialog);
            topic->NameEdit()->selectAll();
            Type(topic->NameEdit(), QStringLiteral("renamed"));
            editor.responder.Answer({false, true});
            Click(dialog, QStringLiteral("&O.确认"));
            QCOMPARE(topic->NameEdit()->text(), QStringLiteral("renamed"));
            Click(dialog, QStringLiteral("&O.确认"));
        });
        QTest::keyClick(editor.Groups(), Qt::Key_Return);
        QCOMPARE(editor.OverwriteQuestions(), 5);
        GroupCatalogue stored;
        QVERIFY(LoadCatalogue(stored, path));
        QCOMPARE(FieldText(stored.groups[0].name), std::string("renamed"));
    }

    void userTableSavedByTheOtherCopyIsAskedAbout() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        auto table = std::make_unique<UserTable>();
        UseBuiltInUserTable(*table);
        QVERIFY(UserTableSave(*table, 1)); // the table exists, with SA alone
        auto otherCopyAdds = [](const char* name) {
            auto other = std::make_unique<UserTable>();
            const int count = UserTableLoad(*other).value();
            SetFieldText(other->records[count].name, name);
            SetFieldText(other->records[count].password, "p");
            QVERIFY(UserTableSave(*other, count + 1));
        };
        auto names = [] {
            auto stored = std::make_unique<UserTable>();
            const int count = UserTableLoad(*stored).value();
            QStringList list;
            for (int i = 0; i < count; ++i)
                list << QString::fromStdString(FieldText(stored->records[i].name));
            return list;
        };
        auto addUser = [&](QDialog* list, const char* name) {
            responder.OnDialog([name](QDialog* dialog) {
                auto* user = qobject_cast<UserDlg*>(dialog);
                Type(user->NameEdit(), QString::fromLatin1(name));
                Type(user->PasswordEdit(), QStringLiteral("pw"));
                Type(user->ConfirmEdit(), QStringLiteral("pw"));
                Click(dialog, QStringLiteral("&O.确认"));
            });
            Click(list, QStringLiteral("&A.增加"));
        };
        const QString backToList = QStringLiteral("“用户清单”没有保存。回到清单继续吗？\n选“否”则放弃清单中的修改。");

        // While SA's list is open, the other copy adds "wang". No to overwriting opens the list
        // again as it was left; the second time, No and No lets this copy's changes go.
        responder.OnDialog([&](QDialog* list) {
            otherCopyAdds("wang");
            addUser(list, "li");
            responder.OnDialog([list](QDialog* again) {
                QVERIFY(again == list); // the same dialog, opened again
                QCOMPARE(qobject_cast<UserListDlg*>(again)->List()->count(), 2);
                QCOMPARE(qobject_cast<UserListDlg*>(again)->List()->item(1)->text(), QStringLiteral("li"));
                Click(again, QStringLiteral("&X.退出"));
            });
            Click(list, QStringLiteral("&X.退出"));
        });
        responder.Answer({false, true, false, false});
        RunUserCommand(nullptr, "SA");
        QVERIFY(responder.ScriptDone());
        QCOMPARE(responder.questions.size(), std::size_t(4));
        QVERIFY(responder.questions[0].text.contains(QStringLiteral("kestrel.usr")));
        QCOMPARE(responder.questions[1].text, backToList);
        QVERIFY(!responder.questions[1].defaultNo);
        QCOMPARE(names(), (QStringList{QStringLiteral("SA"), QStringLiteral("wang")}));

        // Unchanged in between: closing the list saves without a question.
        responder.OnDialog([](QDialog* list) { Click(list, QStringLiteral("&X.退出")); });
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.questions.size(), std::size_t(4));

        // No, back to the list, then Yes: this copy's table, with the user added before the
        // first question, replaces the other's.
        responder.OnDialog([&](QDialog* list) {
            otherCopyAdds("zhao");
            addUser(list, "li");
            responder.OnDialog([](QDialog* again) { Click(again, QStringLiteral("&X.退出")); });
            Click(list, QStringLiteral("&X.退出"));
        });
        responder.Answer({false, true, true});
        RunUserCommand(nullptr, "SA");
        QVERIFY(responder.ScriptDone());
        QCOMPARE(responder.questions.size(), std::size_t(7));
        QCOMPARE(names(), (QStringList{QStringLiteral("SA"), QStringLiteral("wang"), QStringLiteral("li")}));
    }

    // A user changing their own password: No to overwriting opens the dialog again filled in;
    // its cancel writes nothing, its OK with Yes writes the password.
    void ownPasswordDialogKeepsItsEntriesAfterNo() {
        TestWorkspace workspace;
        ScriptedResponder responder;
        auto table = std::make_unique<UserTable>();
        UseBuiltInUserTable(*table);
        SetFieldText(table->records[1].name, "li");
        SetFieldText(table->records[1].password, "old");
        QVERIFY(UserTableSave(*table, 2));
        auto otherCopyChangesSa = [] {
            auto other = std::make_unique<UserTable>();
            const int count = UserTableLoad(*other).value();
            SetFieldText(other->records[0].password, "other");
            QVERIFY(UserTableSave(*other, count));
        };
        auto password = [](int index) {
            auto stored = std::make_unique<UserTable>();
            UserTableLoad(*stored);
            return FieldText(stored->records[index].password);
        };
        for (const bool retry : {false, true}) {
            responder.OnDialog([&](QDialog* dialog) {
                otherCopyChangesSa();
                auto* user = qobject_cast<UserDlg*>(dialog);
                Type(user->PasswordEdit(), QStringLiteral("neu"));
                Type(user->ConfirmEdit(), QStringLiteral("neu"));
                Click(dialog, QStringLiteral("&O.确认"));
            });
            responder.AnswerNo();
            responder.OnDialog([&responder, retry](QDialog* dialog) {
                auto* user = qobject_cast<UserDlg*>(dialog);
                QCOMPARE(user->PasswordEdit()->text(), QStringLiteral("neu"));
                QCOMPARE(user->ConfirmEdit()->text(), QStringLiteral("neu"));
                if (retry)
                    responder.AnswerYes();
                Click(dialog, retry ? QStringLiteral("&O.确认") : QStringLiteral("&X.取消"));
            });
            RunUserCommand(nullptr, "li");
            QVERIFY(responder.ScriptDone());
            QCOMPARE(password(1), retry ? std::string("neu") : std::string("old"));
            QCOMPARE(password(0), std::string("other"));
        }
    }
};

KESTREL_TEST_MAIN(TwoCopiesTest)
#include "TwoCopiesTest.moc"
