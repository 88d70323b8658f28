// The program's start-up and shutdown with the real window set, the start-up failure box, and where
// the settings file is looked for. The last runs this test executable again as a separate process,
// copied under the names being tested, so that the process starts the way a user starts the program.
#include "AppShell.h"
#include "DatabaseErrors.h"
#include "MainForm.h"
#include "MessageBoxTestHelpers.h"
#include "NoteForm.h"
#include "PublicFunction.h"
#include "SearchForm.h"
#include "ShareDM.h"
#include "SingleCopyLock.h"
#include "TestDatabase.h"
#include "WindowSet.h"

#include "ADOQuery.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstring>

namespace {

const char* const ReportOption = "--report-start-up";

// The child's side: start up as the program does and tell what the settings file gives.
int ReportStartUp(int argc, char* argv[]) {
    QApplication application(argc, argv);
    CreateWindowSet();
    QTextStream out(stdout);
    out << "AppDir=" << FormMain->AppDir << '\n'
        << "SettingsFile=" << FormMain->SettingsFile << '\n'
        << "RecordClear="
        << ReadIniString(QStringLiteral("TamrixData"), QStringLiteral("RecordClear"), QStringLiteral("No"),
                         FormMain->SettingsFile)
        << '\n'
        << "Title=" << ApplicationTitle() << '\n';
    out.flush();
    DestroyWindowSet();
    return 0;
}

struct StartUpReport {
    QString appDir, settingsFile, recordClear, title;
};

// Runs the copy at executable with the current directory workingDirectory, by bare name when asked.
StartUpReport RunCopy(const QString& executable, const QString& workingDirectory, bool byBareName) {
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    if (byBareName) {
        // The shell finds the program through "." in PATH and hands it its bare name as argv[0].
        process.start(QStringLiteral("/bin/sh"),
                      {QStringLiteral("-c"), QStringLiteral("PATH=.:$PATH exec \"$0\" %1").arg(ReportOption),
                       QFileInfo(executable).fileName()});
    } else {
        process.start(executable, {QString::fromLatin1(ReportOption)});
    }
    StartUpReport report;
    if (!process.waitForFinished(120000) || process.exitCode() != 0) {
        qWarning() << "child failed:" << process.readAllStandardError();
        return report;
    }
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QString value = line.section(QLatin1Char('='), 1);
        if (line.startsWith(QLatin1String("AppDir=")))
            report.appDir = value;
        else if (line.startsWith(QLatin1String("SettingsFile=")))
            report.settingsFile = value;
        else if (line.startsWith(QLatin1String("RecordClear=")))
            report.recordClear = value;
        else if (line.startsWith(QLatin1String("Title=")))
            report.title = value;
    }
    return report;
}

QString CopyOfThisTest(const QString& directory, const QString& name) {
    QDir().mkpath(directory);
    const QString copy = directory + QLatin1Char('/') + name;
    if (!QFile::copy(QCoreApplication::applicationFilePath(), copy))
        return {};
    QFile::setPermissions(copy, QFile::permissions(copy) | QFile::ExeOwner);
    return copy;
}

void WriteSettings(const QString& path, const QByteArray& recordClear) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write("[TamrixData]\r\nRecordClear=" + recordClear + "\r\n");
}

QByteArray FileHash(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void runShowsMainWindowFirstAndShutsDownInReverse();
    void startUpFailureShowsApplicationErrorAndGivesOne();
    void settingsFileIsLookedForBesideTheExecutable_data();
    void settingsFileIsLookedForBesideTheExecutable();
    void secondCopyOnOneDatabaseIsLockedOut();
};

// Mended fault: a second copy's editor close removed the first copy's pending paragraphs. A second
// copy on the same file is now refused at start-up (the real executable: run-real-executable.sh);
// the lock leaves this process's connection and other tools free to read and write.
void TestStartup::secondCopyOnOneDatabaseIsLockedOut() {
    using State = TSingleCopyLock::TState;
    TestDatabase db;
    QCOMPARE(TSingleCopyLock((db.dir() + "/missing.db").toStdString()).State(), State::NoFile);
    {
        const TSingleCopyLock first(db.path().toStdString());
        QCOMPARE(first.State(), State::Held);
        QCOMPARE(TSingleCopyLock(db.path().toStdString()).State(), State::HeldElsewhere);
        TADOConnection connection(db.path().toStdString());
        connection.BeginTrans();
        connection.ExecuteDirect("Insert Into Title (TitleTxt) Values ('program')");
        connection.CommitTrans();
        db.exec("Insert Into Title (TitleTxt) Values ('other tool')");
    }
    QCOMPARE(db.scalar("Select Count(*) From Title"), 2);
    QCOMPARE(TSingleCopyLock(db.path().toStdString()).State(), State::Held);
}

void TestStartup::runShowsMainWindowFirstAndShutsDownInReverse() {
    TestDatabase db;
    db.fillDemo(30);
    db.makeCurrent();
    const QByteArray before = FileHash(db.path());

    bool hiddenAfterStartUp = false;
    bool listBoundToSharedConnection = false;
    bool dialogsBelongToMainWindow = false;
    bool listLoadedWhenShown = false;
    QString caption;
    QSize size;
    const auto create = [&] {
        CreateWindowSet();
        hiddenAfterStartUp = !FormMain->isVisible() && !FormNote->isVisible() && !FormSearch->isVisible();
        listBoundToSharedConnection = FormMain->ADOQuery1->Connection() == &ShareDataModule->ADOConnection1 &&
                                      FormNote->ADOQuery1->Connection() == &ShareDataModule->ADOConnection1;
        dialogsBelongToMainWindow = FormNote->parentWidget() == FormMain && FormSearch->parentWidget() == FormMain;
    };
    const auto show = [&] {
        FormMain->show();
        listLoadedWhenShown = FormMain->ADOQuery1->Active() && FormMain->ADOQuery1->RecordCount() == 30;
        caption = FormMain->windowTitle();
        size = FormMain->size();
        // The user closes the main window once the loop runs.
        QTimer::singleShot(0, FormMain, [] { FormMain->close(); });
    };
    bool destroyed = false;
    const auto destroy = [&] {
        DestroyWindowSet();
        destroyed = true;
    };
    MessageBoxWatcher answerer;
    QCOMPARE(RunApplication(create, show, destroy), 0);
    QCOMPARE(answerer.boxes.size(), 0);
    QVERIFY(hiddenAfterStartUp);
    QVERIFY(listBoundToSharedConnection);
    QVERIFY(dialogsBelongToMainWindow);
    QVERIFY(listLoadedWhenShown);
    QCOMPARE(caption, QStringLiteral("Kovani电子数据库软件"));
    QCOMPARE(size, QSize(763, 499));
    QVERIFY(destroyed);
    QVERIFY(!FormMain && !ShareDataModule && !FormNote && !FormSearch);
    QCOMPARE(FileHash(db.path()), before);
}

void TestStartup::startUpFailureShowsApplicationErrorAndGivesOne() {
    bool destroyed = false;
    bool shown = false;
    MessageBoxWatcher answerer;
    const int exitCode = RunApplication(
        [] {
            FormMain = new TFormMain();
            throw EOleException("Error creating object.  Please verify that the Microsoft Data Access Components "
                                "2.1 (or later) have been properly installed",
                                0);
        },
        [&] { shown = true; },
        [&] {
            DestroyWindowSet();
            destroyed = true;
        });
    QCOMPARE(exitCode, 1);
    QVERIFY(!shown);
    QVERIFY(destroyed);
    QVERIFY(!FormMain);
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.constLast().caption, QStringLiteral("Application Error"));
    QCOMPARE(answerer.boxes.constLast().icon, QMessageBox::Critical);
    QCOMPARE(answerer.boxes.constLast().modality, Qt::ApplicationModal);
    const QRegularExpression format(
        QStringLiteral("^Exception EOleException in module %1 at [0-9A-F]{16}\\.\\nError creating object\\.  Please "
                       "verify that the Microsoft Data Access Components 2\\.1 \\(or later\\) have been properly "
                       "installed\\.\\n$")
            .arg(QRegularExpression::escape(QFileInfo(QCoreApplication::applicationFilePath()).fileName())));
    QVERIFY2(format.match(answerer.boxes.constLast().text).hasMatch(), qPrintable(answerer.boxes.constLast().text));

    // The period is only added to a message that does not already end with one.
    QCOMPARE(StartupFailureText(QStringLiteral("EDatabaseError"), QStringLiteral("TamrixData"), nullptr,
                                QStringLiteral("Done.")),
             QStringLiteral("Exception EDatabaseError in module TamrixData at 0000000000000000.\r\nDone.\r\n"));
    QCOMPARE(StartupFailureText(QStringLiteral("Exception"), QStringLiteral("TamrixData"), nullptr, {}),
             QStringLiteral("Exception Exception in module TamrixData at 0000000000000000.\r\n\r\n"));
}

void TestStartup::settingsFileIsLookedForBesideTheExecutable_data() {
    QTest::addColumn<QString>("executableName");
    QTest::addColumn<bool>("startFromOwnDirectory");
    QTest::addColumn<QByteArray>("besideExecutable"); // empty: no settings file there
    QTest::addColumn<QByteArray>("inCurrentDirectory");
    QTest::addColumn<QString>("recordClear");
    QTest::addColumn<QString>("title");
    QTest::newRow("bare name from its own directory")
        << "TamrixData" << true << QByteArray("Yes") << QByteArray() << "Yes"
        << "Tamrixdata";
    QTest::newRow("lower case yes is read as written")
        << "TamrixData" << true << QByteArray("yes") << QByteArray() << "yes"
        << "Tamrixdata";
    QTest::newRow("only in the current directory: never read")
        << "TamrixData" << false << QByteArray() << QByteArray("Yes") << "No"
        << "Tamrixdata";
    QTest::newRow("both: the one beside the executable")
        << "TamrixData" << false << QByteArray("Beside") << QByteArray("Current") << "Beside"
        << "Tamrixdata";
    QTest::newRow("two dots in the name") << "a.b.exe" << true << QByteArray() << QByteArray() << "No"
                                          << "a";
}

void TestStartup::settingsFileIsLookedForBesideTheExecutable() {
    QFETCH(QString, executableName);
    QFETCH(bool, startFromOwnDirectory);
    QFETCH(QByteArray, besideExecutable);
    QFETCH(QByteArray, inCurrentDirectory);
    QFETCH(QString, recordClear);
    QFETCH(QString, title);
    QTemporaryDir root;
    const QString programDirectory = QDir(root.path()).filePath(QStringLiteral("program"));
    const QString otherDirectory = QDir(root.path()).filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(otherDirectory));
    const QString executable = CopyOfThisTest(programDirectory, executableName);
    QVERIFY(!executable.isEmpty());
    if (!besideExecutable.isEmpty())
        WriteSettings(programDirectory + QStringLiteral("/TamrixData.ini"), besideExecutable);
    if (!inCurrentDirectory.isEmpty())
        WriteSettings(otherDirectory + QStringLiteral("/TamrixData.ini"), inCurrentDirectory);

    const StartUpReport report =
        RunCopy(executable, startFromOwnDirectory ? programDirectory : otherDirectory, startFromOwnDirectory);
    const QString expectedDirectory = QFileInfo(programDirectory).canonicalFilePath() + QLatin1Char('/');
    QCOMPARE(report.appDir, expectedDirectory);
    QCOMPARE(report.settingsFile, expectedDirectory + QStringLiteral("TamrixData.ini"));
    QCOMPARE(report.recordClear, recordClear);
    QCOMPARE(report.title, title);
}

int main(int argc, char* argv[]) {
    if (argc > 1 && std::strcmp(argv[1], ReportOption) == 0)
        return ReportStartUp(argc, argv);
    QApplication application(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
