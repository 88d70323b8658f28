// TRunningCopy: the local socket through which a second start reaches the running copy.
#include "RunningCopy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char Request[] = "raise";
constexpr char Reply[] = "raised\n";
// An activation token is a few dozen characters; a longer line is not a request from this program.
constexpr qint64 LongestRequest = 1024;

// Whether the other end of a connected socket runs as this user.
bool PeerIsThisUser(const QLocalSocket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    return getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
           credentials.uid == getuid();
}

} // namespace

QString TRunningCopy::SocketPath(const std::string& databasePath) {
    const QString canonical = QFileInfo(QString::fromStdString(databasePath)).canonicalFilePath();
    if (canonical.isEmpty())
        return QString();
    // The runtime folder is the user's alone and emptied at logout; the shared temporary folder, where
    // there is none, gets the user's id in the name.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool ownFolder = QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir();
    const QString folder = ownFolder ? runtime : QDir::tempPath();
    const QString user = ownFolder ? QString() : QString::number(getuid()) + QLatin1Char('-');
    const QByteArray hash = QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(32);
    return folder + QLatin1String("/tamrixdata-") + user + QString::fromLatin1(hash);
}

TRunningCopy::TRunningCopy(const std::string& databasePath, std::function<void()> raise, QObject* parent)
    : QObject(parent), m_server(new QLocalServer(this)), m_raise(std::move(raise)) {
    const QString path = SocketPath(databasePath);
    if (path.isEmpty())
        return;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    if (!m_server->listen(path))
        return;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Answer(socket); });
            Answer(socket);
        }
    });
}

TRunningCopy::~TRunningCopy() {
    // The socket file goes with the listener.
    m_server->close();
}

bool TRunningCopy::Listening() const {
    return m_server->isListening();
}

void TRunningCopy::Answer(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > LongestRequest)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(LongestRequest).trimmed();
    const qsizetype blank = line.indexOf(' ');
    if (line.left(blank < 0 ? line.size() : blank) != Request) {
        socket->abort();
        return;
    }
    // The asking process was just started by the user; its token lets the compositor give the focus
    // to a window of this one.
    const QByteArray token = blank < 0 ? QByteArray() : line.mid(blank + 1);
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token);
    if (m_raise)
        m_raise();
    socket->write(Reply);
    socket->disconnectFromServer();
}

bool TRunningCopy::AskToRaise(const std::string& databasePath, int timeoutMs) {
    const QString path = SocketPath(databasePath);
    if (path.isEmpty())
        return false;
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] { return std::max(0, timeoutMs - static_cast<int>(clock.elapsed())); };
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(left()) || !PeerIsThisUser(socket))
        return false;
    QByteArray request(Request);
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    if (!token.isEmpty() && !token.contains('\n') && token.size() < LongestRequest - 16)
        request += ' ' + token;
    socket.write(request + '\n');
    QByteArray reply;
    while (!reply.contains('\n') && left() > 0 && socket.state() == QLocalSocket::ConnectedState) {
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(left());
        else if (socket.waitForReadyRead(left()))
            reply += socket.readAll();
    }
    reply += socket.readAll();
    return reply.startsWith(Reply);
}
