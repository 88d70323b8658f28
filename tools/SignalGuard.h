#pragma once

// Lets SIGINT, SIGTERM and SIGHUP end a long statement cleanly: instead of killing the process in
// the middle of a write transaction (leaving a hot journal beside a database that is not sound on
// its own), the signal interrupts the running statement, whose SQLITE_INTERRUPT error unwinds the
// transaction guard; the caller then exits with ExitStatusForSignal(Received()).

#include <sqlite3.h>

#include <signal.h>

class SignalGuard {
public:
    // Installs the handlers for the guard's lifetime; only one guard may be alive at a time.
    explicit SignalGuard(sqlite3* db);
    // Restores the handlers that were installed before.
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

    // The signal caught since the process started, 0 if none.
    static int Received();

private:
    struct sigaction m_previous[3];
};

// The status a shell gives a process killed by signal: 128 + signal.
int ExitStatusForSignal(int signal);
