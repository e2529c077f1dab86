#include "app/views/SingleInstance.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include "platform/core/PlatformError.h"
#include "platform/websession/CallbackChannel.h"

namespace nimbuscrate {

namespace {

constexpr const char* kLockName = "app.lock";
constexpr const char* kSocketName = "app.socket";
constexpr int kAnswerTimeoutMilliseconds = 2000;

void makePrivateFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw PlatformError("POSIX", errno, "cannot create " + folder.string());
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        throw PlatformError("POSIX", EACCES, folder.string() + " is not a folder of this user");
    }
    ::chmod(folder.c_str(), 0700);
}

}  // namespace

std::filesystem::path SingleInstance::defaultFolder() { return CallbackChannel::defaultSocketPath().parent_path(); }

SingleInstance::SingleInstance(std::filesystem::path folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

SingleInstance::~SingleInstance() {
    if (server_) {
        server_->close();
        std::error_code ignored;
        std::filesystem::remove(folder_ / kSocketName, ignored);
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool SingleInstance::becomeFirst() {
    makePrivateFolder(folder_);
    const std::filesystem::path lockPath = folder_ / kLockName;
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw PlatformError("POSIX", errno, "cannot open " + lockPath.string());
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) return false;
        throw PlatformError("POSIX", error, "cannot lock " + lockPath.string());
    }
    lockFd_ = fd;
    // The lock is ours, so a socket left there is a crashed instance's.
    const QString socketPath = QString::fromStdString((folder_ / kSocketName).string());
    QLocalServer::removeServer(socketPath);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(socketPath)) {
        throw PlatformError("Qt", server_->serverError(),
                            "cannot listen on " + socketPath.toStdString() + ": " +
                                server_->errorString().toStdString());
    }
    connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::serve);
    return true;
}

void SingleInstance::serve() {
    while (QLocalSocket* connection = server_->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
            if (!connection->canReadLine()) {
                if (connection->bytesAvailable() > 64) connection->abort();
                return;
            }
            const QByteArray line = connection->readLine(64).trimmed();
            if (line == "show") {
                emit showRequested();
                connection->write("ok\n");
            } else {
                connection->write("unknown\n");
            }
            connection->flush();
            connection->disconnectFromServer();
        });
    }
}

bool SingleInstance::askFirstToShow(int timeoutMilliseconds) {
    const QString socketPath = QString::fromStdString((folder_ / kSocketName).string());
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMilliseconds) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(kAnswerTimeoutMilliseconds)) {
            socket.write("show\n");
            socket.flush();
            while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerTimeoutMilliseconds)) {
            }
            return socket.canReadLine() && socket.readLine(64).trimmed() == "ok";
        }
        // The first instance holds the lock but may not listen yet.
        QThread::msleep(100);
    }
    return false;
}

}  // namespace nimbuscrate
