// Two copies of the tool on one shared folder: a save that would replace what the other copy
// wrote since this one read the file asks first; No keeps the other copy's file and this
// copy's edits; where nothing changed in between, nothing is asked.
#include "support/Builders.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Text.h"
#include "support/Workspace.h"

#include "accounts/UserTable.h"
#include "accounts/windows/UserListDlg.h"
#include "core/FixedText.h"
#include "core/TextRoutines.h"
#include "editor/ModuleEditDlg.h"
#include "editor/ModuleInfo1.h"
#include "editor/SheetDlg.h"
#include "editor/TopicDlg.h"
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
        // While SA's list is open, the other copy adds "wang"; No keeps the other copy's table.
        responder.OnDialog([&](QDialog* list) {
            otherCopyAdds("wang");
            Click(list, QStringLiteral("&X.退出"));
        });
        responder.AnswerNo();
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.questions.size(), std::size_t(1));
        QVERIFY(responder.questions[0].text.contains(QStringLiteral("kestrel.usr")));
        QCOMPARE(names(), (QStringList{QStringLiteral("SA"), QStringLiteral("wang")}));

        // Unchanged in between: closing the list saves without a question.
        responder.OnDialog([](QDialog* list) { Click(list, QStringLiteral("&X.退出")); });
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.questions.size(), std::size_t(1));

        // Yes: this copy's table replaces the other's.
        responder.OnDialog([&](QDialog* list) {
            otherCopyAdds("zhao");
            Click(list, QStringLiteral("&X.退出"));
        });
        responder.AnswerYes();
        RunUserCommand(nullptr, "SA");
        QCOMPARE(responder.questions.size(), std::size_t(2));
        QCOMPARE(names(), (QStringList{QStringLiteral("SA"), QStringLiteral("wang")}));
    }
};

KESTREL_TEST_MAIN(TwoCopiesTest)
#include "TwoCopiesTest.moc"
