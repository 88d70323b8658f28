#pragma once

#include <string>

// Keeps a second copy of the program off a database file that a first copy has open. Two copies on
// one file would each take the other's pending paragraphs (owner 0) for its own, and the editor's
// close removes every pending paragraph.
//
// The lock is an exclusive flock on the file itself, taken at start-up through a descriptor held for
// the object's life. flock locks are apart from the POSIX record locks SQLite uses, so neither this
// program's own connection nor other tools on the file (the sqlite3 shell, backups, import scripts)
// are hindered; only another copy's flock is. Create the object before and destroy it after every
// connection of this process to the file: closing any descriptor of a file drops the process's record
// locks on it, SQLite's included.
class TSingleCopyLock {
public:
    enum class TState {
        Held,          // this process holds the lock
        NoFile,        // nothing to lock (no such file, or it cannot be opened); the program starts
                       // and reports the missing database as it always does
        HeldElsewhere, // another copy holds it
    };

    explicit TSingleCopyLock(const std::string& databasePath);
    ~TSingleCopyLock();
    TSingleCopyLock(const TSingleCopyLock&) = delete;
    TSingleCopyLock& operator=(const TSingleCopyLock&) = delete;

    TState State() const { return m_state; }

private:
    int m_descriptor = -1;
    TState m_state = TState::NoFile;
};
