#pragma once

#include <chrono>

// The busy pointer. Everything runs on the GUI thread, so nothing can notice long work from outside;
// the work shows itself instead. Every entry point from Qt into the program's code runs inside a
// TBusyScope (Guarded opens one), and long work calls BusyPointerTick now and then (the store's
// connection does, from inside the engine, also while it waits out another process's lock). A tick
// more than BusyPointerDelay after its scope began shows the wait pointer over all the program's
// windows. It goes away when the outermost scope ends, also by an error, and whenever the event loop
// waits: a box or dialog shown in the middle of the work shows the normal pointer, and the work
// after it starts a new period.
inline constexpr std::chrono::milliseconds BusyPointerDelay{500};

class TBusyScope {
public:
    TBusyScope();
    ~TBusyScope();
    TBusyScope(const TBusyScope&) = delete;
    TBusyScope& operator=(const TBusyScope&) = delete;

private:
    std::chrono::steady_clock::time_point m_outerSince;
    bool m_outerWaiting;
};

// Cheap when nothing is due; never raises.
void BusyPointerTick() noexcept;
