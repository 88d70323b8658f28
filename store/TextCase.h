#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// SQL names: ASCII letter case (column, table and field names match without regard to case; bytes
// outside ASCII, such as UTF-8 sequences, compare as they are) and quoting.

// The one ASCII case fold of the store: letters to upper case, every other byte as it is.
inline char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

inline std::string UpperAscii(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), AsciiUpper);
    return upper;
}

// name as a quoted SQL identifier: between double quotes, a double quote inside doubled.
inline std::string QuoteIdentifier(std::string_view name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"')
            quoted.push_back('"');
        quoted.push_back(c);
    }
    return quoted + "\"";
}
