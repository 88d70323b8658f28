// The change writer: the statements a record set's Post and Delete run. Each is one statement of the
// engine, prepared once per shape (the modified columns) and kept in the connection's statement
// cache, its values bound. Before it runs, the connection's readers fetch their rest and the read
// transaction ends (TADOConnection::BeforeWrite).
//
// An update finds its row by the key and by every modified column holding what was read (compared
// null-safe), so that another process's change or delete in between makes it find no row: the
// conflict error, and nothing written. An insert must store exactly one row and learn its key: a
// key the database numbers is read back from it, any other key must be given, and a row a trigger
// dropped is an error; each is refused before anything is written or raised after nothing was
// (a trigger's own other changes aside).
#include "ChangeWriter.h"

#include "ADOConnection.h"
#include "CellCodec.h"
#include "DatabaseErrors.h"
#include "ResultLayout.h"
#include "TextCase.h"

#include <algorithm>
#include <string>

namespace {

// Runs one change with its values bound in order and returns the rows it changed; raises the
// engine's error.
std::int64_t RunChange(TADOConnection& connection, const std::string& sql, const std::vector<TFieldValue>& values) {
    connection.BeforeWrite();
    TStatementLease statement = connection.PrepareCached(sql);
    for (std::size_t i = 0; i < values.size(); ++i)
        statement->Bind(static_cast<int>(i + 1), values[i]);
    statement->Step();
    const std::int64_t changed = connection.Engine().RowsChanged();
    statement.Finish();
    return changed;
}

// The same, the engine's errors raised as record-set errors with its message.
std::int64_t ExecuteChange(TADOConnection& connection, const std::string& sql, const std::vector<TFieldValue>& values) {
    try {
        return RunChange(connection, sql, values);
    } catch (const EOleException& error) {
        throw EDatabaseError(error.Message());
    }
}

std::string ColumnName(const TResultLayout& layout, int field) {
    return QuoteIdentifier(layout.Column(field));
}

} // namespace

void UpdateRow(TADOConnection& connection, const TResultLayout& layout, const std::vector<int>& fields,
               const std::vector<TFieldValue>& values, const char* readRow) {
    if (fields.empty())
        return;
    const TDialect& dialect = connection.Dialect();
    std::size_t marker = 0;
    std::string sql = "UPDATE " + QuoteIdentifier(layout.Table()) + " SET ";
    for (std::size_t i = 0; i < fields.size(); ++i)
        sql += (i ? ", " : "") + ColumnName(layout, fields[i]) + " = " + dialect.Marker(++marker);
    sql += " WHERE " + ColumnName(layout, layout.KeyField()) + " = " + dialect.Marker(++marker);
    for (int field : fields)
        sql += " AND " + ColumnName(layout, field) + dialect.nullSafeEquals + dialect.Marker(++marker);

    // The new values, then the key and the values as read when the edit began.
    std::vector<TFieldValue> bound;
    for (int field : fields)
        bound.push_back(values[static_cast<std::size_t>(field)]);
    bound.push_back(ReadCell(CellIn(readRow, layout.KeyField())));
    for (int field : fields)
        bound.push_back(ReadCell(CellIn(readRow, field)));
    if (ExecuteChange(connection, sql, bound) == 0)
        throw EDatabaseError(
            "Row cannot be located for updating. Some values may have been changed since it was last read");
}

TFieldValue InsertRow(TADOConnection& connection, const TResultLayout& layout, const std::vector<int>& fields,
                      const std::vector<TFieldValue>& values) {
    const std::string& table = layout.Table();
    const TTableKey& key = connection.TableKey(table);
    const int keyField = layout.KeyField();
    const TFieldValue& givenKey = values[static_cast<std::size_t>(keyField)];
    const bool keyGiven = !givenKey.IsNull() && std::find(fields.begin(), fields.end(), keyField) != fields.end();
    // A key the database does not number itself would be stored as NULL (no row could be found
    // again by it), and the engine's number of the new row is not that key.
    if (!key.assignedByEngine && !keyGiven)
        throw EDatabaseError("Cannot add a row to table '" + table + "': its key column '" + key.column +
                             "' has no value and the database does not assign one");

    const TDialect& dialect = connection.Dialect();
    std::string sql = "INSERT INTO " + QuoteIdentifier(table);
    if (fields.empty()) {
        sql += " DEFAULT VALUES";
    } else {
        std::string markers;
        sql += " (";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            sql += (i ? ", " : "") + ColumnName(layout, fields[i]);
            markers += (i ? ", " : "") + dialect.Marker(i + 1);
        }
        sql += ") VALUES (" + markers + ")";
    }
    if (dialect.newKey == TDialect::TNewKey::Returning)
        sql += " RETURNING " + ColumnName(layout, layout.KeyField());
    std::vector<TFieldValue> bound;
    for (int field : fields)
        bound.push_back(values[static_cast<std::size_t>(field)]);
    std::int64_t changed = 0;
    try {
        changed = RunChange(connection, sql, bound);
    } catch (const EOleException& error) {
        if (connection.Engine().NoNewKeyLeft(table, key, error.ErrorCode()))
            throw EDatabaseError("No new key is left in table '" + table + "'");
        throw EDatabaseError(error.Message());
    }
    // A trigger may drop the row (or store it elsewhere) without an error.
    if (changed != 1)
        throw EDatabaseError("The new row was not stored in table '" + table + "'");
    return key.assignedByEngine ? TFieldValue::FromInt(connection.Engine().LastInsertKey()) : givenKey;
}

void DeleteRow(TADOConnection& connection, const TResultLayout& layout, const TFieldValue& key) {
    const std::string sql = "DELETE FROM " + QuoteIdentifier(layout.Table()) + " WHERE " +
                            ColumnName(layout, layout.KeyField()) + " = " + connection.Dialect().Marker(1);
    if (ExecuteChange(connection, sql, {key}) == 0)
        throw EDatabaseError("Row cannot be located for deletion");
}
