// tamrixdata-message: shows the launcher's failure message in a box when no notification service
// takes it, so that a start from the desktop menu never fails silently; and asks the launcher's
// yes/no questions when there is no terminal to ask on.
//   tamrixdata-message TEXT               a failure; exit 0
//   tamrixdata-message --question TEXT    exit 0 for Yes, 1 for No or a closed box
#include "ApplicationIcon.h"

#include <QApplication>
#include <QMessageBox>

#include <string_view>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const bool question = argc == 3 && std::string_view(argv[1]) == "--question";
    if (argc != 2 && !question)
        return 2;
    QApplication::setWindowIcon(ApplicationIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopFileName));
    QMessageBox box(question ? QMessageBox::Question : QMessageBox::Critical, QStringLiteral("TamrixData"),
                    QString::fromLocal8Bit(argv[argc - 1]));
    // The text holds folder names and tool output, never markup.
    box.setTextFormat(Qt::PlainText);
    if (!question) {
        box.exec();
        return 0;
    }
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? 0 : 1;
}
