#include "Vellumar_for_Mac/Model/QuitSignals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <system_error>

#include <sys/socket.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::array kQuitSignals { SIGTERM, SIGINT, SIGHUP };

    // The write end the handler uses; -1 while no QuitSignals lives. Only async-signal-safe calls
    // touch it from the handler.
    volatile std::sig_atomic_t writeEnd = -1;
    int readEnd = -1;

    extern "C" void onQuitSignal(int)
    {
        int savedErrno = errno;
        char byte = 1;
        // A full socket already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] auto written = write(writeEnd, &byte, 1);
        errno = savedErrno;
    }

}

QuitSignals::QuitSignals(std::function<void()> quit, QObject* parent)
    : QObject(parent)
    , m_quit(std::move(quit))
{
    std::array<int, 2> ends {};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends.data()) != 0)
        throw std::system_error(errno, std::generic_category(), "socketpair");
    readEnd = ends[0];
    writeEnd = ends[1];
    m_notifier = std::make_unique<QSocketNotifier>(readEnd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::readSignals);

    struct sigaction action { };
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kQuitSignals)
        sigaction(signal, &action, nullptr);
}

QuitSignals::~QuitSignals()
{
    for (int signal : kQuitSignals)
        std::signal(signal, SIG_DFL);
    m_notifier.reset();
    close(writeEnd);
    close(readEnd);
    writeEnd = -1;
    readEnd = -1;
}

void QuitSignals::readSignals()
{
    std::array<char, 64> bytes;
    ssize_t got = 0;
    int received = 0;
    while ((got = read(readEnd, bytes.data(), bytes.size())) > 0)
        received += static_cast<int>(got);
    for (int index = 0; index < received; ++index)
        m_quit();
}

}
