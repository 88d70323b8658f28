#pragma once

// Answering the real message boxes as a user would. The code under test waits in the box's own event
// loop, so the boxes are looked for from a timer, which runs in whichever loop is current.
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>

// The message boxes shown among the top-level windows.
inline QList<QMessageBox*> VisibleMessageBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

// Presses the box's default button with the key a user would use.
inline void PressReturn(QMessageBox& box) {
    QTest::keyClick(&box, Qt::Key_Return);
}

// What a message box showed while it waited for its answer.
struct ShownMessageBox {
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    Qt::WindowModality modality = Qt::NonModal;
};

// While alive, notes each message box that appears in `boxes` (in order of appearance) and then hands
// it to `answer`, once; `answer` should dismiss it.
class MessageBoxWatcher {
public:
    explicit MessageBoxWatcher(std::function<void(QMessageBox&)> answer = PressReturn) : m_answer(std::move(answer)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(5);
    }
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    QList<ShownMessageBox> boxes;

    QStringList Texts() const {
        QStringList texts;
        for (const ShownMessageBox& box : boxes)
            texts << box.text;
        return texts;
    }
    QStringList Captions() const {
        QStringList captions;
        for (const ShownMessageBox& box : boxes)
            captions << box.caption;
        return captions;
    }

private:
    void Poll() {
        for (QMessageBox* box : VisibleMessageBoxes()) {
            // Guarded pointers: a later box may be built where an answered one was freed.
            if (m_answered.contains(box))
                continue;
            m_answered << box;
            boxes << ShownMessageBox{box->windowTitle(), box->text(), box->icon(), box->windowModality()};
            m_answer(*box);
            return; // one box per look: answering it may have ended the loop this look runs in
        }
    }

    std::function<void(QMessageBox&)> m_answer;
    QList<QPointer<QMessageBox>> m_answered;
    QTimer m_timer;
};
