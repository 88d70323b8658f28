// A second start on a database that a running copy has open: it asks that copy, over the local
// socket named after the database, to bring its window to the front, and is told whether it did.
// The asking side runs on a thread of its own, as it would in its own process, while the running
// copy answers from its event loop.
#include "MainForm.h"
#include "NoteForm.h"
#include "RunningCopy.h"
#include "TestDatabase.h"
#include "WindowSet.h"
#include "WindowTestHelpers.h"

#include <QFile>
#include <QLocalServer>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

// Asks as a second start would, on another thread, and waits for the answer with this thread's
// event loop running.
bool AskFromAnotherThread(const QString& databasePath, int timeoutMs = 3000) {
    std::atomic<bool> answered{false};
    std::unique_ptr<QThread> asker(
        QThread::create([&] { answered = TRunningCopy::AskToRaise(databasePath.toStdString(), timeoutMs); }));
    asker->start();
    while (!asker->wait(10))
        QCoreApplication::processEvents();
    return answered;
}

} // namespace

class TestRunningCopy : public QObject {
    Q_OBJECT

    std::unique_ptr<TestDatabase> m_db;

private slots:
    void init() {
        m_db = std::make_unique<TestDatabase>();
        m_db->makeCurrent();
    }
    void cleanup() {
        DestroyWindowSet();
        m_db.reset();
    }

    // The running copy's minimised window comes back and takes the focus; a dialog open over it stays
    // on top with the keyboard. The database may be named by any of its paths.
    void secondStartRaisesTheRunningWindow_data() {
        QTest::addColumn<bool>("editorOpen");
        QTest::addColumn<QString>("askedPath");
        QTest::newRow("same path") << false << "NoteData.db";
        QTest::newRow("through a link") << false << "link.db";
        QTest::newRow("editor open") << true << "NoteData.db";
    }
    void secondStartRaisesTheRunningWindow() {
        QFETCH(bool, editorOpen);
        QFETCH(QString, askedPath);
        QVERIFY(QFile::link(m_db->path(), m_db->dir() + "/link.db"));
        CreateWindowSet();
        FormMain->show();
        QVERIFY(QTest::qWaitForWindowExposed(FormMain));
        const TRunningCopy running(m_db->path().toStdString(), &BringWindowSetToFront);
        QVERIFY(running.Listening());
        FormMain->showMinimized();
        QTRY_VERIFY(FormMain->isMinimized());

        if (!editorOpen) {
            QVERIFY(AskFromAnotherThread(m_db->dir() + "/" + askedPath));
            QTRY_VERIFY(!FormMain->isMinimized());
            QTRY_COMPARE(QApplication::activeWindow(), FormMain);
            return;
        }
        FormNote->EditTitleIndex = 0;
        QVERIFY(WhileDialogShown(
            FormNote, [] { FormNote->exec(); },
            [&] {
                QVERIFY(AskFromAnotherThread(askedPath));
                QTRY_VERIFY(!FormMain->isMinimized());
                QTRY_COMPARE(QApplication::activeWindow(), FormNote);
                FormNote->reject();
            }));
    }

    // No answer, no raising: the second start then shows its refusal box.
    void noAnswerIsToldAsSuch_data() {
        QTest::addColumn<QString>("listener");
        QTest::newRow("nobody listens") << "nobody";
        QTest::newRow("listener on another database") << "other";
        QTest::newRow("listener never answers") << "silent";
    }
    void noAnswerIsToldAsSuch() {
        QFETCH(QString, listener);
        int raised = 0;
        const TestDatabase other;
        std::unique_ptr<TRunningCopy> running;
        QLocalServer silent;
        if (listener == "other")
            running = std::make_unique<TRunningCopy>(other.path().toStdString(), [&raised] { ++raised; });
        if (listener == "silent")
            QVERIFY(silent.listen(TRunningCopy::SocketPath(m_db->path().toStdString())));
        // Asked on this thread: a listener here cannot answer while the asking waits.
        QVERIFY(!TRunningCopy::AskToRaise(m_db->path().toStdString(), 300));
        QCoreApplication::processEvents();
        QCOMPARE(raised, 0);
    }
};

QTEST_MAIN(TestRunningCopy)
#include "tst_runningcopy.moc"
