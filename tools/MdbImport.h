#pragma once

// The import of the earlier Windows version's NoteData.mdb (tamrixdata-db import DB FILE.mdb).

#include <string>

struct MdbImportOptions {
    // Keep the file's keys also in a database that already holds records, refusing when one is taken.
    bool keepKeys = false;
    // Refuse, changing nothing, when the database already holds records or paragraphs (the
    // launcher's import on first use).
    bool ifEmpty = false;
    // The code page of a Jet 3 (Access 97) file's text; Jet 4 files store Unicode.
    int codePage = 936;
};

// Whether the file starts with an Access database's signature.
bool HasJetSignature(const std::string& path);

// Adds the records and paragraphs of the Access file input to database in one transaction and prints
// a summary. Into an empty database the keys stay as they were; into one that holds records they are
// moved past its largest keys, each paragraph following its record. A file that cannot be read whole,
// or a key that cannot be stored, raises std::runtime_error and changes nothing. Returns 0, or
// 128 + the signal when SIGINT, SIGTERM or SIGHUP interrupted it (nothing written).
int ImportMdb(const std::string& database, const std::string& input, const MdbImportOptions& options);
