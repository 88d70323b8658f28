// The program's four long-lived objects, created in a fixed order and destroyed in reverse order.
#include "WindowSet.h"

#include "ADOQuery.h"
#include "BusyPointer.h"
#include "DatabaseChoice.h"
#include "MainForm.h"
#include "NoteForm.h"
#include "SearchForm.h"
#include "ShareDM.h"

#include <QApplication>

void CreateWindowSet(const QString& database) {
    FormMain = new TFormMain();
    ShareDataModule = new TShareDataModule(
        (database.isEmpty() ? ChosenDatabase(QCoreApplication::arguments(), FormMain->SettingsFile) : database)
            .toStdString());
    InstallPasswordPrompt();
    ShareDataModule->ADOConnection1.SetWorkTick(&BusyPointerTick);
    // The main window was created before the connection existed; its list query is bound now.
    FormMain->ADOQuery1->SetConnection(&ShareDataModule->ADOConnection1);
    FormNote = new TFormNote(FormMain);
    FormSearch = new TFormSearch(FormMain);
}

void DestroyWindowSet() {
    delete FormSearch;
    FormSearch = nullptr;
    delete FormNote;
    FormNote = nullptr;
    delete ShareDataModule;
    ShareDataModule = nullptr;
    delete FormMain;
    FormMain = nullptr;
}

void BringWindowSetToFront() {
    if (!FormMain)
        return;
    FormMain->setWindowState(FormMain->windowState() & ~Qt::WindowMinimized);
    FormMain->show();
    // Under X11 raising only restacks; the focus needs its own request to the window manager.
    FormMain->raise();
    FormMain->activateWindow();
    // A dialog or box waiting for an answer keeps the keyboard, on top of the window it belongs to.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}
