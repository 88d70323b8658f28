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
std::string DescribeDatabaseFailure(int code, const std::string& path);

// Whether the connection's last call failed (as opposed to an error of the tool's own).
bool HasSqliteFailure(sqlite3* db);

// Opens an existing database as OpenExistingDatabase does, failing with an ExplainedError.
Connection OpenDatabase(const std::string& path, bool readOnly);

// Runs body(); an SQLite failure on connection is raised again as an ExplainedError "what: cause".
template <typename Body>
auto ExplainFailures(Connection& connection, const std::string& path, const std::string& what, Body body) {
    try {
        return body();
    } catch (const ExplainedError&) {
        throw;
    } catch (const std::runtime_error&) {
        if (!HasSqliteFailure(connection.Handle()))
            throw;
        throw ExplainedError(what + ": " +
                             DescribeDatabaseFailure(sqlite3_extended_errcode(connection.Handle()), path));
    }
}
