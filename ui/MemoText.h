#pragma once

#include <QString>

class QPlainTextEdit;

// A text box's text with CR LF line breaks, as the program stores and compares it, and the reverse
// (the widget itself holds plain "\n" breaks). Text the user has not changed since SetMemoText comes
// back exactly as it was given, lone CR or LF included; once changed, every line break the box shows
// comes back as CR LF. A text handed over with std::move is converted where it lies.
QString MemoText(const QPlainTextEdit* memo);
void SetMemoText(QPlainTextEdit* memo, QString text);
// Keeps a word-wrapping text box quick with very long lines (a pasted text of megabytes without line
// breaks): such a line keeps its layout between paints and cursor moves, and a text whose runs without
// a break opportunity would make wrapping at words cost more than a fraction of a second is wrapped
// anywhere instead. Call once, when the box is created; SetMemoText and the user's edits are covered.
void FitMemoForLongLines(QPlainTextEdit* memo);
