#pragma once

#include "Commands.h"
#include "DemoDatabase.h"
#include "MdbImport.h"

#include <optional>
#include <string>

// tamrixdata-db's commands for a database on a PostgreSQL server, named by a libpq connection
// string or URI (see ServerDatabase.cpp). Each returns the exit code and raises std::runtime_error
// on failure; a failed command changes nothing on the server.

// Creates the records tables (identity keys, the index on ContentTitle); tables already there are
// an error, never replaced.
int InitServer(const std::string& server);
// Adds count demo records, made as for a file.
int DemoServer(const std::string& server, int count, const DemoOptions& options);
// Writes the records as ExportRecords does for a file, from one snapshot of the server.
int ExportServer(const std::string& server, const std::string& output, Format format, bool overwrite);
// Adds the records of input: an export (CSV or JSON) or a database file (NoteData.db). keepKeys
// (database files only) keeps the file's record and paragraph numbers.
int ImportToServer(const std::string& server, const std::string& input, std::optional<Format> format, bool keepKeys);
// Adds the records of the earlier Windows version's NoteData.mdb as ImportMdb does for a file: into
// empty tables with the keys they had, else with new keys (options.keepKeys keeps them, refusing
// when one is taken; options.ifEmpty refuses, changing nothing, when the tables hold anything).
// Paragraphs that belong to no record are reported and not copied.
int ImportMdbToServer(const std::string& server, const std::string& input, const MdbImportOptions& options);
// Writes destination, an SQLite database of the program's schema, from one repeatable-read snapshot
// of the server, keys kept.
int BackupServer(const std::string& server, const std::string& destination, bool overwrite);
// Reports missing tables, keys the program cannot use, paragraphs whose record is gone and the
// pending paragraphs of editors that died; repair removes those leftovers.
int CheckServer(const std::string& server, bool repair);
