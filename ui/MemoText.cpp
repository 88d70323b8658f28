// The text boxes' text as the program stores it (CR LF line breaks, given texts kept exactly) and
// their wrapping of very long lines.
#include "MemoText.h"

#include <QPlainTextEdit>
#include <QScopeGuard>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextLayout>
#include <QVariant>

namespace {

// Names of the dynamic properties through which SetMemoText remembers what it was given.
constexpr const char* StoredMemoTextProperty = "tamrixStoredMemoText";
constexpr const char* ShownMemoTextProperty = "tamrixShownMemoText";

// Wrapping at words, Qt looks ahead for the next break opportunity before each line it lays out,
// so a run without one (a pasted blob of letters, a long address) costs the square of its length:
// one line of 1 MB took a minute. Over this budget (the squared run lengths added up, about 0.1 s of
// layout) a text is wrapped anywhere; such a run is wider than a line and is cut anywhere either way.
constexpr double WordWrapBudget = 1e9;
// Shorter texts cannot exceed the budget and are not scanned.
constexpr qsizetype WordWrapScanLength = 31623;
// Blocks at least this long keep their layout, which Qt otherwise rebuilds for every cursor paint.
constexpr int LongBlockLength = 10000;

// The text box SetMemoText is filling; it has chosen the wrap mode for the new text already.
const QPlainTextEdit* g_memoBeingSet = nullptr;

QTextOption::WrapMode WrapModeFor(const QString& text) {
    if (text.size() < WordWrapScanLength)
        return QTextOption::WrapAtWordBoundaryOrAnywhere;
    QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text);
    double cost = 0;
    qsizetype runStart = 0;
    for (qsizetype at = breaks.toNextBoundary(); at >= 0; at = breaks.toNextBoundary()) {
        const auto run = static_cast<double>(at - runStart);
        cost += run * run;
        if (cost > WordWrapBudget)
            return QTextOption::WrapAnywhere;
        runStart = at;
    }
    return QTextOption::WrapAtWordBoundaryOrAnywhere;
}

} // namespace

QString MemoText(const QPlainTextEdit* memo) {
    // The raw text keeps every character as the user sees it (plain text would turn a no-break space
    // into a blank); blocks are separated by U+2029.
    const QString shown = memo->document()->toRawText();
    const QVariant remembered = memo->property(ShownMemoTextProperty);
    if (remembered.isValid() && remembered.toString() == shown)
        return memo->property(StoredMemoTextProperty).toString();
    QString text = shown;
    text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    // Shift+Enter puts a line separator into the box; for the user it is a line break like any other.
    text.replace(QChar::LineSeparator, QLatin1String("\r\n"));
    return text;
}

void SetMemoText(QPlainTextEdit* memo, const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    // A lone CR would otherwise become a paragraph break of its own; show it as the line break it is.
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QTextOption::WrapMode wrapMode = WrapModeFor(shown);
    if (memo->wordWrapMode() != wrapMode) {
        // Laying out the old text again in the new mode could be the very slowness being avoided.
        memo->clear();
        memo->setWordWrapMode(wrapMode);
    }
    g_memoBeingSet = memo;
    const auto settled = qScopeGuard([] { g_memoBeingSet = nullptr; });
    memo->setPlainText(shown);
    memo->setProperty(StoredMemoTextProperty, text);
    memo->setProperty(ShownMemoTextProperty, memo->document()->toRawText());
}

void FitMemoForLongLines(QPlainTextEdit* memo) {
    QTextDocument* document = memo->document();
    // Runs before the document lays out the changed blocks, so they are laid out once, in the right mode.
    QObject::connect(document, &QTextDocument::contentsChange, memo, [memo, document](int from, int, int added) {
        for (QTextBlock block = document->findBlock(from); block.isValid() && block.position() <= from + added;
             block = block.next()) {
            if (block.length() < LongBlockLength)
                continue;
            block.layout()->setCacheEnabled(true);
            if (memo != g_memoBeingSet && memo->wordWrapMode() != QTextOption::WrapAnywhere &&
                WrapModeFor(block.text()) == QTextOption::WrapAnywhere)
                memo->setWordWrapMode(QTextOption::WrapAnywhere);
        }
    });
}
