#include "TestDatabase.h"

#include "DemoDatabase.h"
#include "SqliteHandle.h"

#include <QDir>

#include <exception>

namespace {

// Opens its own connection for one call and closes it again, so the test never holds a lock that
// the program under test would run into.
class ScratchConnection {
public:
    explicit ScratchConnection(const QString& path) {
        if (m_db.Open(path.toStdString(), SQLITE_OPEN_READWRITE) != SQLITE_OK)
            Fail("cannot open " + path);
        sqlite3_busy_timeout(m_db.Handle(), kBusyTimeoutMilliseconds);
    }

    sqlite3* Handle() const { return m_db.Handle(); }
    [[noreturn]] void Fail(const QString& what) const { qFatal("%s: %s", qPrintable(what), m_db.ErrorMessage()); }

private:
    // As long as the program waits for another process's lock.
    static constexpr int kBusyTimeoutMilliseconds = 5000;
    TSqliteDatabase m_db;
};

// Runs the first statement of sql and hands its first row (or nullptr when there is none) to read.
template <typename Read> auto FirstRow(const QString& path, const QString& sql, Read read) {
    ScratchConnection connection(path);
    TSqliteStatement statement;
    if (statement.Prepare(connection.Handle(), sql.toStdString()) != SQLITE_OK)
        connection.Fail(sql);
    const int step = sqlite3_step(statement.Handle());
    if (step != SQLITE_ROW && step != SQLITE_DONE)
        connection.Fail(sql);
    return read(step == SQLITE_ROW ? statement.Handle() : nullptr);
}

} // namespace

TestDatabase::TestDatabase() {
    if (!m_dir.isValid())
        qFatal("cannot create a temporary directory: %s", qPrintable(m_dir.errorString()));
    try {
        CreateEmptyDatabase(path().toStdString(), false);
    } catch (const std::exception& error) {
        qFatal("cannot create the test database: %s", error.what());
    }
}

QString TestDatabase::dir() const {
    return m_dir.path();
}

QString TestDatabase::path() const {
    return m_dir.filePath(QStringLiteral("NoteData.db"));
}

void TestDatabase::makeCurrent() const {
    if (!QDir::setCurrent(dir()))
        qFatal("cannot change to %s", qPrintable(dir()));
}

void TestDatabase::exec(const QString& sql) const {
    ScratchConnection connection(path());
    if (sqlite3_exec(connection.Handle(), sql.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
        connection.Fail(sql);
}

qint64 TestDatabase::scalar(const QString& sql) const {
    return FirstRow(path(), sql, [](sqlite3_stmt* row) -> qint64 { return row ? sqlite3_column_int64(row, 0) : 0; });
}

QString TestDatabase::text(const QString& sql) const {
    return FirstRow(path(), sql, [](sqlite3_stmt* row) {
        if (!row)
            return QString();
        const char* value = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
        return QString::fromUtf8(value, sqlite3_column_bytes(row, 0));
    });
}

void TestDatabase::fillDemo(int records, std::uint64_t seed) const {
    try {
        DemoOptions options;
        options.seed = seed;
        FillDemoRecords(path().toStdString(), records, options);
    } catch (const std::exception& error) {
        qFatal("cannot fill the test database: %s", error.what());
    }
}
