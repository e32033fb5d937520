#include "ui/Seam.h"

#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QGridLayout>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>
#include <QTimer>
#include <QWindow>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::ui {

namespace {
ModalResponder* g_responder = nullptr;

QMessageBox::Icon ToQt(Icon icon) {
    switch (icon) {
    case Icon::Question:
        return QMessageBox::Question;
    case Icon::Warning:
        return QMessageBox::Warning;
    case Icon::Information:
        return QMessageBox::Information;
    case Icon::Critical:
        return QMessageBox::Critical;
    case Icon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QString TitleOr(const QString& caption) {
    return caption.isEmpty() ? QCoreApplication::applicationName() : caption;
}

// A box sizes itself to its text: a short one ("密码错误！") would cut its own caption.
// Room for the caption and the frame's buttons beside it.
void FitCaption(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (!grid)
        return;
    const QFontMetrics metrics(box.font());
    const int width = metrics.horizontalAdvance(box.windowTitle()) + 6 * metrics.height();
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

// Qt's file model speaks the host's language (and only a global translator would change
// that): sizes, types, dates and headers are given here in the tool's own.
class ChineseFileColumns : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        auto* files = qobject_cast<QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || !files || index.column() == 0)
            return QIdentityProxyModel::data(index, role);
        const QFileInfo info = files->fileInfo(mapToSource(index));
        const QLocale locale = ToolLocale();
        switch (index.column()) {
        case 1:
            if (info.isDir())
                return QString();
            return info.size() < 1024 ? QStringLiteral("%1 字节").arg(info.size())
                                      : locale.formattedDataSize(info.size(), 1, QLocale::DataSizeTraditionalFormat);
        case 2:
            if (info.isDir())
                return QStringLiteral("文件夹");
            return info.suffix().isEmpty() ? QStringLiteral("文件") : info.suffix() + QStringLiteral(" 文件");
        case 3:
            return locale.toString(info.lastModified(), QStringLiteral("yyyy-MM-dd HH:mm"));
        default:
            return QIdentityProxyModel::data(index, role);
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        static const char* const kHeaders[] = {"名称", "大小", "类型", "修改日期"};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 4)
            return QString::fromUtf8(kHeaders[section]);
        return QIdentityProxyModel::headerData(section, orientation, role);
    }
};
} // namespace

QLocale ToolLocale() {
    return QLocale(QLocale::Chinese, QLocale::China);
}

void AdoptToolLocale(QWidget* window) {
    if (window)
        window->setLocale(ToolLocale());
}

void SetModalResponder(ModalResponder* responder) {
    g_responder = responder;
}
ModalResponder* CurrentModalResponder() {
    return g_responder;
}

void ShowMessage(QWidget* parent, const QString& text, const QString& caption, Icon icon) {
    if (g_responder) {
        g_responder->Message(parent, text, caption, icon);
        return;
    }
    QMessageBox box(ToQt(icon), TitleOr(caption), text, QMessageBox::Ok, parent);
    AdoptToolLocale(&box);
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    FitCaption(box);
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text, const QString& caption, Icon icon, bool defaultNo) {
    if (g_responder)
        return g_responder->Question(parent, text, caption, icon, defaultNo);
    // GCOVR_EXCL_START the real question blocks for a person; tests answer through the responder
    QMessageBox box(ToQt(icon), TitleOr(caption), text, QMessageBox::Yes | QMessageBox::No, parent);
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box.setDefaultButton(defaultNo ? QMessageBox::No : QMessageBox::Yes);
    AdoptToolLocale(&box);
    FitCaption(box);
    return box.exec() == QMessageBox::Yes;
    // GCOVR_EXCL_STOP
}

QString GetFileName(QWidget* parent, FileDialogKind kind, const QString& initialPath, const QString& filter,
                    const QString& defaultSuffix) {
    if (g_responder)
        return g_responder->FileName(kind, initialPath, filter);
    QFileDialog dialog(parent, kind == FileDialogKind::Save ? QStringLiteral("另存为") : QStringLiteral("打开"),
                       initialPath, filter);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    AdoptToolLocale(&dialog);
    dialog.setProxyModel(new ChineseFileColumns(&dialog));
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("查找范围："));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("文件名："));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("文件类型："));
    dialog.setLabelText(QFileDialog::Accept,
                        kind == FileDialogKind::Save ? QStringLiteral("保存(&S)") : QStringLiteral("打开(&O)"));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    if (kind == FileDialogKind::Save) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Opening a name that does not exist must reach the caller, which reports the OS error.
        dialog.setFileMode(QFileDialog::AnyFile);
    }
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().first();
}

int ExecDialog(QDialog* dialog) {
    AdoptToolLocale(dialog);
    if (g_responder)
        return g_responder->Dialog(dialog);
    return dialog->exec(); // GCOVR_EXCL_LINE the real modal loop blocks for a person
}

void ModalResponder::Busy(QDialog*) {}

namespace {

// A busy window in its first moments, while it is not on screen yet. The other windows would
// take the user's clicks and keys meanwhile, which the window keeps from them once it is up (it
// is modal): a second test started, the sheet closed under its running test. So until it shows
// their input is held off here, and their close boxes do nothing; Esc, which the window would
// have taken, rejects it. What is aimed at the window itself passes (a responder may press its
// buttons before it shows).
class DelayedBusyWindow : public QObject {
public:
    explicit DelayedBusyWindow(QDialog* window) : m_window(window) {
        QCoreApplication::instance()->installEventFilter(this);
        m_delay.setSingleShot(true);
        m_delay.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_delay, &QTimer::timeout, this, [this] {
            QCoreApplication::instance()->removeEventFilter(this);
            m_window->show();
        });
        m_delay.start(kBusyWindowDelay);
    }
    ~DelayedBusyWindow() override { QCoreApplication::instance()->removeEventFilter(this); }
    DelayedBusyWindow(const DelayedBusyWindow&) = delete;
    DelayedBusyWindow& operator=(const DelayedBusyWindow&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TabletPress:
        case QEvent::TabletRelease:
            break;
        case QEvent::ShortcutOverride:
            // Accepted: the key is then no shortcut (a button's mnemonic, say) either.
            event->accept();
            break;
        case QEvent::Close:
            if (!event->spontaneous())
                return false; // the program's own closing
            event->ignore();
            break;
        default:
            return false;
        }
        if (IsOwn(watched))
            return false;
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape)
            m_window->reject();
        return true;
    }

private:
    bool IsOwn(QObject* watched) const {
        if (auto* widget = qobject_cast<QWidget*>(watched))
            return widget == m_window || m_window->isAncestorOf(widget);
        if (auto* window = qobject_cast<QWindow*>(watched))
            return window == m_window->windowHandle();
        return false;
    }

    QDialog* m_window;
    QTimer m_delay;
};

// One run of RunBusyAbandonable, shared by the UI thread and its worker.
struct AbandonableRun {
    std::mutex mutex;
    std::condition_variable ended;
    bool finished = false;
    QEventLoop* loop = nullptr; // the UI's wait; null once the UI stopped waiting
};

// Workers given up on. Their threads are joined once they end; at the process's exit (the
// plug-in is linked to stay loaded, so a host's unload runs no destructor of ours and unmaps
// nothing a worker still needs) this waits a while for the rest (a driver keeps its login
// time-out), then lets them go rather than hang the exit.
class AbandonedWork {
public:
    ~AbandonedWork() { Wait(std::chrono::seconds(5)); }

    void Keep(std::thread worker, std::shared_ptr<AbandonableRun> run) {
        std::lock_guard lock(m_mutex);
        JoinEnded();
        m_runs.push_back({std::move(worker), std::move(run)});
    }

    // Joins every worker that ends within limit; the others are detached (limit reached) or
    // waited for without end (no limit).
    void Wait(std::chrono::seconds limit = std::chrono::seconds::zero()) {
        std::lock_guard lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (Entry& entry : m_runs) {
            std::unique_lock runLock(entry.run->mutex);
            if (limit == std::chrono::seconds::zero())
                entry.run->ended.wait(runLock, [&] { return entry.run->finished; });
            else
                entry.run->ended.wait_until(runLock, deadline, [&] { return entry.run->finished; });
            const bool finished = entry.run->finished;
            runLock.unlock();
            if (finished)
                entry.worker.join();
            else
                entry.worker.detach();
        }
        m_runs.clear();
    }

private:
    struct Entry {
        std::thread worker;
        std::shared_ptr<AbandonableRun> run;
    };

    void JoinEnded() {
        std::erase_if(m_runs, [](Entry& entry) {
            {
                std::lock_guard runLock(entry.run->mutex);
                if (!entry.run->finished)
                    return false;
            }
            entry.worker.join();
            return true;
        });
    }

    std::mutex m_mutex;
    std::vector<Entry> m_runs;
};

AbandonedWork g_abandoned;

} // namespace

bool RunBusyAbandonable(QDialog* window, std::function<void()> work) {
    QEventLoop loop;
    bool abandoned = false;
    const QMetaObject::Connection rejected = QObject::connect(window, &QDialog::rejected, &loop, [&] {
        abandoned = true;
        loop.quit();
    });
    AdoptToolLocale(window);
    const DelayedBusyWindow delayed(window);
    if (g_responder)
        g_responder->Busy(window);
    if (abandoned) {
        QObject::disconnect(rejected);
        window->hide();
        return false;
    }
    auto run = std::make_shared<AbandonableRun>();
    run->loop = &loop;
    std::thread worker([run, work = std::move(work)] {
        work();
        std::lock_guard lock(run->mutex);
        run->finished = true;
        if (run->loop)
            QMetaObject::invokeMethod(run->loop, "quit", Qt::QueuedConnection);
        run->ended.notify_all();
    });
    loop.exec();
    QObject::disconnect(rejected);
    bool finished;
    {
        std::lock_guard lock(run->mutex);
        run->loop = nullptr;
        finished = run->finished;
    }
    window->hide();
    if (finished) {
        worker.join();
        return true;
    }
    g_abandoned.Keep(std::move(worker), std::move(run));
    return false;
}

void WaitForAbandonedWork() {
    g_abandoned.Wait();
}

void RunBusy(QDialog* window, const std::function<void()>& work) {
    QEventLoop loop;
    AdoptToolLocale(window);
    const DelayedBusyWindow delayed(window);
    if (g_responder)
        g_responder->Busy(window);
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    window->hide();
}

} // namespace kestrel::ui
