// The multi-line GBK edit box (flow texts, SQL): a character GBK has no code for never gets in,
// typed, committed by an input method or pasted, while every GBK character does.
#include "support/QtMain.h"

#include "ui/GbkEdit.h"

#include <QClipboard>
#include <QInputMethodEvent>
#include <QMimeData>
#include <QtTest>

using namespace kestrel;

class GbkEditTest : public QObject {
    Q_OBJECT

private slots:
    void typedCharactersOutsideGbkAreRefused() {
        ui::GbkPlainTextEdit edit;
        edit.show();
        QTest::keyClicks(&edit, QStringLiteral("ab"));
        QTest::keyClick(&edit, Qt::Key_Return);
        // An emoji and a character of a script GBK lacks: the key is swallowed, nothing typed.
        QTest::sendKeyEvent(QTest::KeyAction::Click, &edit, Qt::Key_unknown, QStringLiteral("😀"), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::KeyAction::Click, &edit, Qt::Key_unknown, QStringLiteral("ᚠ"), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::KeyAction::Click, &edit, Qt::Key_unknown, QStringLiteral("销"), Qt::NoModifier);
        QCOMPARE(edit.toPlainText(), QStringLiteral("ab\n销"));
        // Keys without text (Backspace) still edit.
        QTest::keyClick(&edit, Qt::Key_Backspace);
        QCOMPARE(edit.GbkText(), std::string("ab\r\n"));
    }

    void inputMethodCommitsOutsideGbkAreRefused() {
        ui::GbkPlainTextEdit edit;
        edit.show();
        QInputMethodEvent refused(QString(), {});
        refused.setCommitString(QStringLiteral("采购😀"));
        QCoreApplication::sendEvent(&edit, &refused);
        QCOMPARE(edit.toPlainText(), QString());
        QInputMethodEvent accepted(QString(), {});
        accepted.setCommitString(QStringLiteral("采购"));
        QCoreApplication::sendEvent(&edit, &accepted);
        QCOMPARE(edit.toPlainText(), QStringLiteral("采购"));
    }

    void pastesOutsideGbkAreRefusedWhole() {
        ui::GbkPlainTextEdit edit;
        edit.show();
        edit.setPlainText(QStringLiteral("x"));
        edit.moveCursor(QTextCursor::End);
        QGuiApplication::clipboard()->setText(QStringLiteral("库存😀盘点"));
        QVERIFY(!edit.canPaste());
        edit.paste();
        QCOMPARE(edit.toPlainText(), QStringLiteral("x"));
        QGuiApplication::clipboard()->setText(QStringLiteral("库存\n盘点"));
        QVERIFY(edit.canPaste());
        edit.paste();
        QCOMPARE(edit.toPlainText(), QStringLiteral("x库存\n盘点"));
        QCOMPARE(edit.GbkText().size(), std::string("x").size() + 8 + 2); // line ends stored as CR LF
    }
};

KESTREL_TEST_MAIN(GbkEditTest)
#include "GbkEditTest.moc"
