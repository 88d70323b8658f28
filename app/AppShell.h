#pragma once

#include <QString>

#include <exception>
#include <functional>

class QDialog;
class QWidget;

// The program's title: the executable's file name cut at its first ".", every character after the
// first lower-cased ("TamrixData" gives "Tamrixdata").
QString ApplicationTitleFromFileName(const QString& executableFileName);
QString ApplicationTitle();

// The directory of an executable given by its path, absolute and ending with "/". Relative paths are
// taken from the current directory.
QString ExecutableDirectory(const QString& executablePath);

// Plain information box: caption the application title, no icon, one "OK" button (Enter, Esc and
// Space press it), centred on the screen, modal to all windows of the program.
void ShowMessage(const QString& text);

// Yes/no confirmation without owner: the program's windows stay usable while it waits. True only
// for Yes.
bool ConfirmYesNo(const QString& text, const QString& caption);

// The error box text: the message, with "." appended when it is not empty and its last character
// sorts after ".".
QString ErrorBoxText(const QString& message);
// The top-level error box: caption the application title, stop icon, one OK button.
void ShowErrorBox(const QString& message);

// Runs body; any exception it raises is shown in the error box and never passes this frame.
// Every entry point from Qt into the program's code (slots, event overrides, close handlers) runs
// its body through this. Returns false when an error was shown.
bool Guarded(const std::function<void()>& body);

// For a dialog's close handler, called from the dialog's done() override before the dialog closes:
//
//     void TFormX::done(int result) {
//         if (GuardedDialogClose(*this, [this] { FormClose(); }))
//             QDialog::done(result);
//     }
//
// Escape, the close box and accept()/reject() all end in done(), so this covers every way out.
// When the handler raises, the error box is shown, the dialog's result is reset to none (0) and the
// result is false: the dialog must then stay open. True when the handler ran through.
bool GuardedDialogClose(QDialog& dialog, const std::function<void()>& closeHandler);

// Loads Qt's own translations (qtbase_*.qm) for the default locale, replacing those loaded before:
// the edits' context menus and the standard buttons of the error box and the confirmation follow the
// user's language. The program's own texts are Chinese in every language. Call after the
// QApplication exists.
void InstallQtTranslations();

// The program's font ("宋体" at 12 pixels, mapped to an installed Song/CJK face) for the whole
// application; call once after the QApplication exists.
void InstallProgramFont();

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

// The text of the start-up failure box "Application Error".
QString StartupFailureText(const QString& className, const QString& moduleName, const void* address,
                           const QString& message);
// Shows the start-up failure box for the exception in flight (call from a catch block).
void ShowStartupFailure();

// The program's run: start-up (title, Qt's translations, font, createWindowSet), then the event loop
// whose first act is showMainWindow, then destroyWindowSet once the loop has ended. An error escaping
// start-up shows the start-up failure box instead of the error box, destroys what was created and
// gives exit code 1. Returns the process's exit code.
int RunApplication(const std::function<void()>& createWindowSet, const std::function<void()>& showMainWindow,
                   const std::function<void()>& destroyWindowSet);
