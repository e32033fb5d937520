#pragma once
// The modal window of a module test that runs a while: the work runs on a worker thread, the UI
// keeps painting, and "取消" asks the work to stop. It shows only once the work has run
// ui::kBusyWindowDelay; its cancel works from the start.
#include "testing/CancelToken.h"
#include "testing/TestOutcome.h"

#include <QDialog>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kestrel {

class TestProgress : public QDialog {
    Q_OBJECT
public:
    // cancellable: whether "取消" can stop the work.
    TestProgress(QWidget* parent, const QString& text, bool cancellable);
    void SetText(const QString& text);
    QPushButton* CancelButton() const { return m_cancel; }

signals:
    void CancelRequested();

public slots:
    // Esc and the close box ask to cancel; the window only closes when the work has ended.
    void reject() override;

protected:
    // Closing asks to cancel even before the window shows, when a dialog would only close.
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* m_text;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
};

// Runs work on a worker thread behind the progress window (through ui::RunBusy) and returns its
// outcome. The token is made before the worker starts; "取消" (when cancellable) cancels it, so
// a cancel pressed before work reaches its long step still stops it.
TestOutcome RunWithProgress(QWidget* parent, const QString& text, const std::function<TestOutcome(CancelToken&)>& work,
                            bool cancellable);

// Runs work behind the progress window, with "取消", Esc and the close box abandoning the
// wait: the call then returns false at once and work ends on its own thread (so it must own
// what it touches). For a step that cannot be stopped, only left, such as a connection attempt.
bool RunAbandonable(QWidget* parent, const QString& text, std::function<void()> work);

} // namespace kestrel
