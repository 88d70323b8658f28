// TField: one column of a record set's result, always read from (and written into) the record
// set's current row. Reading costs a walk over the row's few cells; writing only touches the row
// being edited or inserted, and nothing reaches the database before Post.
#include "Field.h"

#include "ADOQuery.h"
#include "DatabaseErrors.h"
#include "FieldValue.h"

#include <charconv>
#include <cstdio>

namespace {

// A UTF-8 continuation byte is 10xxxxxx.
constexpr unsigned char kUtf8LeadBits = 0xC0;
constexpr unsigned char kUtf8Continuation = 0x80;
// Room for the shortest text that reads back as any double.
constexpr std::size_t kRealTextRoom = 32;

// The leading maxCharacters code points of text; a cut never splits a UTF-8 sequence.
std::string_view LeadingCharacters(std::string_view text, int maxCharacters) {
    int count = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & kUtf8LeadBits) != kUtf8Continuation) {
            if (count == maxCharacters)
                return text.substr(0, i);
            ++count;
        }
    }
    return text;
}

std::string RealToText(double value) {
    char buffer[kRealTextRoom];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

} // namespace

[[gnu::hot]] bool TField::IsNull() const {
    return m_dataSet.CurrentIsNull(m_index);
}

std::string TField::AsString() const {
    return TADOQuery::ValueText(m_dataSet.CurrentValue(m_index));
}

[[gnu::hot]] std::int64_t TField::AsInteger() const {
    if (std::int64_t stored = 0; m_dataSet.CurrentInteger(m_index, stored))
        return stored;
    const TFieldValue value = m_dataSet.CurrentValue(m_index);
    switch (value.type) {
    case TFieldValue::Null:
        return 0;
    case TFieldValue::Int:
        return value.integer;
    case TFieldValue::Real:
        if (const auto integer = ExactInteger(value.real))
            return *integer;
        throw EDatabaseError("'" + RealToText(value.real) + "' is not a valid integer value");
    case TFieldValue::Text:
    case TFieldValue::Blob:
        break;
    }
    std::int64_t result = 0;
    const char* begin = value.text.data();
    const char* end = begin + value.text.size();
    auto [ptr, ec] = std::from_chars(begin, end, result);
    if (value.text.empty() || ec != std::errc() || ptr != end)
        throw EDatabaseError("'" + value.text + "' is not a valid integer value");
    return result;
}

void TField::SetAsString(std::string_view value) {
    m_dataSet.CheckCanAssign(*this);
    TFieldValue stored;
    switch (m_kind) {
    case TFieldKind::Integer:
    case TFieldKind::AutoInc: {
        if (value.empty())
            break; // NULL
        std::int64_t number = 0;
        auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || ptr != value.data() + value.size())
            throw EDatabaseError("'" + std::string(value) + "' is not a valid integer value");
        stored = TFieldValue::FromInt(number);
        break;
    }
    case TFieldKind::Float: {
        if (value.empty())
            break;
        double number = 0;
        auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (ec != std::errc() || ptr != value.data() + value.size())
            throw EDatabaseError("'" + std::string(value) + "' is not a valid floating point value");
        stored.type = TFieldValue::Real;
        stored.real = number;
        break;
    }
    case TFieldKind::Text:
        stored = TFieldValue::FromText(std::string(m_size > 0 ? LeadingCharacters(value, m_size) : value));
        break;
    case TFieldKind::Memo:
        if (!value.empty())
            stored = TFieldValue::FromText(std::string(value));
        break;
    }
    m_dataSet.AssignValue(m_index, std::move(stored));
}

void TField::SetAsInteger(std::int64_t value) {
    m_dataSet.CheckCanAssign(*this);
    if (m_kind == TFieldKind::Text || m_kind == TFieldKind::Memo) {
        SetAsString(std::to_string(value));
        return;
    }
    m_dataSet.AssignValue(m_index, TFieldValue::FromInt(value));
}

void TField::Clear() {
    m_dataSet.CheckCanAssign(*this);
    m_dataSet.AssignValue(m_index, TFieldValue());
}

std::string TADOQuery::ValueText(const TFieldValue& value) {
    switch (value.type) {
    case TFieldValue::Null:
        return {};
    case TFieldValue::Int:
        return std::to_string(value.integer);
    case TFieldValue::Real:
        return RealToText(value.real);
    case TFieldValue::Text:
    case TFieldValue::Blob:
        return value.text;
    }
    return {};
}
