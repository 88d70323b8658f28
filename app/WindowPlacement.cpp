#include "WindowPlacement.h"

#include <QApplication>
#include <QEvent>
#include <QMargins>
#include <QScreen>
#include <QTimerEvent>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace {

QMargins FrameMargins(const QWidget* window) {
    return window && window->isVisible() && window->windowHandle() ? window->windowHandle()->frameMargins()
                                                                   : QMargins();
}

// The frame the window manager will most likely give window: that of its parent, else of any other
// visible window of the program.
QMargins ExpectedFrame(const QWidget* window) {
    if (const QWidget* parent = window->parentWidget()) {
        if (const QMargins margins = FrameMargins(parent->window()); !margins.isNull())
            return margins;
    }
    for (const QWidget* other : QApplication::topLevelWidgets()) {
        if (other == window)
            continue;
        if (const QMargins margins = FrameMargins(other); !margins.isNull())
            return margins;
    }
    return QMargins();
}

// The client area's place that centres window on area once the window manager has put frame around
// it.
QRect CentredGeometry(const QWidget* window, const QMargins& frame, const QRect& area) {
    const QSize outer = window->size().grownBy(frame);
    QPoint corner(area.x() + (area.width() - outer.width()) / 2, area.y() + (area.height() - outer.height()) / 2);
    // A window that fits on the screen stays on it, title bar and all.
    if (const QScreen* screen = window->screen()) {
        const QRect room = screen->availableGeometry();
        if (outer.width() <= room.width())
            corner.setX(std::clamp(corner.x(), room.left(), room.right() + 1 - outer.width()));
        if (outer.height() <= room.height())
            corner.setY(std::clamp(corner.y(), room.top(), room.bottom() + 1 - outer.height()));
    }
    return QRect(corner + QPoint(frame.left(), frame.top()), window->size());
}

// Watches a window placed with a guessed frame until the window system tells the real one, and then
// centres it again if the guess was wrong and nobody has moved it meanwhile. The frame arrives with
// no event of its own, so the watcher looks a few times a second, for a while.
class TFrameWatcher : public QObject {
public:
    TFrameWatcher(QWidget* window, const QRect& area, const QMargins& guess)
        : QObject(window), m_window(window), m_area(area), m_guess(guess), m_placed(window->geometry()) {
        window->installEventFilter(this);
        m_timer = startTimer(LookInterval);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Hide)
            deleteLater();
        return false;
    }

    void timerEvent(QTimerEvent*) override {
        // While the window manager frames the window, the window system may for a moment report it
        // at its place inside the frame and a frame made of that; only a frame seen twice around the
        // window where it was put counts. One that never comes means no frame, or a window the user
        // moved.
        const QMargins frame = FrameMargins(m_window);
        const bool framed = !frame.isNull() && frame == m_lastFrame && frame.left() >= 0 && frame.top() >= 0 &&
                            frame.right() >= 0 && frame.bottom() >= 0 && m_window->geometry() == m_placed;
        m_lastFrame = frame;
        if (!framed && ++m_looks < Looks)
            return;
        killTimer(m_timer);
        deleteLater();
        if (framed && frame != m_guess)
            m_window->setGeometry(CentredGeometry(m_window, frame, m_area));
    }

private:
    static constexpr int LookInterval = 25; // ms
    static constexpr int Looks = 80;        // then the window has no frame at all

    QWidget* m_window;
    QRect m_area;
    QMargins m_guess;
    QRect m_placed;
    QMargins m_lastFrame;
    int m_timer = 0;
    int m_looks = 0;
};

void CentreWindow(QWidget* window, const QRect& area) {
    if (area.isEmpty())
        return;
    const QMargins frame = ExpectedFrame(window);
    // The client area is placed, not the frame: before the window is mapped its frame is unknown, and
    // a later resize (a message box fits itself to its text) would take a frame's corner for the
    // client's.
    window->setGeometry(CentredGeometry(window, frame, area));
    new TFrameWatcher(window, area, frame);
}

} // namespace

void CentreWindowOver(QWidget* window, const QWidget* over) {
    const QWidget* overWindow = over ? over->window() : nullptr;
    if (!overWindow || !overWindow->isVisible() || !overWindow->windowHandle()) {
        CentreWindowOnScreen(window);
        return;
    }
    CentreWindow(window, overWindow->windowHandle()->frameGeometry());
}

void CentreWindowOnScreen(QWidget* window) {
    if (const QScreen* screen = window->screen())
        CentreWindow(window, screen->availableGeometry());
}
