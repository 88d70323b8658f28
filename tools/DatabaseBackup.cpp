// backup: a consistent copy of a database that may be in use.
//
// SQLite's online backup copies the pages in steps, taking the read lock only during each step,
// so a program that writes meanwhile is held up for one step at most. When another process changes
// the database between steps the copy starts again from the beginning; after a few such restarts
// the rest is copied in one step, under one read lock, so that a busy writer cannot keep the backup
// from ever finishing. The copy is built beside the destination and renamed over it when complete.
// The backup copies pages as they are, damage included, so the copy is then checked (SQLite's
// integrity check, a read of the whole copy): a damaged copy is kept, as it may be the best there
// is, but reported with exit code 1.

#include "Commands.h"
#include "DatabaseFailure.h"
#include "Progress.h"
#include "SqliteHandles.h"
#include "TemporarySibling.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

constexpr int PagesPerStep = 1024;
constexpr int RestartsBeforeOneStep = 3;

struct BackupFinish {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

// The integrity check's first finding on the copy, empty when it is sound. Damage bad enough that
// the check cannot even run is a finding too.
std::string FirstDamage(Connection& copy) {
    try {
        Statement integrity(copy, "PRAGMA integrity_check(1)");
        if (!integrity.Step() || integrity.Text(0) == "ok")
            return {};
        // One line: without the heading the check puts before its first finding in a database.
        std::string found(integrity.Text(0));
        if (found.starts_with("*** ") && found.find('\n') != std::string::npos)
            found.erase(0, found.find('\n') + 1);
        std::replace(found.begin(), found.end(), '\n', ' ');
        return found;
    } catch (const std::runtime_error& error) {
        int code = FailureCode(error, copy.Handle()) & 0xFF;
        if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
            return sqlite3_errstr(code);
        throw;
    }
}

} // namespace

int BackupDatabase(const std::string& database, const std::string& destination, bool overwrite) {
    if (SameFile(database, destination))
        throw std::runtime_error("cannot back up " + database + " onto itself");
    if (!overwrite && PathExists(destination))
        throw FileExistsError(destination + " already exists");
    Connection source = OpenDatabase(database, true);
    TemporarySibling temporary(destination);
    std::string damage;
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
                bool writing = (result & 0xFF) == SQLITE_FULL || (result & 0xFF) == SQLITE_READONLY ||
                               (result & 0xFF) == SQLITE_CANTOPEN || result == SQLITE_IOERR_WRITE ||
                               result == SQLITE_IOERR_FSYNC || result == SQLITE_IOERR_TRUNCATE;
                throw ExplainedError("cannot back up " + database + ": " +
                                     DescribeDatabaseFailure(result, writing ? destination : database));
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
        damage = ExplainFailures(copy, destination, "cannot check the copy " + destination,
                                 [&] { return FirstDamage(copy); });
        copy.Close();
    }
    temporary.MoveIntoPlace(overwrite);
    if (!damage.empty()) {
        std::fprintf(stderr,
                     "tamrixdata-db: warning: %s is damaged, and so is its copy %s (kept; first fault: %s); see "
                     "tamrixdata-db check\n",
                     database.c_str(), destination.c_str(), damage.c_str());
        return 1;
    }
    return 0;
}
