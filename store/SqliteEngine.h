#pragma once

#include "DatabaseEngine.h"
#include "SqliteHandle.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class TADOConnection;

// The SQLite engine: one connection to a database file (see SqliteEngine.cpp).
class TSqliteEngine final : public TDatabaseEngine {
public:
    TSqliteEngine() = default;
    ~TSqliteEngine() override;
    TSqliteEngine(const TSqliteEngine&) = delete;
    TSqliteEngine& operator=(const TSqliteEngine&) = delete;

    void Connect(const std::string& path) override;
    bool Connected() const override { return m_db.Handle() != nullptr; }
    void SetBusyTimeout(int milliseconds) override;
    void SetWorkTick(std::function<void()> tick) override;

    std::unique_ptr<TEngineStatement> Prepare(std::string_view sql) override;
    void Execute(const std::string& sql) override;
    std::int64_t RowsChanged() const override;
    std::int64_t LastInsertKey() const override;
    bool NoNewKeyLeft(const std::string& table, const TTableKey& key, int errorCode) override;
    TTableKey ReadTableKey(const std::string& table) override;

    bool InTransaction() const override;
    void BeginRead() override;
    void BeginWrite() override;
    void Commit() override;
    void Rollback() override;
    void RollbackQuietly() noexcept override;
    bool ReadersBlockWriters() const override { return true; }
    const TDialect& Dialect() const override { return m_dialect; }
    [[noreturn]] void RaiseLastError() const override;

    // The raw connection, valid while connected; for tests that set SQLite's own limits and handlers.
    sqlite3* Handle() const { return m_db.Handle(); }

private:
    void InstallWorkTick() noexcept;
    static int ProgressTick(void* engine) noexcept;
    static int BusyWait(void* engine, int attempt) noexcept;
    // Steps one of the engine's own statements (BEGIN, COMMIT), prepared once.
    void StepOwn(TSqliteStatement& statement, const char* sql);

    TSqliteDatabase m_db;
    TSqliteStatement m_begin;
    TSqliteStatement m_commit;
    bool m_textUtf8 = false;
    int m_busyTimeout = 0; // the connection sets its own
    std::function<void()> m_workTick;
    std::chrono::steady_clock::time_point m_busySince;
    TDialect m_dialect;
};

// The SQLite connection under a connection that runs on the SQLite engine (a file's); nullptr
// while it is not connected or on a server. For tests.
sqlite3* SqliteHandleOf(const TADOConnection& connection);
