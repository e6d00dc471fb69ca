// One running application per user. Two would both write the one list of paired phones, and a phone
// paired through one would be lost when the other saves: the first start takes a lock file in the
// user's runtime folder, and a later start asks it over a local socket to show its menu instead.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <memory>

namespace vellumar {

// Main thread only.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    // `folder`: where the lock file and the socket live; private to the user.
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR, else the private runtime folder Qt makes for the user.
    static QString runtimeFolder();

    // True when this process is now the one instance: the lock is held (a lock left by a process
    // that ended is taken over) and requests are accepted. False when another instance holds it.
    bool claim();
    // Asks the instance that holds the lock to show its menu; true when it said it did, within two
    // seconds.
    bool askToShowMenu();

signals:
    // A later start asked for the menu.
    void showMenuAsked();

private:
    void answer();

    QString m_socketPath;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
};

}
