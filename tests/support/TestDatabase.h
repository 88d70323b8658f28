#pragma once

#include <QString>
#include <QTemporaryDir>

#include <cstdint>

// A database of the program's schema, NoteData.db, alone in its own temporary directory. Changes
// made through exec() use a connection of their own, like another process would.
//
// On a server: when TAMRIX_TEST_SERVER holds a connection string (with-postgres.sh sets it), the
// database is instead a schema of its own on that server, made afresh, and path() is the connection
// string that reaches it. exec() takes the file's spelling of a key (INTEGER PRIMARY KEY) and
// typeof() answers as SQLite's, so that one test source runs on both engines.
class TestDatabase {
public:
    TestDatabase(); // creates the directory and the empty database from the schema
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    // The server's connection string when the tests run against one, else empty.
    static QString server();
    static bool onServer() { return !server().isEmpty(); }
    QString dir() const;
    QString path() const; // dir() + "/NoteData.db", or the connection string of the server's schema
    // Makes dir() the process's current directory, where the program looks for NoteData.db.
    void makeCurrent() const;
    void exec(const QString& sql) const;     // QFAIL-style abort (qFatal) on error
    qint64 scalar(const QString& sql) const; // first column of the first row, 0 when no row
    QString text(const QString& sql) const;  // same, as text
    void fillDemo(int records, std::uint64_t seed = 1) const;

private:
    QTemporaryDir m_dir;
    QString m_schema; // on a server
};
