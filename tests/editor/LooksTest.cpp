// How the tool's windows look to a user: Chinese lines that read naturally and keep their
// columns, message boxes wide enough for their caption, Qt's own dialogs in Chinese; and all of
// it without touching the host application's locale or translators.
#include "support/Files.h"
#include "support/QtMain.h"
#include "support/ScriptedResponder.h"
#include "support/Workspace.h"

#include "accounts/entry/DesignSession.h"
#include "accounts/windows/Login.h"
#include "core/Gbk.h"
#include "editor/SheetDlg.h"
#include "ui/Seam.h"

#include <QFileDialog>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QMessageBox>
#include <QTimer>
#include <QTreeView>
#include <QtTest>

#include <fstream>

using namespace kestrel;
using namespace kestrel::testsupport;

namespace {

// Runs check on the modal window that opens next, once its loop runs.
template <typename Check> void OnNextModal(Check check) {
    QTimer::singleShot(0, [check] {
        QWidget* modal = QApplication::activeModalWidget();
        for (int i = 0; !modal && i < 100; ++i) {
            QTest::qWait(10);
            modal = QApplication::activeModalWidget();
        }
        check(modal);
    });
}

int LineWidth(ListBox* list, const std::string& gbkLine) {
    auto* item = new QListWidgetItem(QString::fromStdString(GbkToUtf8(gbkLine)), list);
    QStyleOptionViewItem option;
    option.initFrom(list->viewport());
    option.font = list->font();
    const int width = list->itemDelegate()->sizeHint(option, list->indexFromItem(item)).width();
    delete item;
    return width;
}

} // namespace

class LooksTest : public QObject {
    Q_OBJECT

private slots:
    void chineseLinesReadNaturallyAndKeepTheirColumns() {
        ListPanel panel;
        ListBox* list = panel.ModuleList();
        const QString chinese = QStringLiteral("销售审计");
        // Four Chinese characters take the room of eight Latin ones (their GBK bytes) ...
        const int chineseWidth = LineWidth(list, Utf8ToGbk(chinese.toStdString()).value());
        QCOMPARE(chineseWidth, LineWidth(list, "abcdefgh"));
        // ... and that room is their own natural width, not a spaced-out one.
        const double natural = QFontMetricsF(list->font()).horizontalAdvance(chinese);
        QVERIFY2(std::abs(chineseWidth - 8 - natural) <= 2,
                 qPrintable(QStringLiteral("%1 against %2").arg(chineseWidth - 8).arg(natural)));
    }

    void smallestMessageBoxShowsItsCaption() {
        QString caption;
        int boxWidth = 0;
        int captionWidth = 0;
        bool chinese = false;
        OnNextModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return;
            caption = box->windowTitle();
            boxWidth = box->width();
            captionWidth = box->fontMetrics().horizontalAdvance(caption);
            chinese = box->locale().language() == QLocale::Chinese;
            QTest::keyClick(box, Qt::Key_Return);
        });
        ui::ShowMessage(nullptr, QStringLiteral("密码错误！"));
        QCOMPARE(caption, QCoreApplication::applicationName());
        // The caption and the frame's buttons beside it (about three title heights).
        QVERIFY2(boxWidth >= captionWidth + 60, qPrintable(QStringLiteral("%1 px").arg(boxWidth)));
        QVERIFY(chinese);
    }

    void fileDialogColumnsAreChinese() {
        TempDir folder;
        {
            std::ofstream file(folder / "audit.MGP", std::ios::binary);
            file << std::string(407, 'x');
        }
        std::filesystem::create_directory(folder / "sub");
        QStringList headers;
        QString size;
        QString type;
        QString folderType;
        QString accept;
        OnNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog)
                return;
            dialog->setViewMode(QFileDialog::Detail);
            auto* view = dialog->findChild<QTreeView*>();
            QAbstractItemModel* model = view->model();
            // The folder is read in the background.
            for (int i = 0; i < 200 && model->rowCount(view->rootIndex()) < 2; ++i)
                QTest::qWait(10);
            for (int c = 0; c < 4; ++c)
                headers << model->headerData(c, Qt::Horizontal).toString();
            for (int r = 0; r < model->rowCount(view->rootIndex()); ++r) {
                const QModelIndex name = model->index(r, 0, view->rootIndex());
                if (name.data().toString() == QStringLiteral("audit.MGP")) {
                    size = name.siblingAtColumn(1).data().toString();
                    type = name.siblingAtColumn(2).data().toString();
                } else if (name.data().toString() == QStringLiteral("sub")) {
                    folderType = name.siblingAtColumn(2).data().toString();
                }
            }
            accept = dialog->labelText(QFileDialog::Accept);
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        const QString chosen =
            ui::GetFileName(nullptr, ui::FileDialogKind::Open, QString::fromStdString(folder.Path().string()),
                            QStringLiteral("模块组文件(*.MGP)"), QStringLiteral("MGP"));
        QVERIFY(chosen.isEmpty());
        QCOMPARE(headers, (QStringList{"名称", "大小", "类型", "修改日期"}));
        QCOMPARE(size, QStringLiteral("407 字节"));
        QCOMPARE(type, QStringLiteral("MGP 文件"));
        QCOMPARE(folderType, QStringLiteral("文件夹"));
        QCOMPARE(accept, QStringLiteral("打开(&O)"));
    }

    // The host's own locale and texts stay as they are while the tool runs.
    void hostLocaleAndTranslatorsUntouched() {
        TestWorkspace workspace;
        const QLocale hostLocale;
        QWidget hostWindow;
        const QString hostCancel = QCoreApplication::translate("QPlatformTheme", "Cancel");
        ScriptedResponder responder;
        QString cancelDuringCall;
        QLocale loginLocale;
        QLocale defaultDuringCall;
        responder.OnDialog([&](QDialog* dialog) {
            loginLocale = dialog->locale();
            defaultDuringCall = QLocale();
            cancelDuringCall = QCoreApplication::translate("QPlatformTheme", "Cancel");
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        RunDesignSession();
        QCOMPARE(responder.dialogTitles.size(), qsizetype(1));
        QCOMPARE(loginLocale.language(), QLocale::Chinese);
        QCOMPARE(defaultDuringCall, hostLocale);
        QCOMPARE(cancelDuringCall, hostCancel);
        QCOMPARE(hostWindow.locale(), hostLocale);
    }
};

KESTREL_TEST_MAIN(LooksTest)
#include "LooksTest.moc"
