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
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>
#include <QTranslator>

#include <cxxabi.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

// The character height of the program's font, in pixels.
constexpr int ProgramFontPixelSize = 12;

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
    font.setPixelSize(ProgramFontPixelSize);
    QApplication::setFont(font);
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
