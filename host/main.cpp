// TamrixData: the records database program.
#include "AppShell.h"
#include "ApplicationIcon.h"
#include "DatabaseChoice.h"
#include "MainForm.h"
#include "RunningCopy.h"
#include "SingleCopyLock.h"
#include "WindowSet.h"

#include <QApplication>

#include <memory>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    // The icon of every window and of the taskbar button; the desktop file name lets a Wayland
    // compositor match the windows with the menu entry.
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopFileName));
    // Held until the window set, and with it the connection, is gone. A server takes care of its
    // many users itself: the lock is for a file only.
    const QString database =
        ChosenDatabase(QCoreApplication::arguments(),
                       ExecutableDirectory(QCoreApplication::applicationFilePath()) + QStringLiteral("TamrixData.ini"));
    const std::string databaseFile = IsServerDatabase(database) ? std::string() : database.toStdString();
    const TSingleCopyLock lock(databaseFile);
    if (lock.State() == TSingleCopyLock::TState::HeldElsewhere) {
        // The copy that has the database open comes to the front instead; the box is for one that
        // does not answer (busy in a long operation, stopped, or a version that does not listen).
        if (TRunningCopy::AskToRaise(databaseFile))
            return 0;
        InstallProgramFont();
        ShowMessage(QCoreApplication::translate("main", "数据库 %1 已由本程序的另一个副本打开，请先关闭那个副本")
                        .arg(database));
        return 1;
    }
    // Later starts on this database ask this copy for its window, until the window set is gone. The
    // socket is named after the file the lock holds: a copy on another file must not answer for it.
    std::unique_ptr<TRunningCopy> runningCopy;
    if (lock.State() == TSingleCopyLock::TState::Held)
        runningCopy = std::make_unique<TRunningCopy>(databaseFile, &BringWindowSetToFront);
    // The window set connects to the database chosen and locked above, not to a second choice.
    return RunApplication([&] { CreateWindowSet(database); }, [] { FormMain->show(); }, DestroyWindowSet);
}
