#pragma once

#include <QString>
#include <QStringList>

// Which database the program works on: the command line's --database=, else the environment's
// TAMRIXDATA_DATABASE, else the settings file's Database= in [TamrixData], else the file NoteData.db
// in the current folder. A server is named by a libpq connection string or URI; a password never
// comes from the settings file (see InstallPasswordPrompt).
QString ChosenDatabase(const QStringList& arguments, const QString& settingsFile);

// Whether the chosen database is a server rather than a file.
bool IsServerDatabase(const QString& database);

// Has the connection ask the user for a password when the server wants one that libpq's own
// sources (~/.pgpass, the service file, PGPASSWORD) lack; the password is kept for the process only.
void InstallPasswordPrompt();
