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
constexpr const char* ShownMemoTextProperty = "tamrixShownMemoTextHash";

// Wrapping at words, Qt looks ahead for the next break opportunity before each line it lays out,
// so a run without one (a pasted blob of letters, a long address) costs the square of its length:
// one line of 1 MB took a minute. Over this budget (the squared run lengths added up, about 0.1 s of
// layout) a text is wrapped anywhere; such a run is wider than a line and is cut anywhere either way.
constexpr double WordWrapBudget = 1e9;
// Shorter texts cannot exceed the budget and are not scanned.
constexpr qsizetype WordWrapScanLength = 31623;
// Longer texts are analysed in pieces of about this many characters, cut after a line break.
constexpr qsizetype WordWrapPieceLength = 1 << 16;
// Blocks at least this long keep their layout, which Qt otherwise rebuilds for every cursor paint.
constexpr int LongBlockLength = 10000;

// The text box SetMemoText is filling; it has chosen the wrap mode for the new text already.
const QPlainTextEdit* g_memoBeingSet = nullptr;

QTextOption::WrapMode WrapModeFor(const QString& text) {
    if (text.size() < WordWrapScanLength)
        return QTextOption::WrapAtWordBoundaryOrAnywhere;
    // A line break ends every run, so the text is analysed in pieces of whole lines: the analysis
    // takes a byte per character of what it is given, which for a text of hundreds of megabytes
    // would be a copy of its own.
    double cost = 0;
    for (qsizetype pieceStart = 0; pieceStart < text.size();) {
        qsizetype pieceEnd = text.size();
        if (pieceStart + WordWrapPieceLength < text.size()) {
            const qsizetype lineEnd = text.indexOf(QLatin1Char('\n'), pieceStart + WordWrapPieceLength);
            if (lineEnd >= 0)
                pieceEnd = lineEnd + 1;
        }
        QTextBoundaryFinder breaks(QTextBoundaryFinder::Line, text.constData() + pieceStart, pieceEnd - pieceStart);
        qsizetype runStart = 0;
        for (qsizetype at = breaks.toNextBoundary(); at >= 0; at = breaks.toNextBoundary()) {
            const auto run = static_cast<double>(at - runStart);
            cost += run * run;
            if (cost > WordWrapBudget)
                return QTextOption::WrapAnywhere;
            runStart = at;
        }
        pieceStart = pieceEnd;
    }
    return QTextOption::WrapAtWordBoundaryOrAnywhere;
}

// Turns the text into what the box holds, in place: CR LF and a lone CR become LF. One pass;
// QString::replace moves the rest of the text for every CR LF it shortens, which made a text of many
// lines cost its square.
void ToShownText(QString& text) {
    if (!text.contains(QLatin1Char('\r')))
        return;
    QChar* data = text.data();
    const qsizetype size = text.size();
    qsizetype out = 0;
    for (qsizetype in = 0; in < size; ++in) {
        if (data[in] == QLatin1Char('\r')) {
            data[out++] = QLatin1Char('\n');
            if (in + 1 < size && data[in + 1] == QLatin1Char('\n'))
                ++in;
        } else {
            data[out++] = data[in];
        }
    }
    text.truncate(out);
}

// Whether the box's own text gives this text back as MemoText rebuilds it (every block break as CR
// LF): its line breaks are all CR LF and it holds no other character that the box turns into a break.
// Such a text need not be remembered beside the box's copy.
bool RebuiltExactly(const QString& text) {
    const QChar* data = text.constData();
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        switch (data[i].unicode()) {
        case u'\r':
            if (i + 1 == size || data[i + 1] != QLatin1Char('\n'))
                return false;
            ++i;
            break;
        case u'\n':
        case QChar::ParagraphSeparator:
        case QChar::LineSeparator:
        case 0xFDD0: // the frame marks, which the box also takes for block breaks
        case 0xFDD1:
            return false;
        default:
            break;
        }
    }
    return true;
}

// What MemoText compares the box's text with: a hash of the text the box held when SetMemoText
// filled it, instead of a copy of it, which for a long text would be one more of its largest copies.
qulonglong ShownTextFingerprint(const QString& rawText) {
    return qHash(rawText, static_cast<size_t>(rawText.size()));
}

} // namespace

QString MemoText(const QPlainTextEdit* memo) {
    // The raw text keeps every character as the user sees it (plain text would turn a no-break space
    // into a blank); blocks are separated by U+2029.
    const QString shown = memo->document()->toRawText();
    const QVariant remembered = memo->property(ShownMemoTextProperty);
    if (remembered.isValid() && remembered.toULongLong() == ShownTextFingerprint(shown))
        return memo->property(StoredMemoTextProperty).toString();
    QString text = shown;
    text.replace(QChar::ParagraphSeparator, QLatin1String("\r\n"));
    // Shift+Enter puts a line separator into the box; for the user it is a line break like any other.
    text.replace(QChar::LineSeparator, QLatin1String("\r\n"));
    return text;
}

void SetMemoText(QPlainTextEdit* memo, QString text) {
    // A text of hundreds of megabytes is held as few times as can be: a text given over is converted
    // in place, and only one the box would not give back exactly is remembered beside it.
    const bool rebuilt = RebuiltExactly(text);
    {
        QString shown = rebuilt ? std::move(text) : text;
        ToShownText(shown);
        const QTextOption::WrapMode wrapMode = WrapModeFor(shown);
        if (memo->wordWrapMode() != wrapMode) {
            // Laying out the old text again in the new mode could be the very slowness being avoided.
            memo->clear();
            memo->setWordWrapMode(wrapMode);
        }
        g_memoBeingSet = memo;
        const auto settled = qScopeGuard([] { g_memoBeingSet = nullptr; });
        memo->setPlainText(shown);
    }
    if (rebuilt) {
        memo->setProperty(StoredMemoTextProperty, QVariant());
        memo->setProperty(ShownMemoTextProperty, QVariant());
        return;
    }
    memo->setProperty(StoredMemoTextProperty, text);
    memo->setProperty(ShownMemoTextProperty, ShownTextFingerprint(memo->document()->toRawText()));
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
