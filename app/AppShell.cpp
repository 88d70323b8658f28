// The application shell: the title, the three boxes through which the program speaks outside its
// windows, the guard around every entry point from Qt, the program font and the program's run.
#include "AppShell.h"

#include "BusyPointer.h"
#include "DatabaseErrors.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileInfo>
#include <QFont>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextBoundaryFinder>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>
#include <QTranslator>
#include <QVariant>

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <typeinfo>

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

// Box texts are plain text: an engine message holding "<" must not turn into markup, and the boxes
// show line breaks as "\n" only.
QString BoxText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return shown;
}

// The program's message boxes stand centred on the screen, frame included.
class TScreenCentredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        if (!event->spontaneous())
            CentreWindowOnScreen(this);
    }
};

void PrepareBox(QMessageBox& box, QMessageBox::Icon icon, const QString& caption, const QString& text) {
    box.setIcon(icon);
    box.setWindowTitle(caption);
    box.setTextFormat(Qt::PlainText);
    box.setText(BoxText(text));
}

// A box with the stop icon and one OK button, modal to every window of the program.
void ShowStopBox(const QString& caption, const QString& text) {
    TScreenCentredBox box;
    PrepareBox(box, QMessageBox::Critical, caption, text);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

QString DemangledTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> name(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                     &std::free);
    return QString::fromLatin1(status == 0 && name ? name.get() : type.name());
}

struct ExceptionFacts {
    QString className;
    QString message;
    const void* address = nullptr;
};

// What the boxes tell about the exception in flight; must be called from a catch block.
ExceptionFacts CurrentExceptionFacts() {
    try {
        throw;
    } catch (const Exception& error) {
        return {QString::fromLatin1(error.ClassName()), QString::fromStdString(error.Message()), &error};
    } catch (const std::exception& error) {
        return {DemangledTypeName(typeid(error)), QString::fromUtf8(error.what()), &error};
    } catch (...) {
        return {QStringLiteral("Exception"), QCoreApplication::translate("AppShell", "Unknown exception"), nullptr};
    }
}

} // namespace

QString ApplicationTitleFromFileName(const QString& executableFileName) {
    QString name = executableFileName.mid(executableFileName.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        name.truncate(dot);
    if (name.size() > 1)
        name = name.left(1) + name.mid(1).toLower();
    return name;
}

QString ApplicationTitle() {
    return ApplicationTitleFromFileName(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

QString ExecutableDirectory(const QString& executablePath) {
    QString directory = QFileInfo(executablePath).absolutePath();
    if (!directory.endsWith(QLatin1Char('/')))
        directory += QLatin1Char('/');
    return directory;
}

void ShowMessage(const QString& text) {
    // No parent: the box belongs to no window.
    TScreenCentredBox box;
    PrepareBox(box, QMessageBox::NoIcon, ApplicationTitle(), text);
    // Our own "OK" rather than the standard button, whose caption may be translated or carry a mnemonic:
    // this box says "OK" in every language.
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool ConfirmYesNo(const QString& text, const QString& caption) {
    // A box without any parent would itself be blocked while a modal dialog (the editor) is open,
    // so it hangs off the dialog that is modal now; it still blocks nothing and is centred on the
    // screen like a box without owner.
    TScreenCentredBox box(QApplication::activeModalWidget());
    PrepareBox(box, QMessageBox::NoIcon, caption, text);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    // Not modal: the program's windows stay enabled, only the asking handler waits for the answer.
    box.setWindowModality(Qt::NonModal);
    QEventLoop answered;
    QObject::connect(&box, &QMessageBox::finished, &answered, &QEventLoop::quit);
    box.show();
    answered.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void ShowErrorBox(const QString& message) {
    ShowStopBox(ApplicationTitle(), ErrorBoxText(message));
}

bool Guarded(const std::function<void()>& body) {
    const TBusyScope busy;
    QString message;
    try {
        body();
        return true;
    } catch (...) {
        message = CurrentExceptionFacts().message;
    }
    // Shown after the catch block has ended, so the box's own loop does not run inside the handler.
    try {
        ShowErrorBox(message);
    } catch (...) {
        // Nothing is left to tell the user with; the exception still must not reach Qt.
    }
    return false;
}

bool GuardedDialogClose(QDialog& dialog, const std::function<void()>& closeHandler) {
    if (Guarded(closeHandler))
        return true;
    dialog.setResult(0);
    return false;
}

void InstallProgramFont() {
    const QString family = QStringLiteral("宋体");
    // A Song face first, as the program was drawn with one, then whatever CJK face the machine has;
    // without any of them fontconfig still picks a face that has the characters.
    QFont::insertSubstitutions(family, {QStringLiteral("AR PL UMing CN"), QStringLiteral("AR PL UMing TW"),
                                        QStringLiteral("AR PL SungtiL GB"), QStringLiteral("Noto Serif CJK SC"),
                                        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Source Han Serif SC"),
                                        QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("WenQuanYi Micro Hei"),
                                        QStringLiteral("Droid Sans Fallback")});
    QFont font(family);
    font.setPixelSize(12);
    QApplication::setFont(font);
}

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

QString StartupFailureText(const QString& className, const QString& moduleName, const void* address,
                           const QString& message) {
    const QString addressText = QString::number(reinterpret_cast<std::uintptr_t>(address), 16)
                                    .toUpper()
                                    .rightJustified(sizeof(void*) * 2, QLatin1Char('0'));
    const QString period = !message.isEmpty() && !message.endsWith(QLatin1Char('.')) ? QStringLiteral(".") : QString();
    return QCoreApplication::translate("AppShell", "Exception %1 in module %2 at %3.\r\n%4%5\r\n")
        .arg(className, moduleName, addressText, message, period);
}

void ShowStartupFailure() {
    const ExceptionFacts facts = CurrentExceptionFacts();
    const QString text = StartupFailureText(
        facts.className, QFileInfo(QCoreApplication::applicationFilePath()).fileName(), facts.address, facts.message);
    ShowStopBox(QCoreApplication::translate("AppShell", "Application Error"), text);
}

void InstallQtTranslations() {
    static QTranslator* installed = nullptr;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    auto translator = std::make_unique<QTranslator>();
    if (translator->load(QLocale(), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installed = translator.release();
        QCoreApplication::installTranslator(installed);
    }
}

int RunApplication(const std::function<void()>& createWindowSet, const std::function<void()>& showMainWindow,
                   const std::function<void()>& destroyWindowSet) {
    bool started = false;
    try {
        InstallQtTranslations();
        InstallProgramFont();
        createWindowSet();
        started = true;
    } catch (...) {
        ShowStartupFailure();
    }
    if (!started) {
        try {
            destroyWindowSet();
        } catch (...) {
            // The process ends with the failure already reported.
        }
        return 1;
    }
    // The loop's first act is to show the main window.
    QTimer::singleShot(0, qApp, [&showMainWindow] { Guarded(showMainWindow); });
    const int exitCode = QApplication::exec();
    destroyWindowSet();
    return exitCode;
}
