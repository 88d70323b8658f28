// SignalGuard: the handler may only do async-signal-safe work, so it records the signal number
// and calls sqlite3_interrupt (which SQLite allows from any thread or handler); everything else
// happens when the interrupted statement returns SQLITE_INTERRUPT in the normal flow.

#include "SignalGuard.h"

#include <atomic>
#include <csignal>

namespace {

constexpr int GuardedSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile std::sig_atomic_t s_received = 0;
std::atomic<sqlite3*> s_database{nullptr};

extern "C" void InterruptDatabase(int signal) {
    s_received = signal;
    if (sqlite3* db = s_database.load())
        sqlite3_interrupt(db);
}

} // namespace

SignalGuard::SignalGuard(sqlite3* db) {
    s_database.store(db);
    struct sigaction action {};
    action.sa_handler = InterruptDatabase;
    sigemptyset(&action.sa_mask);
    for (int signal : GuardedSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = SA_RESTART; // reads and writes outside SQLite carry on; the statement stops
    for (int i = 0; i < 3; ++i)
        sigaction(GuardedSignals[i], &action, &m_previous[i]);
}

SignalGuard::~SignalGuard() {
    for (int i = 0; i < 3; ++i)
        sigaction(GuardedSignals[i], &m_previous[i], nullptr);
    s_database.store(nullptr);
}

int SignalGuard::Received() {
    return s_received;
}

int ExitStatusForSignal(int signal) {
    return 128 + signal;
}
