// TamrixData: the records database program.
#include "AppShell.h"
#include "ApplicationIcon.h"
#include "MainForm.h"
#include "WindowSet.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The icon of every window and of the taskbar button; the desktop file name lets a Wayland
    // compositor match the windows with the menu entry.
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopFileName));
    return RunApplication(
        CreateWindowSet, [] { FormMain->show(); }, DestroyWindowSet);
}
