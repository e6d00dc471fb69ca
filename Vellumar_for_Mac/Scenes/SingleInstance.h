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
    // Before the Gui application starts, where XDG_RUNTIME_DIR is not set (no login session, as
    // over ssh or from cron): makes the private folder Qt falls back to, "runtime-<user>" in the
    // temporary folder with mode 0700, and names it in XDG_RUNTIME_DIR for this process, so that no
    // part of Qt warns of the missing variable at each start. A folder there that is not the user's
    // own and private is left alone: Qt then says what is wrong with it.
    static void provideRuntimeFolder();

    // What the instance that holds the lock answered a request for its menu.
    enum class MenuAnswer {
        shown,
        // It runs without a display, so it has no menu.
        noMenu,
        // Nothing understood within two seconds.
        noAnswer,
    };

    // True when this process is now the one instance: the lock is held (a lock left by a process
    // that ended is taken over) and requests are accepted. False when another instance holds it.
    bool claim();
    // Whether this instance has a menu that a later start can bring up; it has one unless told.
    void setHasMenu(bool hasMenu) { m_hasMenu = hasMenu; }
    // Asks the instance that holds the lock to show its menu, waiting at most two seconds a step.
    MenuAnswer askToShowMenu();

signals:
    // A later start asked for the menu, which this instance has.
    void showMenuAsked();

private:
    void answer();

    QString m_socketPath;
    QLockFile m_lock;
    std::unique_ptr<QLocalServer> m_server;
    bool m_hasMenu = true;
};

}
