#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TADOQuery;

// What a field holds, taken from the column's declared type.
enum class TFieldKind {
    AutoInc, // the table's integer key, assigned by the database; read-only
    Integer, // 64-bit signed, the engine's full width
    Float,   // only for expressions or REAL columns
    Text,    // at most Size() characters (code points)
    Memo,    // long text of any length
};

// One column of a record set's result. A field always refers to the record set's current row (or
// the row being edited or inserted). Fields live as long as the record set stays open; a close
// destroys them.
class TField {
public:
    TField(TADOQuery& dataSet, int index, std::string name, TFieldKind kind, int size, bool readOnly)
        : m_dataSet(dataSet), m_index(index), m_name(std::move(name)), m_kind(kind), m_size(size),
          m_readOnly(readOnly) {}

    const std::string& FieldName() const { return m_name; }
    int Index() const { return m_index; }
    TFieldKind Kind() const { return m_kind; }
    int Size() const { return m_size; } // characters for Text, 0 otherwise
    bool ReadOnly() const { return m_readOnly; }
    TADOQuery& DataSet() const { return m_dataSet; }

    // True for NULL and when there is no current row.
    bool IsNull() const;
    // Empty text for NULL; decimal digits for integers; a BLOB's bytes as they are.
    std::string AsString() const;
    // 0 for NULL; a real or a text must hold an integer exactly (3.0, "42"), else EDatabaseError
    // "'%s' is not a valid integer value": a key is never narrowed or rounded into another record's.
    std::int64_t AsInteger() const;

    // Edit or insert state only ("Dataset not in edit or insert mode" otherwise); a read-only field
    // raises "Field '%s' cannot be modified". Text is cut to Size() characters; the empty text goes
    // into a Memo field as NULL.
    void SetAsString(std::string_view value);
    void SetAsInteger(std::int64_t value);
    void Clear(); // assigns NULL

private:
    TADOQuery& m_dataSet;
    int m_index;
    std::string m_name;
    TFieldKind m_kind;
    int m_size;
    bool m_readOnly;
};
