// backup: a consistent copy of a database that may be in use.
//
// SQLite's online backup copies the pages in steps, taking the read lock only during each step,
// so a program that writes meanwhile is held up for one step at most. When another process changes
// the database between steps the copy starts again from the beginning; after a few such restarts
// the rest is copied in one step, under one read lock, so that a busy writer cannot keep the backup
// from ever finishing. The copy is built beside the destination and renamed over it when complete.

#include "Commands.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "TemporarySibling.h"

#include <memory>

namespace {

constexpr int PagesPerStep = 1024;
constexpr int RestartsBeforeOneStep = 3;

struct BackupFinish {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

} // namespace

int BackupDatabase(const std::string& database, const std::string& destination, bool overwrite) {
    if (SameFile(database, destination))
        throw std::runtime_error("cannot back up " + database + " onto itself");
    if (!overwrite && PathExists(destination))
        throw FileExistsError(destination + " already exists");
    Connection source = OpenExistingDatabase(database, true);
    TemporarySibling temporary(destination);
    {
        Connection copy(temporary.Path(), SQLITE_OPEN_READWRITE);
        std::unique_ptr<sqlite3_backup, BackupFinish> backup(
            sqlite3_backup_init(copy.Handle(), "main", source.Handle(), "main"));
        if (!backup)
            ThrowSqlite(copy.Handle(), "cannot back up " + database);
        Progress progress("backing up", "pages");
        int restarts = 0;
        int remaining = -1;
        for (;;) {
            int result = sqlite3_backup_step(backup.get(), restarts < RestartsBeforeOneStep ? PagesPerStep : -1);
            if (result == SQLITE_DONE)
                break;
            if (result != SQLITE_OK) {
                // The busy handlers have waited 5 s by now; the error is reported from the handle
                // that holds it after finish.
                sqlite3_backup_finish(backup.release());
                if ((result & 0xFF) == SQLITE_BUSY || (result & 0xFF) == SQLITE_LOCKED)
                    throw std::runtime_error("cannot back up " + database +
                                             ": it stayed locked by another program; try again");
                ThrowSqlite(copy.Handle(), "cannot back up " + database);
            }
            int left = sqlite3_backup_remaining(backup.get());
            if (remaining >= 0 && left > remaining)
                ++restarts;
            remaining = left;
            int total = sqlite3_backup_pagecount(backup.get());
            progress.Show(static_cast<std::uint64_t>(total - left), static_cast<std::uint64_t>(total));
        }
        if (sqlite3_backup_finish(backup.release()) != SQLITE_OK)
            ThrowSqlite(copy.Handle(), "cannot back up " + database);
        copy.Close();
    }
    temporary.MoveIntoPlace(overwrite);
    return 0;
}
