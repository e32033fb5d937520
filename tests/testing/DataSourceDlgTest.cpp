// "选择数据源": choosing by DSN, by a typed string, by an SQLite file, and cancelling.
#include "testing/widgets/DataSourceDlg.h"
#include "ui/Seam.h"

#include "support/Environment.h"
#include "support/ScriptedResponder.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace kestrel {
namespace {

class DataSourceDlgTest : public ::testing::Test {
protected:
    static QPushButton* Button(QDialog* dialog, const QString& prefix) {
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text().startsWith(prefix))
                return button;
        return nullptr;
    }

    testsupport::ScriptedResponder m_responder;
};

TEST_F(DataSourceDlgTest, SqliteFileMakesTheDriverString) {
    DataSourceDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("选择数据源"));
    m_responder.AnswerFile(QStringLiteral("/tmp/审计.db"));
    m_responder.onDialog = [&](QDialog* d) {
        QTest::mouseClick(Button(d, QStringLiteral("SQLite")), Qt::LeftButton);
        QTest::mouseClick(Button(d, QStringLiteral("确定")), Qt::LeftButton);
        return d->result();
    };
    ASSERT_EQ(ui::ExecDialog(&dialog), QDialog::Accepted);
    EXPECT_EQ(dialog.ConnectionString(), QStringLiteral("Driver=SQLite3;Database=/tmp/审计.db"));
    EXPECT_EQ(dialog.ConnectionStringUtf8(), "Driver=SQLite3;Database=/tmp/\xe5\xae\xa1\xe8\xae\xa1.db");
    ASSERT_EQ(m_responder.files.size(), 1u);
    EXPECT_EQ(DataSourceDlg::SqliteConnectionString(QStringLiteral("/a;b.db")),
              QStringLiteral("Driver=SQLite3;Database={/a;b.db}"));
}

TEST_F(DataSourceDlgTest, CancelledFilePickerChangesNothing) {
    DataSourceDlg dialog;
    m_responder.onDialog = [&](QDialog* d) {
        d->findChild<QLineEdit*>()->setText(QStringLiteral("DSN=audit"));
        QTest::mouseClick(Button(d, QStringLiteral("SQLite")), Qt::LeftButton);
        QTest::mouseClick(Button(d, QStringLiteral("确定")), Qt::LeftButton);
        return d->result();
    };
    ASSERT_EQ(ui::ExecDialog(&dialog), QDialog::Accepted);
    EXPECT_EQ(dialog.ConnectionString(), QStringLiteral("DSN=audit"));
}

TEST_F(DataSourceDlgTest, EmptyStringKeepsTheDialogOpenAndCancelChoosesNothing) {
    DataSourceDlg dialog;
    bool stayedOpen = false;
    m_responder.onDialog = [&](QDialog* d) {
        d->show();
        QTest::mouseClick(Button(d, QStringLiteral("确定")), Qt::LeftButton);
        stayedOpen = d->isVisible() && d->result() != QDialog::Accepted;
        QTest::mouseClick(Button(d, QStringLiteral("取消")), Qt::LeftButton);
        return d->result();
    };
    EXPECT_EQ(ui::ExecDialog(&dialog), QDialog::Rejected);
    EXPECT_TRUE(stayedOpen);
    EXPECT_TRUE(dialog.ConnectionString().isEmpty());
}

// The user's DSNs (their list named by ODBCINI, here one in the test's own home) are listed by
// name and kind; choosing one fills in its connection string, and a double click takes it.
TEST_F(DataSourceDlgTest, ListedDsnIsChosenByClickAndTakenByDoubleClick) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const std::filesystem::path ini = std::filesystem::path(home) / "kestrel-odbc.ini";
    {
        std::ofstream out(ini);
        out << "[KestrelAudit]\nDescription = audit\nDriver = SQLite3\nDatabase = /tmp/kestrel-none.db\n";
    }
    const char* previous = std::getenv("ODBCINI");
    const std::string saved = previous ? previous : "";
    ::setenv("ODBCINI", ini.c_str(), 1);
    DataSourceDlg dialog;
    if (previous)
        ::setenv("ODBCINI", saved.c_str(), 1);
    else
        ::unsetenv("ODBCINI");
    auto* list = dialog.findChild<QListWidget*>();
    ASSERT_NE(list, nullptr);
    QListWidgetItem* item = nullptr;
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text().startsWith(QStringLiteral("KestrelAudit")))
            item = list->item(i);
    std::filesystem::remove(ini);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->text().endsWith(QStringLiteral("[用户]"))) << item->text().toStdString();
    m_responder.onDialog = [&](QDialog* d) {
        list->setCurrentItem(item);
        EXPECT_EQ(d->findChild<QLineEdit*>()->text(), QStringLiteral("DSN=KestrelAudit"));
        d->findChild<QLineEdit*>()->clear();
        emit list->itemDoubleClicked(item);
        return d->result();
    };
    ASSERT_EQ(ui::ExecDialog(&dialog), QDialog::Accepted);
    EXPECT_EQ(dialog.ConnectionString(), QStringLiteral("DSN=KestrelAudit"));
}

} // namespace
} // namespace kestrel

int main(int argc, char** argv) {
    const kestrel::testsupport::TestEnvironment environment;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
