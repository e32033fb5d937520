#pragma once
// The one seam for every modal window: message boxes, Yes/No questions, file dialogs and our
// own dialogs all pass through here, so tests can answer them without a blocking loop.
#include <QString>

#include <chrono>
#include <functional>

class QDialog;
class QLocale;
class QWidget;

namespace kestrel::ui {

enum class Icon { None, Question, Warning, Information, Critical };

// The tool's windows are Chinese to Qt's own texts (numbers, dates, sizes), each window by
// itself: the host application's locale, translators and style are its own, and stay so.
// Every window that passes through this seam gets it.
QLocale ToolLocale();
void AdoptToolLocale(QWidget* window);

// OK-only message box. An empty caption shows the host application's name.
void ShowMessage(QWidget* parent, const QString& text, const QString& caption = QString(), Icon icon = Icon::None);

// Yes/No question; true for Yes. defaultNo makes No the default button.
bool AskYesNo(QWidget* parent, const QString& text, const QString& caption, Icon icon, bool defaultNo = false);

enum class FileDialogKind { Open, Save };
// Returns the chosen path, or an empty string for cancel.
QString GetFileName(QWidget* parent, FileDialogKind kind, const QString& initialPath, const QString& filter,
                    const QString& defaultSuffix);

// Runs one of our dialogs modally; returns QDialog::Accepted or QDialog::Rejected.
int ExecDialog(QDialog* dialog);

// How long work runs before its busy window shows: work that ends sooner never flashes one up.
inline constexpr std::chrono::milliseconds kBusyWindowDelay{400};

// Runs work on a worker thread behind window (a modal busy window, not shown yet), which shows
// once work has run kBusyWindowDelay; returns when work has returned. The window's own buttons
// are how the user asks work to stop. Until it shows, the other windows take no input, as
// they would take none with it up, and Esc rejects it as it would if it were up.
void RunBusy(QDialog* window, const std::function<void()>& work);

// As RunBusy, but the wait can be given up: when window is rejected (its cancel, Esc, the
// close box, shown or not yet) the call returns false at once, and work runs on to its end on
// its own thread, unobserved; it must own everything it touches. True when work ran to its
// end. A window rejected before work starts (by a test's responder) leaves work unstarted.
bool RunBusyAbandonable(QDialog* window, std::function<void()> work);
// Waits until every work given up on has ended. The process's exit waits too, boundedly.
void WaitForAbandonedWork();

// What tests install to answer the modals. Every call is also the test's record of what the
// program asked.
class ModalResponder {
public:
    virtual ~ModalResponder() = default;
    virtual void Message(QWidget* parent, const QString& text, const QString& caption, Icon icon) = 0;
    virtual bool Question(QWidget* parent, const QString& text, const QString& caption, Icon icon, bool defaultNo) = 0;
    virtual QString FileName(FileDialogKind kind, const QString& initialPath, const QString& filter) = 0;
    // Drives the dialog (it may show it and send keys and clicks) and returns its result.
    virtual int Dialog(QDialog* dialog) = 0;
    // A busy window is set up (it shows once its work has run a while) and its work has not
    // started yet: what the responder does to the window (pressing its cancel button, say)
    // happens before the work starts, every time.
    virtual void Busy(QDialog* window);
};

// Installs responder (nullptr: real modal windows again). The caller keeps ownership.
void SetModalResponder(ModalResponder* responder);
ModalResponder* CurrentModalResponder();

} // namespace kestrel::ui
