#pragma once

#include <QString>

#include <exception>
#include <functional>

class QWidget;

// The program's title: the executable's file name cut at its first ".", every character after the
// first lower-cased ("TamrixData" gives "Tamrixdata").
QString ApplicationTitleFromFileName(const QString& executableFileName);
QString ApplicationTitle();

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
// Shows the error box for the exception in flight (call from a catch block).
void ShowCurrentException();

// Runs body; any exception it raises is shown in the error box and never passes this frame.
// Every entry point from Qt into the program's code (slots, event overrides, close handlers) runs
// its body through this. Returns false when an error was shown.
bool Guarded(const std::function<void()>& body);

// The program's font ("宋体" at 12 pixels, mapped to an installed Song/CJK face) for the whole
// application; call once after the QApplication exists.
void InstallProgramFont();

class QPlainTextEdit;
// A text box's text with CR LF line breaks, as the program stores and compares it, and the reverse
// (the widget itself holds plain "\n" breaks).
QString MemoText(const QPlainTextEdit* memo);
void SetMemoText(QPlainTextEdit* memo, const QString& text);
