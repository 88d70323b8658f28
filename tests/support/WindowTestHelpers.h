#pragma once

// Helpers the window tests share: answering the real message boxes as a user would, running code
// while a modal dialog is shown, and filling the database the windows read.
#include "AppShell.h"
#include "MainForm.h"
#include "MemoText.h"
#include "MessageBoxTestHelpers.h"
#include "TestDatabase.h"

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>

// While alive, answers every message box that appears and records it twice: `texts` holds the box
// texts in order of appearance, `seen` the same as "kind: text", where the kind is "message" for the
// plain box, "error" for the error box and "confirm" for the yes/no confirmation, noted as
// "confirm: caption | text". A confirmation is answered by `answerConfirm`, called once while it
// waits (a user may act in the windows before answering); the answer is a mouse click through the
// window system, which a modal window would swallow: one that stays unanswered that way is counted
// in `blockedConfirmations` and then answered directly. Every other box is closed with its only button.
// `eachTick`, when set, runs on every look for boxes.
class MessageBoxAnswerer : public QObject {
public:
    MessageBoxAnswerer() {
        connect(&m_timer, &QTimer::timeout, this, &MessageBoxAnswerer::answer);
        m_timer.start(5);
    }

    QStringList texts;
    QStringList seen;
    std::function<bool()> answerConfirm = [] { return true; };
    std::function<void()> eachTick;
    int blockedConfirmations = 0;

private:
    void answer() {
        if (eachTick)
            eachTick();
        for (QMessageBox* box : VisibleMessageBoxes()) {
            if (!box->button(QMessageBox::Yes)) {
                texts << box->text();
                seen << (box->icon() == QMessageBox::Critical ? QStringLiteral("error: ")
                                                              : QStringLiteral("message: ")) +
                            box->text();
                box->buttons().constFirst()->click();
                return; // one box per tick: the click may have ended the loop this tick runs in
            }
            if (box != m_confirmation) {
                m_confirmation = box;
                m_attempts = 0;
                texts << box->text();
                seen << QStringLiteral("confirm: %1 | %2").arg(box->windowTitle(), box->text());
                m_yes = answerConfirm ? answerConfirm() : true;
            }
            QAbstractButton* button = box->button(m_yes ? QMessageBox::Yes : QMessageBox::No);
            if (++m_attempts > 3) {
                ++blockedConfirmations;
                m_confirmation = nullptr;
                button->click();
                return;
            }
            QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {}, button->mapTo(box, button->rect().center()));
            return;
        }
    }

    QPointer<QMessageBox> m_confirmation;
    bool m_yes = true;
    int m_attempts = 0;
    QTimer m_timer;
};

// `open` shows `dialog` modally and returns when it has closed; `inside` runs while it is shown and
// should close it. A dialog that `inside` leaves open is hidden, so a failed check cannot hang the
// test. Returns whether `inside` ran with the dialog shown (it does not run otherwise).
inline bool WhileDialogShown(QDialog* dialog, const std::function<void()>& open, const std::function<void()>& inside) {
    bool shown = false;
    QTimer::singleShot(0, dialog, [&] {
        shown = dialog->isVisible();
        if (shown)
            inside();
        if (dialog->isVisible())
            dialog->hide();
    });
    open();
    return shown;
}

// A text as an SQL literal.
inline QString SqlText(QString text) {
    return "'" + text.replace(QLatin1Char('\''), QLatin1String("''")) + "'";
}

// Stores a record with the given title, classification fields (Title1, Title2, … in order) and
// paragraphs (in ContentIndex order) through the test's own connection; returns its TitleIndex.
inline int AddRecord(const TestDatabase& db, const QString& title, const QStringList& paragraphs,
                     const QStringList& fields = {}) {
    QString columns = QStringLiteral("TitleTxt");
    QString values = SqlText(title);
    for (int i = 0; i < fields.size(); ++i) {
        columns += QStringLiteral(", Title%1").arg(i + 1);
        values += ", " + SqlText(fields[i]);
    }
    db.exec("Insert Into Title (" + columns + ") Values (" + values + ")");
    const int titleIndex = int(db.scalar(QStringLiteral("Select max(TitleIndex) From Title")));
    for (const QString& paragraph : paragraphs)
        db.exec(QStringLiteral("Insert Into Content (ContentTitle, ContentTxt) Values (%1, %2)")
                    .arg(titleIndex)
                    .arg(SqlText(paragraph)));
    return titleIndex;
}

// The main window's content pane, with CR LF line breaks.
inline QString MainPaneText() {
    return MemoText(FormMain->findChild<QPlainTextEdit*>(QStringLiteral("Memo1")));
}

// Checks a dialog's placement: centred over the main window at its first showing, and shown again
// where the user left it. `open` shows the dialog modally.
inline void CheckDialogPlacement(QDialog* dialog, const std::function<void()>& open) {
    QPoint moved;
    QVERIFY(WhileDialogShown(dialog, open, [&] {
        QVERIFY(qAbs(dialog->geometry().center().x() - FormMain->geometry().center().x()) <= 1);
        QVERIFY(qAbs(dialog->geometry().center().y() - FormMain->geometry().center().y()) <= 1);
        // As the window manager moves it when the user drags the title bar.
        dialog->windowHandle()->setPosition(dialog->windowHandle()->position() + QPoint(37, 23));
        QCoreApplication::processEvents();
        moved = dialog->pos();
        dialog->close();
    }));
    QVERIFY(WhileDialogShown(dialog, open, [&] {
        QCOMPARE(dialog->pos(), moved);
        dialog->close();
    }));
}
