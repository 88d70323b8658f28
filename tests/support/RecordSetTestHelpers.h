#pragma once

// Helpers the record store tests share: a database with a record set on it, filling it with titles,
// opening a statement as the program does, and the errors an action raises as comparable text.
#include "ADOConnection.h"
#include "ADOQuery.h"
#include "DatabaseErrors.h"
#include "TestDatabase.h"

#include <QString>
#include <QStringList>

#include <exception>
#include <functional>
#include <string>

// "<class> | <message>" of what action raises, the class found by its real type; "" when nothing.
inline QString raised(const std::function<void()>& action) {
    try {
        action();
    } catch (const EOleException& e) {
        return QStringLiteral("EOleException | ") + QString::fromStdString(e.Message());
    } catch (const EDatabaseError& e) {
        return QStringLiteral("EDatabaseError | ") + QString::fromStdString(e.Message());
    } catch (const std::exception& e) {
        return QStringLiteral("other | ") + QString::fromUtf8(e.what());
    }
    return {};
}

inline QString qstr(const std::string& value) {
    return QString::fromStdString(value);
}

// Titles T1 .. Tcount with the keys 1 .. count, in one statement.
inline void addTitles(const TestDatabase& db, int count) {
    QStringList rows;
    for (int i = 1; i <= count; ++i)
        rows << QStringLiteral("('T%1')").arg(i);
    if (count > 0)
        db.exec("Insert Into Title (TitleTxt) Values " + rows.join(','));
}

// What OpenQuery does, without its message box.
inline void openWith(TADOQuery& query, const std::string& sql) {
    query.Close();
    query.ClearSQL();
    query.AddSQL(sql);
    query.Open();
}

// A fresh database holding the titles T1 .. Ttitles, a connection to it and one record set named
// `name` on that connection. The connection connects on first use, so the database may still be
// changed through db before the record set's first statement. A test takes the parts apart with
//     RecordSetRig rig(3);
//     auto& [db, connection, query] = rig;
struct RecordSetRig {
    explicit RecordSetRig(int titles = 0, const std::string& name = "ADOQuery1")
        : connection(db.path().toStdString()), query(name, &connection) {
        addTitles(db, titles);
    }

    TestDatabase db;
    TADOConnection connection;
    TADOQuery query;
};
