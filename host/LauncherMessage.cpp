// tamrixdata-message: shows the launcher's failure message in a box when no notification service
// takes it, so that a start from the desktop menu never fails silently.
//   tamrixdata-message TEXT
#include "ApplicationIcon.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc != 2)
        return 2;
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopFileName));
    QMessageBox box(QMessageBox::Critical, QStringLiteral("TamrixData"), QString::fromLocal8Bit(argv[1]));
    // The text holds folder names and tool output, never markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
    return 0;
}
