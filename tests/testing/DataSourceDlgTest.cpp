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

} // namespace
} // namespace kestrel

int main(int argc, char** argv) {
    const kestrel::testsupport::TestEnvironment environment;
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
