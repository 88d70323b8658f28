// Choosing the database at start-up, and the password box for a server that asks for one.
#include "DatabaseChoice.h"

#include "PostgresEngine.h"
#include "PublicFunction.h"
#include "ShareDM.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>

#include <cstring>

namespace {

constexpr const char* kOption = "--database=";

} // namespace

QString ChosenDatabase(const QStringList& arguments, const QString& settingsFile) {
    // The last --database= counts, as with most programs' options.
    for (qsizetype i = arguments.size() - 1; i >= 1; --i)
        if (arguments[i].startsWith(QLatin1String(kOption)) && arguments[i].size() > qsizetype(std::strlen(kOption)))
            return arguments[i].mid(qsizetype(std::strlen(kOption)));
    const QString fromEnvironment = qEnvironmentVariable("TAMRIXDATA_DATABASE").trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    const QString fromSettings =
        ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("Database"), QString(), settingsFile).trimmed();
    if (!fromSettings.isEmpty())
        return fromSettings;
    return QString::fromLatin1(DatabaseFileName);
}

bool IsServerDatabase(const QString& database) {
    return IsServerConnection(database.toStdString());
}

void InstallPasswordPrompt() {
    SetPasswordPrompt([](const std::string&) -> std::optional<std::string> {
        bool accepted = false;
        const QString password = QInputDialog::getText(
            QApplication::activeWindow(), QCoreApplication::translate("DatabaseChoice", "数据库密码"),
            QCoreApplication::translate("DatabaseChoice", "数据库服务器要求输入密码："), QLineEdit::Password, QString(),
            &accepted);
        if (!accepted)
            return std::nullopt;
        return password.toStdString();
    });
}
