#pragma once

#include "DatabaseEngine.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Statement text translation: a record set's statement lines into the text the engine is given (see
// StatementText.cpp for the rules and costs).

// An integer literal lifted into a binding: where it stands in the text, and its binding.
struct TLiftedLiteral {
    std::size_t start;
    std::size_t end;
    std::size_t binding;
};

// What a translation gives: the engine's text and a binding per parameter marker, NULL for the
// markers of the text and the integer for a lifted literal.
struct TTranslation {
    std::string text;
    std::vector<std::optional<std::int64_t>> bindings;
    std::vector<TLiftedLiteral> lifted;
};

// Translates text into out (whose buffers are reused), the markers spelled as markers says.
void TranslateStatement(const std::string& text, TDialect::TMarkers markers, TTranslation& out);

// Whether text is source (the text a translation was made from) but for the integers of its lifted
// literals; their values then replace the translation's bindings, which stands for text as well.
bool SameShape(std::string_view text, std::string_view source, const std::vector<TLiftedLiteral>& lifted,
               std::vector<std::optional<std::int64_t>>& bindings);

// The statement's lines into text, each ended by CR LF (text keeps its memory for the next join).
void JoinLines(const std::vector<std::string>& lines, std::string& text);

// A record set's statement as last translated, kept so that a reopen of the same text (but for its
// lifted integers) is not translated again.
class TStatementText {
public:
    // Takes lines as the statement; false when the translation of the last call stands (only the
    // lifted integers' bindings changed).
    bool Take(const std::vector<std::string>& lines, TDialect::TMarkers markers);
    const std::string& Translated() const { return m_translation.text; }
    // Binds the lifted literals and NULL to the parameter markers of statement.
    void BindTo(TEngineStatement& statement) const;

private:
    std::string m_joined;
    std::string m_source; // the single line of the statement, or its whole text
    bool m_sourceIsLine = false;
    TTranslation m_translation;
};
