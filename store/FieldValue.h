#pragma once

#include <cstdint>
#include <optional>
#include <string>

// One cell's value as the record set holds it while a row is edited or inserted, and as it is read
// from the compact row store. Text is UTF-8 (also from a database that stores UTF-16); a BLOB keeps
// its bytes in `text` but stays a BLOB, so that it is written back and compared as one.
struct TFieldValue {
    enum Type : std::uint8_t { Null, Int, Real, Text, Blob };
    Type type = Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string text;

    bool IsNull() const { return type == Null; }
    static TFieldValue FromInt(std::int64_t v) {
        TFieldValue value;
        value.type = Int;
        value.integer = v;
        return value;
    }
    static TFieldValue FromText(std::string v) {
        TFieldValue value;
        value.type = Text;
        value.text = std::move(v);
        return value;
    }
};

// The integer a real holds exactly, when it holds one in 64 bits: 3.0 gives 3; 2.5, 1e19 and NaN give
// none.
inline std::optional<std::int64_t> ExactInteger(double real) {
    constexpr double kTwoTo63 = 9223372036854775808.0; // exact as a double; one past the largest int64
    if (!(real >= -kTwoTo63 && real < kTwoTo63))
        return std::nullopt;
    const auto integer = static_cast<std::int64_t>(real);
    if (static_cast<double>(integer) != real)
        return std::nullopt;
    return integer;
}
