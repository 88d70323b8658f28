#pragma once

// Failures of the tool's work on a database, told in one line that names the cause (disk full, a
// file or folder that is not writable, not a database, damaged, locked, missing) instead of
// SQLite's text, which can mislead (a folder that is not writable is "attempt to write a readonly
// database") and which the handles prefix with the statement that failed.

#include "SqliteHandles.h"

#include <stdexcept>
#include <string>

// An error whose text already names its cause; passed on as it is.
class ExplainedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The cause of an SQLite result code (primary or extended) met on the database at path, in words
// that name the file or folder at fault; never a statement, never the schema. Looks at the file
// and its folder to tell a read-only file from a folder where the journal cannot be made.
// systemError, the errno SQLite saw (sqlite3_system_errno), tells a full disk or a size limit
// behind an input/output error.
std::string DescribeDatabaseFailure(int code, const std::string& path, int systemError = 0);

// Why a new file at path could not be made or written, from the errno: the folder not writable,
// missing or on a read-only file system, the disk full; else the system's text.
std::string DescribeFileFailure(int systemError, const std::string& path);

// The SQLite result code behind an error that the handles raised on db, 0 for an error of the
// tool's own. The handles end their text with SQLite's message of the failure, which is read
// first: by the time the error is caught, the statements and the transaction guard that unwound
// have made other calls on db.
int FailureCode(const std::runtime_error& error, sqlite3* db);

// Opens an existing database as OpenExistingDatabase does, failing with an ExplainedError.
Connection OpenDatabase(const std::string& path, bool readOnly);

// Runs body(); an SQLite failure on connection is raised again as an ExplainedError "what: cause".
template <typename Body>
auto ExplainFailures(Connection& connection, const std::string& path, const std::string& what, Body body) {
    try {
        return body();
    } catch (const ExplainedError&) {
        throw;
    } catch (const std::runtime_error& error) {
        int code = FailureCode(error, connection.Handle());
        if (code == 0)
            throw;
        throw ExplainedError(what + ": " +
                             DescribeDatabaseFailure(code, path, sqlite3_system_errno(connection.Handle())));
    }
}
