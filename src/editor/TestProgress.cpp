#include "editor/TestProgress.h"

#include "ui/DialogUnits.h"
#include "ui/Seam.h"

#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {

TestProgress::TestProgress(QWidget* parent, const QString& text, bool cancellable) : QDialog(parent) {
    setObjectName(QStringLiteral("testProgress"));
    setWindowTitle(QStringLiteral("模块测试"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFont(ui::DialogFont());
    setModal(true);
    const ui::DialogUnits du(font());
    setFixedSize(du.Size(200, 62));

    m_text = new QLabel(text, this);
    m_text->setGeometry(du.Rect(10, 8, 180, 12));
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 0); // busy: the run cannot say how far it is
    m_bar->setTextVisible(false);
    m_bar->setGeometry(du.Rect(10, 24, 180, 10));
    m_cancel = new QPushButton(QStringLiteral("取消"), this);
    m_cancel->setObjectName(QStringLiteral("cancel"));
    m_cancel->setGeometry(du.Rect(75, 41, 50, 14));
    m_cancel->setEnabled(cancellable);
    connect(m_cancel, &QPushButton::clicked, this, &TestProgress::reject);
}

void TestProgress::SetText(const QString& text) {
    m_text->setText(text);
}

void TestProgress::reject() {
    if (!m_cancel->isEnabled())
        return;
    m_cancel->setEnabled(false);
    m_text->setText(QStringLiteral("正在取消测试……"));
    emit CancelRequested();
}

void TestProgress::closeEvent(QCloseEvent* event) {
    event->ignore();
    reject();
}

TestOutcome RunWithProgress(QWidget* parent, const QString& text, const std::function<TestOutcome(CancelToken&)>& work,
                            bool cancellable) {
    CancelToken token;
    TestProgress window(parent, text, cancellable);
    QObject::connect(&window, &TestProgress::CancelRequested, &window, [&token] { token.Cancel(); });
    TestOutcome outcome;
    ui::RunBusy(&window, [&] { outcome = work(token); });
    return outcome;
}

bool RunAbandonable(QWidget* parent, const QString& text, std::function<void()> work) {
    TestProgress window(parent, text, true);
    QObject::connect(&window, &TestProgress::CancelRequested, &window, [&window] { window.QDialog::reject(); });
    return ui::RunBusyAbandonable(&window, std::move(work));
}

} // namespace kestrel
