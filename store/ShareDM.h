#pragma once

#include "ADOConnection.h"
#include "ADOQuery.h"

// The database file, looked up by this bare name in the process's current directory.
inline constexpr const char* DatabaseFileName = "NoteData.db";

// The shared data module: the program's one database connection and the two scratch queries that
// every window re-points at a new statement whenever it needs them. It has no code of its own.
class TShareDataModule {
public:
    // The connection is not connected when the module is created; it connects on first use.
    explicit TShareDataModule(std::string databasePath = DatabaseFileName);

    TADOConnection ADOConnection1;
    TADOQuery ADOQueryTemp;
    TADOQuery ADOQueryTemp2;
};

// The single instance, created at start-up after the main window and alive until the process ends.
extern TShareDataModule* ShareDataModule;
