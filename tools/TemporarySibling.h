#pragma once

#include <stdexcept>
#include <string>

// Raised when the target file exists and overwriting was not asked for.
class FileExistsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A new file built beside its target (target.tmp-PID-N) and renamed over it when complete, so a
// failed or interrupted run never leaves a half-written file under the target's name.
//
// The file and SQLite's companions of it (-journal, -wal, -shm) are removed when the object goes
// without MoveIntoPlace, and also when the process is ended by SIGINT, SIGTERM or SIGHUP while the
// object lives: the first object installs a handler for each of those signals that is not ignored
// or already handled, which removes the files of all live objects and then lets the signal end the
// process as it would have. At most four objects may live at once.
class TemporarySibling {
public:
    // Creates the empty file (SQLite takes a zero-length file as an empty database) with the
    // permissions an ordinary new file gets. Raises std::runtime_error when it cannot.
    explicit TemporarySibling(const std::string& target);
    ~TemporarySibling();
    TemporarySibling(const TemporarySibling&) = delete;
    TemporarySibling& operator=(const TemporarySibling&) = delete;

    const std::string& Path() const { return m_path; }
    // Renames the file to the target. An existing target is refused with FileExistsError unless
    // overwrite is true (atomically where the file system can); stale companions of the target go,
    // so that SQLite never plays an old journal back into the new file.
    void MoveIntoPlace(bool overwrite);

private:
    std::string m_target;
    std::string m_path;
    int m_slot = -1;
};

// True when something (a file, a directory, a dangling symbolic link) has the name path.
bool PathExists(const std::string& path);

// True when both names lead to the same existing file.
bool SameFile(const std::string& first, const std::string& second);

// Removes path's -journal, -wal and -shm files, if any.
void RemoveSqliteCompanions(const std::string& path);
