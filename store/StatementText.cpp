// Statement text translation: what the engine is given for a record set's statement.
//
// A colon outside quoted text that is not doubled starts a parameter marker, which runs to the next
// blank, comma, semicolon, closing parenthesis or line break and becomes the engine's marker (bound
// to NULL: the program supplies no values); a doubled colon stands for one colon. Quoted text starts
// at any of the three quote characters and ends only at the same character (a doubled one inside
// stays quoted), so a criterion between single quotes stays one literal whatever it holds. An
// integer literal of at most kLiftedDigits digits right after a comparison operator is lifted into a
// binding as well, so that statements differing only in such a number share one prepared statement.
// A comment outside quoted text (from "--" to the line's end, or between "/*" and "*/") passes
// through as it is: a colon, a quote or a number in it is no part of the statement, and a marker
// made of it would shift every binding after it onto the wrong parameter.
//
// Costs: a translation is one pass over the text, skipping with strcspn to the characters it looks
// at, into kept buffers. A reopen of a one-line statement with other integers (a handler's statement
// for one row after another) is not translated again: SameShape compares the text between the
// literals as blocks and reads the new integers.
#include "StatementText.h"

#include <algorithm>
#include <cstring>

namespace {

// Up to 18 digits always fit a signed 64-bit integer; a longer literal stays in the text.
constexpr std::size_t kLiftedDigits = 18;
// Characters the translation looks at outside quoted text.
constexpr const char* kTokenCharacters = "'\"`:-/0123456789";
// Where a parameter marker's name ends.
constexpr const char* kMarkerEnds = " ,;)\r\n";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::int64_t DigitsValue(std::string_view digits) {
    std::int64_t value = 0;
    for (const char digit : digits)
        value = value * 10 + (digit - '0');
    return value;
}

bool IsIdentifierChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || u >= 0x80;
}

// A number's digits continue into a name or a decimal part.
bool ContinuesNumber(char c) {
    return IsIdentifierChar(c) || c == '.';
}

bool IsQuote(char c) {
    return c == '\'' || c == '"' || c == '`';
}

// Where the comment that starts at i ends (its line break stays in the text); i + 1 when none starts.
std::size_t CommentEnd(const std::string& text, std::size_t i) {
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (text[i] == '-' && next == '-')
        return std::min(text.find('\n', i + 2), text.size());
    if (text[i] == '/' && next == '*') {
        const std::size_t close = text.find("*/", i + 2);
        return close == std::string::npos ? text.size() : close + 2;
    }
    return i + 1;
}

} // namespace

void TranslateStatement(const std::string& text, TDialect::TMarkers markers, TTranslation& translation) {
    std::string& out = translation.text;
    auto& bindings = translation.bindings;
    out.clear();
    bindings.clear();
    translation.lifted.clear();
    std::size_t copied = 0; // text before this is in out
    const TDialect dialect{markers};
    const auto replaceByMarker = [&](std::size_t from, std::size_t to) {
        out.append(text, copied, from - copied);
        out += dialect.Marker(bindings.size() + 1);
        copied = to;
    };
    char quote = 0; // the quote character that opened the quoted text we are in
    for (std::size_t i = 0; i < text.size();) {
        // Letters, blanks and operators pass through as they are (a NUL byte as well).
        if (!quote) {
            i += std::strcspn(text.c_str() + i, kTokenCharacters);
            if (i == text.size())
                break;
            if (text[i] == '\0') {
                ++i;
                continue;
            }
        }
        const char c = text[i];
        if (quote) {
            if (c == quote)
                quote = 0;
            ++i;
        } else if (IsQuote(c)) {
            quote = c;
            ++i;
        } else if (c == '-' || c == '/') {
            i = CommentEnd(text, i);
        } else if (c == ':') {
            if (i + 1 < text.size() && text[i + 1] == ':') {
                out.append(text, copied, i + 1 - copied);
                copied = i + 2;
                i += 2;
                continue;
            }
            std::size_t end = i + 1;
            while (end < text.size() && !std::strchr(kMarkerEnds, text[end]))
                ++end;
            replaceByMarker(i, end);
            bindings.emplace_back(std::nullopt);
            i = end;
        } else if (IsDigit(c) && (i == 0 || !ContinuesNumber(text[i - 1]))) {
            std::size_t end = i;
            while (end < text.size() && IsDigit(text[end]))
                ++end;
            const bool standsAlone = end == text.size() || !ContinuesNumber(text[end]);
            std::size_t before = i;
            while (before > 0 && (text[before - 1] == ' ' || text[before - 1] == '\t'))
                --before;
            const bool afterComparison = before > 0 && std::strchr("=<>", text[before - 1]);
            if (standsAlone && afterComparison && end - i <= kLiftedDigits) {
                translation.lifted.push_back({i, end, bindings.size()});
                replaceByMarker(i, end);
                bindings.emplace_back(DigitsValue(std::string_view(text).substr(i, end - i)));
            }
            i = end;
        } else {
            ++i;
        }
    }
    out.append(text, copied, std::string::npos);
}

[[gnu::hot]] bool SameShape(std::string_view text, std::string_view source, const std::vector<TLiftedLiteral>& lifted,
                            std::vector<std::optional<std::int64_t>>& bindings) {
    std::size_t from = 0; // in source
    std::size_t at = 0;   // in text
    for (const TLiftedLiteral& literal : lifted) {
        const std::size_t between = literal.start - from;
        if (text.size() - at < between || std::memcmp(text.data() + at, source.data() + from, between) != 0)
            return false;
        at += between;
        std::size_t end = at;
        while (end < text.size() && IsDigit(text[end]))
            ++end;
        if (end == at || end - at > kLiftedDigits || (end < text.size() && ContinuesNumber(text[end])))
            return false;
        bindings[literal.binding] = DigitsValue(text.substr(at, end - at));
        at = end;
        from = literal.end;
    }
    return text.size() - at == source.size() - from &&
           std::memcmp(text.data() + at, source.data() + from, source.size() - from) == 0;
}

void JoinLines(const std::vector<std::string>& lines, std::string& text) {
    text.clear();
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
}

[[gnu::hot]] bool TStatementText::Take(const std::vector<std::string>& lines, TDialect::TMarkers markers) {
    const bool oneLine = lines.size() == 1;
    if (oneLine && m_sourceIsLine && !m_translation.text.empty() &&
        SameShape(lines.front(), m_source, m_translation.lifted, m_translation.bindings))
        return false;
    JoinLines(lines, m_joined);
    TranslateStatement(m_joined, markers, m_translation);
    m_source = oneLine ? lines.front() : m_joined;
    m_sourceIsLine = oneLine;
    return true;
}

[[gnu::hot]] void TStatementText::BindTo(TEngineStatement& statement) const {
    statement.BindParameters(m_translation.bindings);
}
