#pragma once

#include <QString>
#include <QTemporaryDir>

#include <cstdint>

// A database of the program's schema, NoteData.db, alone in its own temporary directory. Changes
// made through exec() use a connection of their own, like another process would.
class TestDatabase {
public:
    TestDatabase(); // creates the directory and the empty database from the schema
    QString dir() const;
    QString path() const; // dir() + "/NoteData.db"
    // Makes dir() the process's current directory, where the program looks for NoteData.db.
    void makeCurrent() const;
    void exec(const QString& sql) const;     // QFAIL-style abort (qFatal) on error
    qint64 scalar(const QString& sql) const; // first column of the first row, 0 when no row
    QString text(const QString& sql) const;  // same, as text
    void fillDemo(int records, std::uint64_t seed = 1) const;

private:
    QTemporaryDir m_dir;
};
