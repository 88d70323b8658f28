// Which database the program opens: the command line over the environment over the settings file,
// the file NoteData.db without any; and which texts name a server rather than a file.
#include "DatabaseChoice.h"

#include <QTemporaryDir>
#include <QtTest>

class TestDatabaseChoice : public QObject {
    Q_OBJECT

private slots:
    void laterSourcesOverrideEarlier_data();
    void laterSourcesOverrideEarlier();
    void serverOrFile_data();
    void serverOrFile();
};

void TestDatabaseChoice::laterSourcesOverrideEarlier_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("environment");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    const QStringList none{"TamrixData"};
    QTest::newRow("nothing set") << ""
                                 << "" << none << "NoteData.db";
    QTest::newRow("settings file") << "[TamrixData]\nDatabase = service=records\n"
                                   << "" << none << "service=records";
    QTest::newRow("other section only") << "[Other]\nDatabase=x\n"
                                        << "" << none << "NoteData.db";
    QTest::newRow("environment over settings") << "[TamrixData]\nDatabase=service=records\n"
                                               << "postgresql://desk/records" << none << "postgresql://desk/records";
    QTest::newRow("command line over both")
        << "[TamrixData]\nDatabase=service=records\n"
        << "postgresql://desk/records" << QStringList{"TamrixData", "--database=host=server dbname=records"}
        << "host=server dbname=records";
    QTest::newRow("empty option ignored") << ""
                                          << "" << QStringList{"TamrixData", "--database="} << "NoteData.db";
}

void TestDatabaseChoice::laterSourcesOverrideEarlier() {
    QFETCH(QString, settings);
    QFETCH(QString, environment);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString settingsFile = dir.filePath("TamrixData.ini");
    QFile file(settingsFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(settings.toUtf8());
    file.close();
    if (environment.isEmpty())
        qunsetenv("TAMRIXDATA_DATABASE");
    else
        qputenv("TAMRIXDATA_DATABASE", environment.toUtf8());
    QCOMPARE(ChosenDatabase(arguments, settingsFile), expected);
    qunsetenv("TAMRIXDATA_DATABASE");
}

void TestDatabaseChoice::serverOrFile_data() {
    QTest::addColumn<QString>("database");
    QTest::addColumn<bool>("server");
    QTest::newRow("bare file") << "NoteData.db" << false;
    QTest::newRow("file path") << "/srv/records/NoteData.db" << false;
    QTest::newRow("file with equals sign in its folder") << "/srv/a=b/NoteData.db" << false;
    QTest::newRow("uri") << "postgresql://desk/records" << true;
    QTest::newRow("short uri") << "postgres://desk/records?sslmode=require" << true;
    QTest::newRow("key value") << "host=desk dbname=records" << true;
    QTest::newRow("service") << "service=records" << true;
}

void TestDatabaseChoice::serverOrFile() {
    QFETCH(QString, database);
    QFETCH(bool, server);
    QCOMPARE(IsServerDatabase(database), server);
}

QTEST_GUILESS_MAIN(TestDatabaseChoice)
#include "tst_databasechoice.moc"
