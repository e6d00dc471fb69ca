#include "Vellumar_for_Mac/Scenes/SingleInstance.h"

#include "Platform/Log.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cstdlib>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr auto kShowMenu = "show-menu\n";
    constexpr auto kShown = "shown\n";
    constexpr auto kNoMenu = "no-menu\n";
    constexpr int kAnswerMilliseconds = 2000;

}

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent)
    , m_socketPath(QDir(folder).filePath(QStringLiteral("vellumar.socket")))
    , m_lock(QDir(folder).filePath(QStringLiteral("vellumar.lock")))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::runtimeFolder()
{
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) : folder;
}

void SingleInstance::provideRuntimeFolder()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const passwd* user = ::getpwuid(::geteuid());
    if (!user)
        return;
    QByteArray folder
        = QFile::encodeName(QDir::tempPath() + "/runtime-" + QString::fromLocal8Bit(user->pw_name));
    ::mkdir(folder.constData(), 0700);
    struct stat status { };
    if (::lstat(folder.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()
        || (status.st_mode & 0777) != 0700)
        return;
    ::setenv("XDG_RUNTIME_DIR", folder.constData(), 1);
}

bool SingleInstance::claim()
{
    if (!m_lock.tryLock(0))
        return false;
    // Only the lock's holder gets here, so a socket file left behind is no one's.
    QLocalServer::removeServer(m_socketPath);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_socketPath))
        platform::logError(
            ("a second start cannot reach this one: " + m_server->errorString()).toStdString());
    connect(m_server.get(), &QLocalServer::newConnection, this, &SingleInstance::answer);
    return true;
}

void SingleInstance::answer()
{
    while (QLocalSocket* connection = m_server->nextPendingConnection()) {
        connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        connect(connection, &QLocalSocket::readyRead, this, [this, connection] {
            if (!connection->canReadLine()) {
                // Any request is one short line; a peer that sends more is not a start of ours.
                if (connection->bytesAvailable() > 64)
                    connection->abort();
                return;
            }
            if (connection->readLine(64) == kShowMenu) {
                if (m_hasMenu)
                    emit showMenuAsked();
                connection->write(m_hasMenu ? kShown : kNoMenu);
            }
            connection->disconnectFromServer();
        });
    }
}

SingleInstance::MenuAnswer SingleInstance::askToShowMenu()
{
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (!socket.waitForConnected(kAnswerMilliseconds))
        return MenuAnswer::noAnswer;
    socket.write(kShowMenu);
    if (!socket.waitForBytesWritten(kAnswerMilliseconds))
        return MenuAnswer::noAnswer;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kAnswerMilliseconds))
            return MenuAnswer::noAnswer;
    }
    QByteArray answer = socket.readLine(64);
    if (answer == kShown)
        return MenuAnswer::shown;
    return answer == kNoMenu ? MenuAnswer::noMenu : MenuAnswer::noAnswer;
}

}
