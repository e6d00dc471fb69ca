// Quitting: the signals that end a session, the model's bounded quit, and the application itself
// ended by a signal while its relay runs.
#include "AppModelFixture.h"

#include "Vellumar_for_Mac/Model/QuitSignals.h"
#include "tests/support/InteractivePeer.h"

#include <QTimer>

#include <csignal>
#include <thread>

using namespace vellumar;
using namespace vellumar::test;

namespace {

using AppQuitTest = AppModelEventTest;

bool hasDefaultDisposition(int signal)
{
    struct sigaction current { };
    sigaction(signal, nullptr, &current);
    return current.sa_handler == SIG_DFL;
}

// Whether the process `pid` has a listening TCP socket.
bool listens(const std::string& pid)
{
    return runPeer({ "ss", "-Hltnp" }).output.find("pid=" + pid + ",") != std::string::npos;
}

}

TEST_F(AppQuitTest, EachEndingSignalCallsTheQuitOnTheEventLoopUntilTheHandlerGoes)
{
    int quits = 0;
    {
        QuitSignals quitSignals([&] { ++quits; });
        int expected = 0;
        for (int signal : { SIGTERM, SIGINT, SIGHUP }) {
            SCOPED_TRACE(signal);
            raise(signal);
            EXPECT_EQ(quits, expected);
            EXPECT_TRUE(processEventsUntil([&] { return quits == expected + 1; }));
            ++expected;
        }
    }
    for (int signal : { SIGTERM, SIGINT, SIGHUP })
        EXPECT_TRUE(hasDefaultDisposition(signal));
}

TEST_F(AppQuitTest, QuittingStopsTheRelayAndEndsTheEventLoopWithZero)
{
    auto model = launch();
    model->start();
    ASSERT_TRUE(model->host().port());
    QTimer::singleShot(0, model.get(), [&] {
        model->quit();
        // A second quit, as a second signal makes, changes nothing.
        model->quit();
    });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(model->host().port());
}

TEST(Application, ASignalWhileTheRelayRunsEndsTheProcessWithZero)
{
    TemporaryFolder home;
    const auto executable = std::filesystem::path(VELLUMAR_APP_BUNDLE_INFO).parent_path() / "vellumar";
    // The shell tells the application's pid and then how it ended.
    InteractivePeer shell({ "sh", "-c",
        R"(env HOME="$1" XDG_DATA_HOME="$1/data" XDG_CONFIG_HOME="$1/config" QT_QPA_PLATFORM=offscreen "$2" &
           echo $!; wait $!; echo "exit $?")",
        "sh", home.path().string(), executable.string() });
    auto pid = shell.readLine();
    ASSERT_TRUE(pid);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!listens(*pid) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_TRUE(listens(*pid));
    ASSERT_TRUE(std::filesystem::exists(home / "data/Vellumar/tls/cert.pem"));

    kill(std::stoi(*pid), SIGTERM);
    // Logging out may send more than one.
    kill(std::stoi(*pid), SIGHUP);
    EXPECT_EQ(shell.readLine(), "exit 0");
}
