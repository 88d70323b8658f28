#pragma once
// The program's icon (a closed records book) and the name of its desktop entry, shared by the
// program and the launcher's message box. The pictures come from app.qrc, which each executable
// that calls this compiles in.
#include <QIcon>
#include <QString>

inline constexpr const char* DesktopFileName = TAMRIX_APP_ID;

inline QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/tamrixdata-%1.png").arg(size), QSize(size, size));
    return icon;
}
