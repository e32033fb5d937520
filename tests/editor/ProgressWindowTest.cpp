// The progress window of a test run: up only for work that takes a while, and cancelling the
// work from the first moment, shown or not.
#include "support/QtMain.h"

#include "editor/TestProgress.h"
#include "ui/Seam.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

using namespace kestrel;
using namespace std::chrono_literals;

namespace {

const QString kText = QStringLiteral("正在运行模块函数……");

// Counts the progress windows that show, and runs onShown on each once it is up.
class ShowWatch : public QObject {
public:
    ShowWatch() {
        QCoreApplication::instance()->installEventFilter(this);
        m_clock.start();
    }
    ~ShowWatch() override { QCoreApplication::instance()->removeEventFilter(this); }

    int shows = 0;
    qint64 firstShownAfter = -1; // milliseconds since the watch began
    std::function<void(TestProgress*)> onShown;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = qobject_cast<TestProgress*>(watched);
        if (event->type() != QEvent::Show || !window)
            return false;
        if (shows++ == 0)
            firstShownAfter = m_clock.elapsed();
        if (onShown)
            QTimer::singleShot(0, window, [this, window] { onShown(window); });
        return false;
    }

private:
    QElapsedTimer m_clock;
};

// Work that runs until it is cancelled (or, were the cancel lost, gives up after a while).
TestOutcome UntilCancelled(CancelToken& token) {
    TestOutcome outcome;
    for (int i = 0; i < 2000 && !token.IsCancelled(); ++i)
        std::this_thread::sleep_for(5ms);
    outcome.cancelled = token.IsCancelled();
    return outcome;
}

} // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

private slots:
    void quickWorkNeverShowsItsWindow() {
        QWidget sheet;
        sheet.show();
        ShowWatch watch;
        const TestOutcome outcome = RunWithProgress(
            &sheet, kText,
            [](CancelToken&) {
                TestOutcome done;
                done.code = 7;
                return done;
            },
            true);
        QCOMPARE(outcome.code, 7);
        bool ran = false;
        QVERIFY(RunAbandonable(&sheet, kText, [&ran] { ran = true; }));
        QVERIFY(ran);
        // Nor later: nothing of a finished run is left to show it.
        QTest::qWait(static_cast<int>(ui::kBusyWindowDelay.count()) + 100);
        QCOMPARE(watch.shows, 0);
    }

    // Shown once the work has run the delay, the window cancels it by each of its three ways.
    void slowWorkShowsItsWindowAfterTheDelay_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("cancel button") << 0;
        QTest::newRow("Esc") << 1;
        QTest::newRow("close box") << 2;
    }
    void slowWorkShowsItsWindowAfterTheDelay() {
        QFETCH(int, way);
        QWidget sheet;
        sheet.show();
        ShowWatch watch;
        bool visibleWhenShown = false;
        watch.onShown = [&](TestProgress* window) {
            visibleWhenShown = window->isVisible();
            if (way == 0)
                QTest::mouseClick(window->CancelButton(), Qt::LeftButton);
            else if (way == 1)
                QTest::keyClick(window, Qt::Key_Escape);
            else
                window->close();
        };
        const TestOutcome outcome = RunWithProgress(&sheet, kText, UntilCancelled, true);
        QVERIFY(outcome.cancelled);
        QCOMPARE(watch.shows, 1);
        QVERIFY(visibleWhenShown);
        QVERIFY2(watch.firstShownAfter >= ui::kBusyWindowDelay.count(),
                 qPrintable(QStringLiteral("shown after %1 ms").arg(watch.firstShownAfter)));
    }

    // Esc before the window shows cancels the work, which then ends without it ever showing.
    void escBeforeTheWindowShowsCancels() {
        QDialog sheet;
        sheet.show();
        ShowWatch watch;
        const TestOutcome outcome = RunWithProgress(
            &sheet, kText,
            [&sheet](CancelToken& token) {
                QMetaObject::invokeMethod(&sheet, [&sheet] { QTest::keyClick(&sheet, Qt::Key_Escape); });
                return UntilCancelled(token);
            },
            true);
        QVERIFY(outcome.cancelled);
        QCOMPARE(watch.shows, 0);
        QVERIFY(sheet.isVisible()); // the Esc was the run's, not the sheet's
    }

    // Given up on before its window shows, an abandonable wait returns at once; the work ends
    // on its own thread.
    void abandonedBeforeTheWindowShows() {
        QWidget sheet;
        sheet.show();
        ShowWatch watch;
        auto release = std::make_shared<std::atomic<bool>>(false);
        auto ended = std::make_shared<std::atomic<bool>>(false);
        const bool finished = RunAbandonable(&sheet, kText, [&sheet, release, ended] {
            QMetaObject::invokeMethod(&sheet, [&sheet] { QTest::keyClick(&sheet, Qt::Key_Escape); });
            while (!release->load())
                std::this_thread::sleep_for(5ms);
            ended->store(true);
        });
        QVERIFY(!finished);
        QVERIFY(!ended->load());
        QCOMPARE(watch.shows, 0);
        release->store(true);
        ui::WaitForAbandonedWork();
        QVERIFY(ended->load());
    }
};

KESTREL_TEST_MAIN(ProgressWindowTest)
#include "ProgressWindowTest.moc"
