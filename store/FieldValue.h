#pragma once

#include <cstdint>
#include <string>

// One cell's value as the record set holds it while a row is edited or inserted, and as it is read
// from the compact row store.
struct TFieldValue {
    enum Type : std::uint8_t { Null, Int, Real, Text };
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
