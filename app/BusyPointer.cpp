// The busy pointer: work periods opened by TBusyScope, ticks from long work, and the event loop's
// waits, which end a period.
#include "BusyPointer.h"

#include <QAbstractEventDispatcher>
#include <QCursor>
#include <QGuiApplication>
#include <QPointer>
#include <QThread>

namespace {

int g_depth = 0;
// When the running work began, and whether the program is in fact waiting for the user (in the event
// loop of a box or dialog) rather than working.
std::chrono::steady_clock::time_point g_since;
bool g_waiting = false;
bool g_shown = false;

void HidePointer() {
    if (!g_shown)
        return;
    g_shown = false;
    QGuiApplication::restoreOverrideCursor();
}

// The event loop about to wait means the work has stopped, for good or until a box is answered.
void WatchEventLoop() {
    static QPointer<QAbstractEventDispatcher> watched;
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
    if (!dispatcher || dispatcher == watched)
        return;
    watched = dispatcher;
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, dispatcher, [] {
        g_waiting = true;
        HidePointer();
    });
}

} // namespace

TBusyScope::TBusyScope() : m_outerSince(g_since), m_outerWaiting(g_waiting) {
    WatchEventLoop();
    ++g_depth;
    g_since = std::chrono::steady_clock::now();
    g_waiting = false;
}

TBusyScope::~TBusyScope() {
    --g_depth;
    g_since = m_outerSince;
    g_waiting = m_outerWaiting;
    if (g_depth == 0)
        HidePointer();
}

void BusyPointerTick() noexcept {
    if (g_depth == 0 || g_shown)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (g_waiting) {
        // Work goes on after a box or dialog has been answered: a new period begins.
        g_waiting = false;
        g_since = now;
        return;
    }
    if (now - g_since < BusyPointerDelay)
        return;
    g_shown = true;
    QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
}
