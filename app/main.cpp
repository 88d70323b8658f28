// TamrixData: the records database program.
#include "AppShell.h"
#include "MainForm.h"
#include "WindowSet.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    return RunApplication(
        CreateWindowSet, [] { FormMain->show(); }, DestroyWindowSet);
}
