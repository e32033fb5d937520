// unload_host LIBRARY MAKE_DEMO: a host that loads the plug-in, enters it, starts an SQL test
// against a server that never answers, gives up on the connection, leaves the tool and unloads
// the plug-in at once, while the abandoned attempt is still blocked in the driver. Then the
// server hangs up, so the attempt returns into the plug-in's code: the process must live on
// until that thread has ended, and exit 0.
//
// The windows are driven as a user would, from a timer of the host's own: the login, the open
// dialog, the catalogue's lists, the sheet's test button, the data source dialog, the busy
// window's cancel and the message boxes.
#include "support/SilentServer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <dlfcn.h>

using kestrel::testsupport::SilentServer;

namespace {

int ThreadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(tasks);
    }
    return count;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "unload_host: %s\n", what);
    std::fflush(stderr);
    std::_Exit(1);
}

void Click(QWidget* window, const QString& text) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text() == text && button->isVisible()) {
            button->click();
            return;
        }
    }
    Fail(qPrintable(QStringLiteral("no button %1").arg(text)));
}

bool Shows(QWidget* window, const QString& text) {
    for (const QLabel* label : window->findChildren<QLabel*>())
        if (label->text() == text)
            return true;
    return false;
}

// The user's way through the tool, one look at the windows per tick.
class Driver {
public:
    Driver(QString catalogue, QString connection, SilentServer& server)
        : m_catalogue(std::move(catalogue)), m_connection(std::move(connection)), m_server(server) {}

    // From the timer. A step may open a modal window and run its loop until the window closes;
    // a timer does not fire again while its own call is under way, so each step is posted and
    // runs outside the timer's call.
    void Tick() {
        if (m_posted)
            return;
        m_posted = true;
        QMetaObject::invokeMethod(
            qApp,
            [this] {
                m_posted = false;
                Act();
            },
            Qt::QueuedConnection);
    }

    void Act() {
        if (++m_ticks > 4000)
            Fail(qPrintable(QStringLiteral("stuck at step %1").arg(m_step)));
        // The busy window of the connection is not on screen for its first moments: it is found
        // among the top-level windows, and given up on once the driver is inside its attempt.
        if (m_step == kConnecting) {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QDialog*>(window);
                if (dialog && Shows(dialog, QStringLiteral("正在连接数据源……")) && m_server.Connections() > 0) {
                    m_step = kCancelled;
                    dialog->reject();
                    return;
                }
            }
        }
        QWidget* window = QApplication::activeModalWidget();
        if (!window)
            return;
        const QByteArray kind = window->metaObject()->className();
        if (qEnvironmentVariableIsSet("UNLOAD_HOST_TRACE"))
            std::fprintf(stderr, "tick %d step %d %s\n", m_ticks, int(m_step), kind.constData());
        if (auto* box = qobject_cast<QMessageBox*>(window)) {
            // "测试未通过！" after the cancel, then "放弃所作修改？": Yes.
            if (m_step == kCancelled)
                m_step = kReported;
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            (yes ? yes : box->button(QMessageBox::Ok))->click();
            return;
        }
        if (auto* files = qobject_cast<QFileDialog*>(window)) {
            files->selectFile(m_catalogue);
            static_cast<QDialog*>(files)->accept();
            return;
        }
        if (kind == "kestrel::Login") {
            const QList<QLineEdit*> edits = window->findChildren<QLineEdit*>();
            if (edits.size() < 2)
                Fail("the login has no name and password");
            edits[0]->setText(QStringLiteral("SA"));
            edits[1]->setText(QStringLiteral("tide oak plum"));
            Click(window, QStringLiteral("&O.确定"));
        } else if (kind == "kestrel::ModuleEditDlg") {
            MainWindow(window);
        } else if (kind == "kestrel::ModuleSheet") {
            if (m_step == kSheet) {
                m_step = kConnecting;
                Click(window, QStringLiteral("&T.测试"));
            } else if (m_step == kReported || m_step == kLeaving) {
                // Only once the test has ended with its message: until then the sheet is busy.
                m_step = kLeaving;
                QTest::keyClick(window, Qt::Key_Escape);
            }
        } else if (kind == "kestrel::DataSourceDlg") {
            for (QLineEdit* edit : window->findChildren<QLineEdit*>())
                edit->setText(m_connection);
            Click(window, QStringLiteral("确定"));
        }
    }

    bool ReachedTheEnd() const { return m_step == kLeaving; }

private:
    enum Step { kStart, kCatalogue, kSheet, kConnecting, kCancelled, kReported, kLeaving };

    void MainWindow(QWidget* window) {
        const QList<QListWidget*> lists = window->findChildren<QListWidget*>();
        if (lists.size() < 2)
            Fail("the main window has no lists");
        QListWidget* groups = lists[0];
        QListWidget* modules = lists[1];
        if (m_step == kStart) {
            m_step = kCatalogue;
            QTest::keyClick(window, Qt::Key_F3);
        } else if (m_step == kCatalogue && groups->count() > 0) {
            for (int row = 0; row < groups->count(); ++row)
                if (groups->item(row)->text().startsWith(QStringLiteral("XS")))
                    groups->setCurrentRow(row);
            for (int row = 0; row < modules->count(); ++row) {
                if (modules->item(row)->text().startsWith(QStringLiteral("xs001.kst"))) {
                    modules->setCurrentRow(row);
                    m_step = kSheet;
                    modules->setFocus();
                    QTest::keyClick(modules, Qt::Key_Return);
                    return;
                }
            }
        } else if (m_step == kLeaving) {
            // Back to the start view, then out.
            QTest::keyClick(window, Qt::Key_Escape);
        }
    }

    QString m_catalogue;
    QString m_connection;
    SilentServer& m_server;
    Step m_step = kStart;
    int m_ticks = 0;
    bool m_posted = false;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: unload_host LIBRARY MAKE_DEMO\n");
        return 64;
    }
    QTemporaryDir home;
    if (!home.isValid())
        Fail("no temporary folder");
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString demo = home.path() + QStringLiteral("/demo");
    if (QProcess::execute(QString::fromLocal8Bit(argv[2]), {demo}) != 0)
        Fail("no demo workspace");

    SilentServer server;
    if (server.Port() <= 0)
        Fail("no loopback server");
    const QString connection =
        QStringLiteral("Driver=PostgreSQL Unicode;Server=127.0.0.1;Port=%1;Database=audit;Uid=audit;Pwd=x")
            .arg(server.Port());

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    Driver driver(demo + QStringLiteral("/demo.MGP"), connection, server);
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&driver] { driver.Tick(); });
    timer.start(15);

    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        Fail(dlerror());
    auto entry = reinterpret_cast<void (*)()>(dlsym(handle, "ModuleDesign"));
    if (!entry)
        Fail(dlerror());
    entry();
    timer.stop();
    if (!driver.ReachedTheEnd())
        Fail("the tool closed before the connection was given up");
    if (server.Connections() == 0)
        Fail("the driver never connected");
    const int withAttempt = ThreadCount();
    dlclose(handle);
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly) ||
        !maps.readAll().contains(QFileInfo(QString::fromLocal8Bit(argv[1])).fileName().toLocal8Bit()))
        Fail("the plug-in was unmapped under the thread of the abandoned attempt");

    // The driver returns into the code of the plug-in, which must still be there.
    server.Close();
    for (int waited = 0; ThreadCount() >= withAttempt; ++waited) {
        if (waited > 3000)
            Fail("the abandoned attempt did not end");
        QTest::qWait(20);
    }
    std::printf("unload_host: unloaded with the attempt under way; it ended without harm\n");
    return 0;
}
