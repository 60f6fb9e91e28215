#include "_gui/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace {

// Sends one command line and waits for the answer.
bool Ask(const QString& path, const QByteArray& command, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(command + "\n");
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine().trimmed() == "ok";
}

bool Reachable(const QString& path)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    const bool ok = socket.waitForConnected(500);
    socket.abort();
    return ok;
}

}  // namespace

InstanceGuard::InstanceGuard(const QString& folder) : folder_(folder)
{
    if (folder_.isEmpty())
        folder_ = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder_.isEmpty())
        folder_ = QDir::tempPath();
}

InstanceGuard::~InstanceGuard() { release(); }

QString InstanceGuard::lockPath() const { return folder_ + "/<Nimbo MutEx>"; }

QString InstanceGuard::serverPath() const { return folder_ + "/<Nimbo MutEx>.socket"; }

bool InstanceGuard::acquire()
{
    QDir().mkpath(folder_);
    lock_ = std::make_unique<QLockFile>(lockPath());
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        lock_.reset();
        return false;
    }
    QLocalServer::removeServer(serverPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, &InstanceGuard::onConnection);
    server_->listen(serverPath());
    return true;
}

void InstanceGuard::release()
{
    if (server_) {
        server_->close();
        server_.reset();
    }
    if (lock_) {
        lock_->unlock();
        lock_.reset();
    }
}

void InstanceGuard::onConnection()
{
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine()) {
                const QByteArray command = socket->readLine().trimmed();
                socket->write("ok\n");
                socket->flush();
                if (command == "show" && onRaise)
                    onRaise();
                else if (command == "close" && onClose)
                    onClose();
                else if (command == "destroy" && onDestroy)
                    onDestroy();
            }
        });
    }
}

OtherInstanceResult InstanceGuard::contactFirst(bool kill) const
{
    const QString path = serverPath();
    if (!kill)
        return Ask(path, "show", 2000) ? OTHER_RAISED : OTHER_ALREADY_RUNNING;
    if (!Ask(path, "close", 2000))
        return OTHER_NOT_FOUND;
    QThread::msleep(100);
    if (Reachable(path)) {
        QThread::msleep(1000);
        Ask(path, "destroy", 1000);
    }
    return OTHER_KILLED;
}
