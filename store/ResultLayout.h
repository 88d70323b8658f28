#pragma once

#include "StatementCache.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TADOConnection;
class TADOQuery;
class TField;
enum class TFieldKind;

// The field kind a declared column type gives, and for a text its size in characters; nullopt when
// the value must decide.
std::optional<TFieldKind> KindFromDeclaredType(std::string_view declared, int& size);

// The layout of a record set's result: its fields with their kinds, the table a change goes to and
// the key among the fields (see ResultLayout.cpp).
class TResultLayout {
public:
    // Makes the fields of the result that statement has just stepped into (onto its first row when
    // hasRow). A reopen of the same prepared statement, not prepared again since, gets the fields of
    // the last open back, unless a kind came from the first row's value. Raises EOleException when the
    // table's schema cannot be read.
    void Describe(TADOQuery& owner, TADOConnection& connection, const TStatementLease& statement, bool hasRow,
                  std::vector<std::unique_ptr<TField>>& fields);
    // A close: the fields are kept for the next Describe.
    void KeepFields(std::vector<std::unique_ptr<TField>>& fields) noexcept;

    // The table changes go to; empty when the result is read-only.
    const std::string& Table() const { return m_table; }
    // The table's column of a field ("" for an expression).
    const std::string& Column(int field) const { return m_columns[static_cast<std::size_t>(field)]; }
    int KeyField() const { return m_keyField; }

private:
    std::vector<std::string> m_columns;
    std::string m_table;
    int m_keyField = -1;
    std::uint64_t m_statement = 0; // the serial of the statement the fields were made for, 0 for none
    std::uint64_t m_generation = 0;
    std::vector<std::unique_ptr<TField>> m_spareFields;
};
