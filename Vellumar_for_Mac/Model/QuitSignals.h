// The signals that end a session on Linux (logout's SIGTERM, Ctrl-C's SIGINT, a closed terminal's
// SIGHUP) turned into a call on the main thread, so that they quit the way the menu does.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <functional>
#include <memory>

namespace vellumar {

// One at a time in a process: it owns the three signals' dispositions while it lives.
class QuitSignals final : public QObject {
    Q_OBJECT

public:
    // Calls `quit` on the thread that made this object, from its event loop, once per signal that
    // arrives; the signal handler itself only writes a byte to a socket. Throws std::system_error
    // when the socket cannot be made.
    explicit QuitSignals(std::function<void()> quit, QObject* parent = nullptr);
    // Puts the default dispositions back.
    ~QuitSignals() override;

private:
    void readSignals();

    std::function<void()> m_quit;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

}
