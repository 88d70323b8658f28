#pragma once

// The seam between the record store and a database engine. The connection and the record sets
// reach the database only through these two interfaces (SqliteEngine.h for a file, PostgresEngine.h
// for a server). An engine whose results arrive whole (a client library that hands out a complete
// result) runs its statement at the first Step and walks its own copy: nothing above the seam
// assumes that rows come from pages as they are stepped.
//
// Errors: every call that reaches the database raises EOleException (see EngineError.h) with the
// engine's message and code. All calls happen on one thread.

#include "FieldValue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TRowStore;

// One column of a result as the engine describes it (after the statement's first step).
struct TResultColumn {
    std::string name;         // as the result names it
    std::string table;        // the table the value is read from; empty for an expression
    std::string origin;       // the table's column; empty for an expression
    std::string declaredType; // the column's declared type; empty when unknown
};

// A prepared statement: bind, step, read rows, reset. Owned by the connection's statement cache and
// lent to one user at a time (see StatementCache.h).
class TEngineStatement {
public:
    virtual ~TEngineStatement() = default;

    // Parameters are numbered from 1, in the order their markers stand in the text. Binding raises
    // when the engine refuses the value (a text over its length limit).
    virtual int ParameterCount() const = 0;
    virtual void BindNull(int index) = 0;
    virtual void BindInteger(int index, std::int64_t value) = 0;
    virtual void Bind(int index, const TFieldValue& value) = 0;
    // Binds values[i] (NULL for none) to parameter i + 1, as far as both go: a statement text's own
    // bindings, in one call for the statement a handler reopens for row after row.
    virtual void BindParameters(const std::vector<std::optional<std::int64_t>>& values) = 0;

    // Columns of the result; 0 for a statement that returns no rows.
    virtual int ColumnCount() const = 0;
    // Moves onto the next row: true when one is there, false at the end. A failure raises, and the
    // statement then starts again at its next Step.
    virtual bool Step() = 0;
    // Valid after the first Step.
    virtual TResultColumn Column(int index) const = 0;
    // Of the row the statement stands on.
    virtual TFieldValue::Type ValueType(int column) const = 0;
    // Copies the row the statement stands on into rows (as its newest row); returns the bytes stored.
    virtual std::size_t ReadRow(TRowStore& rows) = 0;
    // Changes whenever the engine prepared the statement again (after a schema change its columns
    // may differ from those of the last run).
    virtual std::uint64_t Generation() const = 0;

    // Back before the first row, bindings kept. False when the last step had failed; RaiseError then
    // raises that failure.
    virtual bool Reset() noexcept = 0;
    virtual void ClearBindings() noexcept = 0;
    [[noreturn]] virtual void RaiseError() const = 0;
};

// How an engine spells what the store writes into statement text.
struct TDialect {
    enum class TMarkers : std::uint8_t { Question, DollarNumbered }; // "?" or "$1", "$2", ...
    enum class TNewKey : std::uint8_t { AfterInsert, Returning };    // read by LastInsertKey, or RETURNING
    TMarkers markers = TMarkers::Question;
    const char* nullSafeEquals = " IS "; // "a IS b": true also when both are NULL
    TNewKey newKey = TNewKey::AfterInsert;
    const char* substringPosition = "InStr"; // position of a text in another (0 when absent), (text, part)

    // The marker of parameter number (from 1).
    std::string Marker(std::size_t number) const {
        return markers == TMarkers::Question ? std::string("?") : "$" + std::to_string(number);
    }
};

// What the schema says of a table's key.
struct TTableKey {
    std::string column;            // empty when the table has no single-column key
    bool assignedByEngine = false; // the engine numbers a new row's key itself
};

class TDatabaseEngine {
public:
    virtual ~TDatabaseEngine() = default;

    // Connects to an existing database (never creates one) and checks that it is one; raises and
    // stays unconnected on failure.
    virtual void Connect(const std::string& path) = 0;
    virtual bool Connected() const = 0;
    // How long a statement waits for another process's lock.
    virtual void SetBusyTimeout(int milliseconds) = 0;
    // Called now and then while the engine works or waits for a lock; must not raise. Empty: none.
    virtual void SetWorkTick(std::function<void()> tick) = 0;

    // A new prepared statement for the first statement of sql; raises for a text that holds none.
    virtual std::unique_ptr<TEngineStatement> Prepare(std::string_view sql) = 0;
    // Runs sql (one or more statements) that returns no rows.
    virtual void Execute(const std::string& sql) = 0;
    // After a change stepped to its end: the rows it changed, and the key the engine gave the row
    // the last insert stored (TDialect::TNewKey::AfterInsert).
    virtual std::int64_t RowsChanged() const = 0;
    virtual std::int64_t LastInsertKey() const = 0;
    // Whether a change into table failed with errorCode because every key the engine could give a new
    // row is used (the largest is taken).
    virtual bool NoNewKeyLeft(const std::string& table, const TTableKey& key, int errorCode) = 0;

    // Reads the schema's key of table.
    virtual TTableKey ReadTableKey(const std::string& table) = 0;

    // Transactions. A read transaction takes its lock with the first read; a write transaction
    // takes the write lock at once. InTransaction: either kind is open. Rollback raises when the
    // engine reports a failure; RollbackQuietly never raises.
    virtual bool InTransaction() const = 0;
    virtual void BeginRead() = 0;
    virtual void BeginWrite() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    virtual void RollbackQuietly() noexcept = 0;
    // Whether an open read transaction keeps other processes from committing a write (then readers
    // hand their lock back now and then).
    virtual bool ReadersBlockWriters() const = 0;
    // Whether the connection can be lost while in use (a server restarted, a network gone), so that
    // every action must let Connect make it again; a file's connection stays once made.
    virtual bool CanLoseConnection() const { return false; }

    virtual const TDialect& Dialect() const = 0;

    // The key that marks the pending paragraphs of this connection's editor (those of a record not
    // yet stored): 0 in a file, which stored files and other tools rely on; on a server a key of
    // the session's own, so that editors on other desks never see, take or delete each other's.
    virtual std::int64_t PendingKey() { return 0; }

    // Raises the engine's last error.
    [[noreturn]] virtual void RaiseLastError() const = 0;
};
