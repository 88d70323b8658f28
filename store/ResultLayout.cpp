// TResultLayout: what a result's columns are: field names and kinds, the one table whose rows the
// result can change, and the key among its fields.
//
// A result can be changed when all its plain columns come from one table and include that table's
// key (as the schema declares it). A column's kind comes from its declared type (the key that the
// engine assigns is AutoInc and read-only); an expression, or a column of no known type, takes the
// kind of the first row's value and is read-only.
//
// Cost: Describe asks the engine for each column once and reads the table's key from the schema
// reader; a reopen of the same statement reuses the fields of the last open at the cost of a
// comparison.
#include "ResultLayout.h"

#include "ADOConnection.h"
#include "ADOQuery.h"
#include "TextCase.h"

namespace {

// Longest text size a declared type may give (larger counts as no size: Memo).
constexpr int kLargestTextSize = 100000000;

bool IsTextType(std::string_view base) {
    for (const char* name : {"VARCHAR", "CHAR", "TEXT", "NVARCHAR", "NCHAR", "CHARACTER", "VARYING CHARACTER",
                             "CHARACTER VARYING", "NATIVE CHARACTER"})
        if (base == name)
            return true;
    return false;
}

TFieldKind KindFromValueType(TFieldValue::Type type) {
    switch (type) {
    case TFieldValue::Int:
        return TFieldKind::Integer;
    case TFieldValue::Real:
        return TFieldKind::Float;
    case TFieldValue::Blob:
        return TFieldKind::Memo;
    case TFieldValue::Null:
    case TFieldValue::Text:
        break;
    }
    return TFieldKind::Text;
}

} // namespace

std::optional<TFieldKind> KindFromDeclaredType(std::string_view declared, int& size) {
    size = 0;
    const std::string upper = UpperAscii(declared);
    if (upper.empty())
        return std::nullopt;
    if (upper.find("INT") != std::string::npos)
        return TFieldKind::Integer;
    const auto paren = upper.find('(');
    std::string base = upper.substr(0, paren);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    const bool textual = IsTextType(base);
    if (textual && paren != std::string::npos) {
        std::size_t i = paren + 1;
        while (i < upper.size() && upper[i] == ' ')
            ++i;
        int length = 0;
        bool digits = false;
        while (i < upper.size() && upper[i] >= '0' && upper[i] <= '9' && length < kLargestTextSize) {
            length = length * 10 + (upper[i++] - '0');
            digits = true;
        }
        if (digits && length > 0) {
            size = length;
            return TFieldKind::Text;
        }
    }
    if (textual || base == "MEMO" || base == "LONGTEXT" || base == "CLOB" || base == "NTEXT")
        return TFieldKind::Memo;
    if (base.find("REAL") != std::string::npos || base.find("FLOA") != std::string::npos ||
        base.find("DOUB") != std::string::npos || base == "NUMERIC" || base == "DECIMAL")
        return TFieldKind::Float;
    return std::nullopt;
}

[[gnu::hot]] void TResultLayout::Describe(TADOQuery& owner, TADOConnection& connection,
                                          const TStatementLease& statement, bool hasRow,
                                          std::vector<std::unique_ptr<TField>>& fields) {
    TEngineStatement& engineStatement = statement.Statement();
    const std::uint64_t generation = engineStatement.Generation();
    if (m_statement == statement.Serial() && m_generation == generation && !m_spareFields.empty()) {
        fields.swap(m_spareFields);
        return;
    }
    m_statement = 0;
    m_spareFields.clear();
    m_columns.clear();
    m_table.clear();
    m_keyField = -1;
    const int columnCount = engineStatement.ColumnCount();
    std::vector<TResultColumn> columns;
    std::string table;
    bool singleTable = true;
    for (int c = 0; c < columnCount; ++c) {
        columns.push_back(engineStatement.Column(c));
        m_columns.push_back(columns.back().origin);
        const std::string& columnTable = columns.back().table;
        if (columnTable.empty())
            continue;
        if (table.empty())
            table = columnTable;
        else if (table != columnTable)
            singleTable = false;
    }
    const TTableKey* key = nullptr;
    if (!table.empty() && singleTable) {
        key = &connection.TableKey(table);
        for (int c = 0; c < columnCount; ++c)
            if (!key->column.empty() && !m_columns[static_cast<std::size_t>(c)].empty() &&
                EqualsIgnoreCase(m_columns[static_cast<std::size_t>(c)], key->column))
                m_keyField = c;
        if (m_keyField >= 0)
            m_table = table;
    }
    std::vector<std::unique_ptr<TField>> made;
    bool kindsFromValues = false;
    for (int c = 0; c < columnCount; ++c) {
        const std::string& origin = m_columns[static_cast<std::size_t>(c)];
        const bool plainColumn = !origin.empty();
        int size = 0;
        std::optional<TFieldKind> kind;
        bool readOnly = !plainColumn;
        if (plainColumn) {
            if (key && key->assignedByEngine && EqualsIgnoreCase(origin, key->column)) {
                kind = TFieldKind::AutoInc;
                readOnly = true;
            } else {
                kind = KindFromDeclaredType(columns[static_cast<std::size_t>(c)].declaredType, size);
            }
        }
        if (!kind) {
            kindsFromValues = true;
            kind = KindFromValueType(hasRow ? engineStatement.ValueType(c) : TFieldValue::Text);
            size = 0;
        }
        made.push_back(std::make_unique<TField>(owner, c, std::move(columns[static_cast<std::size_t>(c)].name), *kind,
                                                size, readOnly));
    }
    fields = std::move(made);
    if (!kindsFromValues) {
        m_statement = statement.Serial();
        m_generation = generation;
    }
}

[[gnu::hot]] void TResultLayout::KeepFields(std::vector<std::unique_ptr<TField>>& fields) noexcept {
    m_spareFields.swap(fields);
    fields.clear();
}
