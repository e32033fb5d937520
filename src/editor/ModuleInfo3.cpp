#include "editor/ModuleInfo3.h"

#include "editor/FindDlg.h"
#include "editor/SqlHighlighter.h"
#include "ui/DialogUnits.h"
#include "ui/GbkText.h"
#include "ui/Seam.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QTextBlock>

namespace kestrel {

ModuleInfo3::ModuleInfo3(QWidget* parent) : QWidget(parent) {
    setFont(ui::DialogFont());
    const ui::DialogUnits du(font());
    resize(du.Size(366, 200));

    m_editor = new ui::GbkPlainTextEdit(this);
    m_editor->setObjectName(QStringLiteral("sqlEditor"));
    m_editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editor->setFont(ui::FixedFont());
    m_editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_editor->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_editor->setGeometry(du.Rect(0, 0, 366, 183));
    m_editor->setContextMenuPolicy(Qt::CustomContextMenu);
    m_editor->setAccessibleName(QStringLiteral("SQL")); // named as its tab, having no label
    m_highlighter = new SqlHighlighter(m_editor);

    m_clipboard = new QCheckBox(QStringLiteral("每次测试 SQL 自动进入剪切板"), this);
    m_clipboard->setObjectName(QStringLiteral("clipboardOption"));
    m_clipboard->setGeometry(du.Rect(10, 186, 215, 12));

    m_indicator = new QLabel(QStringLiteral("  1,1"), this);
    m_indicator->setObjectName(QStringLiteral("indicator"));
    m_indicator->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    m_indicator->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_indicator->setGeometry(du.Rect(297, 186, 67, 12));

    for (QObject* watched :
         {static_cast<QObject*>(m_editor), static_cast<QObject*>(m_editor->viewport()),
          static_cast<QObject*>(m_clipboard), static_cast<QObject*>(m_indicator), static_cast<QObject*>(this)})
        watched->installEventFilter(this);

    connect(m_editor, &QPlainTextEdit::textChanged, this, [this] {
        if (isVisible())
            emit ControlChanged(kIdSqlEditor, ChangeKind::TextChanged);
    });
    connect(m_editor->document(), &QTextDocument::contentsChange, this, [this] { m_plainTextValid = false; });
    connect(m_editor, &QWidget::customContextMenuRequested, this, &ModuleInfo3::ShowContextMenu);
}

void ModuleInfo3::LoadFields() {
    m_editor->SetGbkText(m_sqlText);
    m_highlighter->HighlightShown();
}

void ModuleInfo3::ReadFields() {
    m_sqlText = m_editor->GbkText();
}

bool ModuleInfo3::ClipboardOptionTicked() const {
    return m_clipboard->isChecked();
}

void ModuleInfo3::SetKnownNames(const QSet<QString>& names) {
    // Formats only: no change of the text is reported.
    m_highlighter->SetKnownNames(names);
}

QString ModuleInfo3::IndicatorText() const {
    return m_indicator->text();
}

void ModuleInfo3::UpdateIndicator() {
    const QTextCursor cursor = m_editor->textCursor();
    const QTextBlock block = m_editor->document()->findBlock(cursor.selectionStart());
    const long line = block.blockNumber() + 1;
    // Bytes of GBK text from the start of the line to the selection's start. A selection
    // over several lines reports where it starts, which is what the user can find again.
    const QString head = block.text().left(cursor.selectionStart() - block.position());
    const int bytes = ui::GbkLength(head);
    const long column = (bytes < 0 ? head.size() : bytes) + 1;
    m_indicator->setText(QString::asprintf(" %ld,%ld", line, column));
}

bool ModuleInfo3::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
        // Before the event takes effect: a key press shows where the caret was.
        if (m_editor->hasFocus())
            UpdateIndicator();
        break;
    default:
        break;
    }
    if (event->type() == QEvent::KeyPress && watched != this) {
        if (HandlePageKey(static_cast<QKeyEvent*>(event)))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool ModuleInfo3::HandlePageKey(QKeyEvent* event) {
    if (event->key() == Qt::Key_F && (event->modifiers() & Qt::ControlModifier)) {
        OpenSearch();
        return true;
    }
    // Tab types into the SQL; Ctrl+Tab and Ctrl+Shift+Tab move on, as they leave the grid.
    if ((event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) &&
        (event->modifiers() & Qt::ControlModifier) && m_editor->hasFocus()) {
        focusNextPrevChild(event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier));
        return true;
    }
    if (event->key() == Qt::Key_F3 && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        FindNext(m_editor->textCursor().selectionEnd());
        return false; // then handled as usual
    }
    return false;
}

void ModuleInfo3::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
        event->accept();
        emit CancelRequested();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept(); // outside the SQL box Enter does nothing
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void ModuleInfo3::OpenSearch() {
    FindDlg dialog(this);
    QString selected = m_editor->textCursor().selectedText();
    selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    if (!selected.isEmpty())
        dialog.SetText(ui::ToGbkChecked(selected));
    if (ui::ExecDialog(&dialog) != QDialog::Accepted)
        return;
    m_findText = ui::FromGbk(dialog.Text());
    FindNext(0);
}

void ModuleInfo3::FindNext(int startPosition) {
    // Repeated F3 over a big text searches it where it is rather than copying it each time.
    if (!m_plainTextValid) {
        m_plainText = m_editor->toPlainText();
        m_plainTextValid = true;
    }
    const int found = static_cast<int>(m_plainText.indexOf(m_findText, startPosition, Qt::CaseSensitive));
    if (found < 0) {
        ui::ShowMessage(this, QStringLiteral("未找到"));
        return;
    }
    QTextCursor cursor = m_editor->textCursor();
    cursor.setPosition(found);
    cursor.setPosition(found + static_cast<int>(m_findText.size()), QTextCursor::KeepAnchor);
    m_editor->setTextCursor(cursor);
    m_editor->ensureCursorVisible();
}

void ModuleInfo3::ShowContextMenu(const QPoint& pos) {
    QMenu* menu = m_editor->createStandardContextMenu(pos);
    menu->addSeparator();
    QAction* preview = menu->addAction(QStringLiteral("预览替换后的 SQL"));
    connect(preview, &QAction::triggered, this, &ModuleInfo3::PreviewRequested);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(m_editor->viewport()->mapToGlobal(pos));
}

} // namespace kestrel
