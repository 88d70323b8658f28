#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <string>

class QLocalServer;
class QLocalSocket;

// A second start on a database that a running copy has open brings that copy's window to the front,
// as desktop programs do, instead of refusing with a box.
//
// The copy that holds the database's lock (TSingleCopyLock) listens on a local socket named after
// the database's canonical path, in the user's runtime folder; a later start asks it over that socket
// and ends when it answers. The socket is the user's own (its file is not open to others, and the
// asking side checks the listener's user), so no other user can raise or stand in for the window.
class TRunningCopy : public QObject {
    Q_OBJECT

public:
    // Listens for later starts on databasePath (which must exist); raise runs on this thread, from
    // the event loop, each time one asks. Create it only while holding the database's lock: a socket
    // left by a copy that died is replaced.
    TRunningCopy(const std::string& databasePath, std::function<void()> raise, QObject* parent = nullptr);
    ~TRunningCopy() override;

    bool Listening() const;

    // From a second start: asks the copy listening for databasePath to bring its window to the front,
    // passing on the activation token this process was started with (XDG_ACTIVATION_TOKEN), which a
    // Wayland compositor may want before it hands over the focus. True when the copy answered within timeoutMs;
    // false when none listens or it does not answer in time (busy, stopped).
    static bool AskToRaise(const std::string& databasePath, int timeoutMs = 3000);

    // The socket's path for a database: the same for every path of the same file, empty when the
    // file does not exist.
    static QString SocketPath(const std::string& databasePath);

private:
    void Answer(QLocalSocket* socket);

    QLocalServer* m_server;
    std::function<void()> m_raise;
};
