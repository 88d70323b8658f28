// The change writer: the statements a record set's Post and Delete run. Each is one statement of the
// engine, prepared once per shape (the modified columns) and kept in the connection's statement
// cache, its values bound. Before it runs, the connection's readers fetch their rest and the read
// transaction ends (TADOConnection::BeforeWrite).
//
// An update finds its row by the key and by every modified column holding what was read (compared
// null-safe), so that another process's change or delete in between makes it find no row: the
// conflict error, and nothing written.
#include "ChangeWriter.h"

#include "ADOConnection.h"
#include "CellCodec.h"
#include "DatabaseErrors.h"
#include "ResultLayout.h"
#include "TextCase.h"

#include <string>

namespace {

// Runs one change with its values bound in order and returns the rows it changed.
std::int64_t ExecuteChange(TADOConnection& connection, const std::string& sql, const std::vector<TFieldValue>& values) {
    try {
        connection.BeforeWrite();
        TStatementLease statement = connection.PrepareCached(sql);
        for (std::size_t i = 0; i < values.size(); ++i)
            statement->Bind(static_cast<int>(i + 1), values[i]);
        statement->Step();
        const std::int64_t changed = connection.Engine().RowsChanged();
        statement.Finish();
        return changed;
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

std::int64_t InsertRow(TADOConnection& connection, const TResultLayout& layout, const std::vector<int>& fields,
                       const std::vector<TFieldValue>& values) {
    const TDialect& dialect = connection.Dialect();
    std::string sql = "INSERT INTO " + QuoteIdentifier(layout.Table());
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
    ExecuteChange(connection, sql, bound);
    return connection.Engine().LastInsertKey();
}

void DeleteRow(TADOConnection& connection, const TResultLayout& layout, const TFieldValue& key) {
    const std::string sql = "DELETE FROM " + QuoteIdentifier(layout.Table()) + " WHERE " +
                            ColumnName(layout, layout.KeyField()) + " = " + connection.Dialect().Marker(1);
    if (ExecuteChange(connection, sql, {key}) == 0)
        throw EDatabaseError("Row cannot be located for deletion");
}
