// "选择数据源": choosing by DSN, by a typed string, by an SQLite file, and cancelling.
#include "testing/DataSourceDlg.h"
#include "ui/Seam.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>

namespace kestrel {
namespace {

class Responder : public ui::ModalResponder {
public:
    void Message(QWidget*, const QString& text, const QString&, ui::Icon) override { messages << text; }
    bool Question(QWidget*, const QString&, const QString&, ui::Icon, bool) override { return false; }
    QString FileName(ui::FileDialogKind, const QString&, const QString& filter) override {
        filters << filter;
        return fileAnswer;
    }
    int Dialog(QDialog* dialog) override { return drive(dialog); }

    QStringList messages;
    QStringList filters;
    QString fileAnswer;
    std::function<int(QDialog*)> drive;
};

class DataSourceDlgTest : public ::testing::Test {
protected:
    void SetUp() override { ui::SetModalResponder(&m_responder); }
    void TearDown() override { ui::SetModalResponder(nullptr); }

    static QPushButton* Button(QDialog* dialog, const QString& prefix) {
        for (QPushButton* button : dialog->findChildren<QPushButton*>())
            if (button->text().startsWith(prefix))
                return button;
        return nullptr;
    }

    Responder m_responder;
};

TEST_F(DataSourceDlgTest, SqliteFileMakesTheDriverString) {
    DataSourceDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("选择数据源"));
    m_responder.fileAnswer = QStringLiteral("/tmp/审计.db");
    m_responder.drive = [&](QDialog* d) {
        QTest::mouseClick(Button(d, QStringLiteral("SQLite")), Qt::LeftButton);
        QTest::mouseClick(Button(d, QStringLiteral("确定")), Qt::LeftButton);
        return d->result();
    };
    ASSERT_EQ(ui::ExecDialog(&dialog), QDialog::Accepted);
    EXPECT_EQ(dialog.ConnectionString(), QStringLiteral("Driver=SQLite3;Database=/tmp/审计.db"));
    EXPECT_EQ(dialog.ConnectionStringUtf8(), "Driver=SQLite3;Database=/tmp/\xe5\xae\xa1\xe8\xae\xa1.db");
    ASSERT_EQ(m_responder.filters.size(), 1);
    EXPECT_EQ(DataSourceDlg::SqliteConnectionString(QStringLiteral("/a;b.db")),
              QStringLiteral("Driver=SQLite3;Database={/a;b.db}"));
}

TEST_F(DataSourceDlgTest, CancelledFilePickerChangesNothing) {
    DataSourceDlg dialog;
    m_responder.fileAnswer.clear();
    m_responder.drive = [&](QDialog* d) {
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
    m_responder.drive = [&](QDialog* d) {
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
    // Test discovery runs this program too, without the test's environment.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
