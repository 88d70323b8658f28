#pragma once

#include <QString>

#include <string>

class TADOQuery;

// Value of key in section of the INI file fileName, or defaultValue when the file, the section or
// the key is missing. The file is read afresh on every call; it never raises.
QString ReadIniString(const QString& section, const QString& key, const QString& defaultValue, const QString& fileName);

// The failure message that every caller of OpenQuery passes. It is made before any translation is
// loaded, so OpenQuery translates it when it shows it.
inline const QString DatabaseOpenFailed = QStringLiteral(QT_TRANSLATE_NOOP("OpenQuery", "数据库打开失败"));

// The one way the program (re)opens a query: close it, make sql its single statement line, open it.
// Any error on the way (also one raised by the query's AfterScroll handler during the open) is
// swallowed, failMessage is shown (translated in the context "OpenQuery") with ShowMessage and the
// result is false; except a server's lost connection, one that cannot be made or a refused login,
// which is raised again for the error box.
bool OpenQuery(TADOQuery& query, const QString& sql, const QString& failMessage);
// The same for a statement already in UTF-8 (a handler that reopens a query for every row of a list
// saves the conversions).
bool OpenQuery(TADOQuery& query, const std::string& sql, const QString& failMessage);
