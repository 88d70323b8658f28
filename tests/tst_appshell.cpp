// The application shell's boxes, the guard around Qt entry points, the dialog close guard, the program
// font and the memo line breaks. The boxes are the real ones, answered from the event loop.
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "MemoText.h"
#include "MessageBoxTestHelpers.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <functional>
#include <stdexcept>

namespace {

struct BoxFacts {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::WindowModality modality = Qt::NonModal;
    QStringList buttons;
    QRect frame;
    bool focusOnButton = false;
};

BoxFacts Record(QMessageBox& box) {
    BoxFacts facts;
    facts.caption = box.windowTitle();
    facts.text = box.text();
    facts.icon = box.icon();
    facts.modality = box.windowModality();
    for (QAbstractButton* button : box.buttons())
        facts.buttons << button->text();
    facts.frame = box.frameGeometry();
    facts.focusOnButton = qobject_cast<QPushButton*>(box.focusWidget()) != nullptr;
    return facts;
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT

private slots:
    void titleFromExecutableName_data();
    void titleFromExecutableName();
    void errorBoxText_data();
    void errorBoxText();
    void showMessageIsDismissedByEachKey_data();
    void showMessageIsDismissedByEachKey();
    void showMessageWrapsLongTextWithinHalfTheScreen();
    void confirmationLeavesWindowsUsableAndOnlyYesGoesOn_data();
    void confirmationLeavesWindowsUsableAndOnlyYesGoesOn();
    void guardShowsEveryKindOfErrorAndStopsTheHandler_data();
    void guardShowsEveryKindOfErrorAndStopsTheHandler();
    void guardShowsNoBoxWhenNothingFails();
    void failingCloseHandlerKeepsDialogOpenWithResultReset();
    void programFontIsSongAtTwelvePixels();
    void memoTextRoundTrip_data();
    void memoTextRoundTrip();
    void editedMemoTextUsesCrLf();
};

void TestAppShell::titleFromExecutableName_data() {
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("title");
    QTest::newRow("program") << "TamrixData"
                             << "Tamrixdata";
    QTest::newRow("with extension") << "TamrixData.exe"
                                    << "Tamrixdata";
    QTest::newRow("two dots") << "a.b.exe"
                              << "a";
    QTest::newRow("with directory") << "/opt/Some.Dir/TamrixData"
                                    << "Tamrixdata";
    QTest::newRow("starts lower case") << "tAMRIX"
                                       << "tamrix";
    QTest::newRow("one letter") << "X"
                                << "X";
}

void TestAppShell::titleFromExecutableName() {
    QFETCH(QString, fileName);
    QFETCH(QString, title);
    QCOMPARE(ApplicationTitleFromFileName(fileName), title);
}

void TestAppShell::errorBoxText_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("letter") << "Field 'X' not found"
                            << "Field 'X' not found.";
    QTest::newRow("question mark") << "Why?"
                                   << "Why?.";
    QTest::newRow("digit") << "code 19"
                           << "code 19.";
    QTest::newRow("chinese") << QStringLiteral("数据库打开失败") << QStringLiteral("数据库打开失败.");
    QTest::newRow("slash sorts after the period") << "a/"
                                                  << "a/.";
    QTest::newRow("period") << "Done."
                            << "Done.";
    QTest::newRow("parenthesis") << "(closed)"
                                 << "(closed)";
    QTest::newRow("exclamation") << "Stop!"
                                 << "Stop!";
    QTest::newRow("blank") << "trailing "
                           << "trailing ";
}

void TestAppShell::errorBoxText() {
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(ErrorBoxText(message), shown);
}

void TestAppShell::showMessageIsDismissedByEachKey_data() {
    QTest::addColumn<int>("key");
    QTest::newRow("Enter") << int(Qt::Key_Enter);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Esc") << int(Qt::Key_Escape);
    QTest::newRow("Space") << int(Qt::Key_Space);
}

void TestAppShell::showMessageIsDismissedByEachKey() {
    QFETCH(int, key);
    BoxFacts facts;
    bool dismissed = false;
    MessageBoxWatcher answerer([&](QMessageBox& box) {
        facts = Record(box);
        // Space goes to the focused control, as a real key press would.
        QWidget* target = key == Qt::Key_Space ? box.focusWidget() : &box;
        QVERIFY(target);
        QTest::keyClick(target, Qt::Key(key));
        dismissed = !box.isVisible();
        if (!dismissed)
            box.done(0); // keeps the test from hanging; the check below fails it
    });
    ShowMessage(QStringLiteral("记录已保存 <b>not bold</b>"));
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY(dismissed);
    QCOMPARE(facts.caption, ApplicationTitle());
    QCOMPARE(facts.text, QStringLiteral("记录已保存 <b>not bold</b>"));
    QCOMPARE(facts.icon, QMessageBox::NoIcon);
    QCOMPARE(facts.modality, Qt::ApplicationModal);
    QCOMPARE(facts.buttons, QStringList{QStringLiteral("OK")});
    QVERIFY(facts.focusOnButton);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QVERIFY2(qAbs(facts.frame.center().x() - screen.center().x()) <= 2 &&
                 qAbs(facts.frame.center().y() - screen.center().y()) <= 2,
             "the box is centred on the screen");
}

void TestAppShell::showMessageWrapsLongTextWithinHalfTheScreen() {
    int textWidth = -1;
    bool dismissed = false;
    MessageBoxWatcher answerer([&](QMessageBox& box) {
        if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
            textWidth = label->width();
        PressReturn(box);
        dismissed = !box.isVisible();
    });
    ShowMessage(QString(QStringLiteral("一段很长的说明文字 words and more words ")).repeated(40));
    QVERIFY(dismissed);
    QVERIFY(textWidth > 0);
    QVERIFY2(textWidth <= QGuiApplication::primaryScreen()->geometry().width() / 2,
             qPrintable(QStringLiteral("text width %1").arg(textWidth)));
}

void TestAppShell::confirmationLeavesWindowsUsableAndOnlyYesGoesOn_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("goesOn");
    QTest::newRow("Yes") << int(QMessageBox::Yes) << true;
    QTest::newRow("No") << int(QMessageBox::No) << false;
    QTest::newRow("Esc") << int(QMessageBox::Cancel) << false;
}

void TestAppShell::confirmationLeavesWindowsUsableAndOnlyYesGoesOn() {
    QFETCH(int, answer);
    QFETCH(bool, goesOn);
    QWidget window;
    window.show();
    BoxFacts facts;
    bool windowEnabled = false;
    bool modalWidgetSeen = true;
    MessageBoxWatcher answerer([&](QMessageBox& box) {
        facts = Record(box);
        windowEnabled = window.isEnabled() && !QApplication::activeModalWidget();
        modalWidgetSeen = QApplication::activeModalWidget() != nullptr;
        if (answer == QMessageBox::Cancel)
            QTest::keyClick(&box, Qt::Key_Escape);
        else
            QTest::mouseClick(box.button(QMessageBox::StandardButton(answer)), Qt::LeftButton);
    });
    QCOMPARE(ConfirmYesNo(QStringLiteral("真的要删除吗?"), QStringLiteral("删除")), goesOn);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(facts.caption, QStringLiteral("删除"));
    QCOMPARE(facts.text, QStringLiteral("真的要删除吗?"));
    QCOMPARE(facts.icon, QMessageBox::NoIcon);
    QCOMPARE(facts.buttons.size(), 2);
    QCOMPARE(facts.modality, Qt::NonModal);
    QVERIFY(windowEnabled);
    QVERIFY(!modalWidgetSeen);
}

void TestAppShell::guardShowsEveryKindOfErrorAndStopsTheHandler_data() {
    QTest::addColumn<std::function<void()>>("raise");
    QTest::addColumn<QString>("shown");
    QTest::newRow("record set error") << std::function<void()>([] {
        throw EDatabaseError("ADOQuery1: Cannot perform this operation on a closed dataset");
    }) << "ADOQuery1: Cannot perform this operation on a closed dataset.";
    QTest::newRow("engine error") << std::function<void()>([] {
        throw EOleException("Row cannot be located for updating. Some values may have been changed since it was "
                            "last read",
                            0);
    }) << "Row cannot be located for updating. Some values may have been changed since it was last read.";
    QTest::newRow("engine text with markup characters")
        << std::function<void()>([] { throw EOleException("near \"<\": syntax error", 1); })
        << "near \"<\": syntax error.";
    QTest::newRow("standard exception") << std::function<void()>([] { throw std::runtime_error("中文消息"); })
                                        << QStringLiteral("中文消息.");
    QTest::newRow("anything else") << std::function<void()>([] { throw 42; }) << "Unknown exception.";
}

void TestAppShell::guardShowsEveryKindOfErrorAndStopsTheHandler() {
    QFETCH(std::function<void()>, raise);
    QFETCH(QString, shown);
    BoxFacts facts;
    MessageBoxWatcher answerer([&](QMessageBox& box) {
        facts = Record(box);
        PressReturn(box);
    });
    bool after = false;
    const bool ran = Guarded([&] {
        raise();
        after = true;
    });
    QVERIFY(!ran);
    QVERIFY(!after);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(facts.caption, ApplicationTitle());
    QCOMPARE(facts.text, shown);
    QCOMPARE(facts.icon, QMessageBox::Critical);
    QCOMPARE(facts.modality, Qt::ApplicationModal);
    QCOMPARE(facts.buttons.size(), 1);
}

void TestAppShell::guardShowsNoBoxWhenNothingFails() {
    MessageBoxWatcher answerer;
    int runs = 0;
    QVERIFY(Guarded([&] { ++runs; }));
    QCoreApplication::processEvents();
    QCOMPARE(runs, 1);
    QCOMPARE(answerer.boxes.size(), 0);
}

namespace {

class DialogWithCloseHandler : public QDialog {
public:
    int failuresLeft = 1;
    int handlerRuns = 0;

    void done(int result) override {
        if (GuardedDialogClose(*this, [this] { FormClose(); }))
            QDialog::done(result);
    }

private:
    void FormClose() {
        ++handlerRuns;
        if (failuresLeft > 0) {
            --failuresLeft;
            throw EDatabaseError("ADOQueryTemp: Dataset not in edit or insert mode");
        }
    }
};

} // namespace

void TestAppShell::failingCloseHandlerKeepsDialogOpenWithResultReset() {
    DialogWithCloseHandler dialog;
    bool openAfterError = false;
    int resultAfterError = -1;
    MessageBoxWatcher answerer;
    QTimer::singleShot(0, &dialog, [&] {
        dialog.accept(); // the handler fails: the error box was answered inside this call
        openAfterError = dialog.isVisible();
        resultAfterError = dialog.result();
        dialog.accept();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(answerer.boxes.size(), 1);
    QVERIFY(openAfterError);
    QCOMPARE(resultAfterError, 0);
    QCOMPARE(dialog.handlerRuns, 2);

    // Esc takes the same way out, so the handler runs for it too.
    QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QCOMPARE(dialog.handlerRuns, 3);
}

void TestAppShell::programFontIsSongAtTwelvePixels() {
    InstallProgramFont();
    QWidget widget;
    QCOMPARE(widget.font().family(), QStringLiteral("宋体"));
    QCOMPARE(widget.font().pixelSize(), 12);
    const QString resolved = QFontInfo(widget.font()).family();
    if (QFontDatabase::families().contains(QStringLiteral("AR PL UMing CN")))
        QCOMPARE(resolved, QStringLiteral("AR PL UMing CN"));
    else
        QVERIFY(!resolved.isEmpty());
}

void TestAppShell::memoTextRoundTrip_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("CR LF") << "first\r\nsecond"
                           << "first\nsecond";
    QTest::newRow("empty lines at both ends") << "\r\n\r\nmiddle\r\n"
                                              << "\n\nmiddle\n";
    QTest::newRow("lone LF") << "a\nb\r\nc"
                             << "a\nb\nc";
    QTest::newRow("lone CR") << "a\rb"
                             << "a\nb";
    QTest::newRow("LF CR") << "a\n\rb"
                           << "a\n\nb";
    QTest::newRow("no-break space and tab") << QStringLiteral("甲\u00A0乙\t丙") << QStringLiteral("甲\u00A0乙\t丙");
}

void TestAppShell::memoTextRoundTrip() {
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    QPlainTextEdit memo;
    SetMemoText(&memo, stored);
    QCOMPARE(memo.document()->toRawText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')), shown);
    QCOMPARE(MemoText(&memo), stored);
}

void TestAppShell::editedMemoTextUsesCrLf() {
    QPlainTextEdit memo;
    SetMemoText(&memo, QStringLiteral("a\nb\u00A0"));
    memo.moveCursor(QTextCursor::End);
    QTest::keyClick(&memo, Qt::Key_Return);
    QTest::keyClicks(&memo, QStringLiteral("c"));
    QTest::keyClick(&memo, Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClicks(&memo, QStringLiteral("d"));
    QCOMPARE(MemoText(&memo), QStringLiteral("a\r\nb\u00A0\r\nc\r\nd"));

    // Text set some other way is not mistaken for what SetMemoText was given.
    memo.setPlainText(QStringLiteral("x\ny"));
    QCOMPARE(MemoText(&memo), QStringLiteral("x\r\ny"));
}

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
