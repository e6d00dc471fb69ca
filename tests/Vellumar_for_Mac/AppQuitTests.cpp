// Quitting: the signals that end a session, the model's bounded quit, and the application itself
// ended by a signal while its relay runs.
#include "AppModelFixture.h"

#include "Vellumar_for_Mac/Model/QuitSignals.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "tests/support/ApplicationProcess.h"
#include "tests/support/ProcessFixtures.h"

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

std::string member(const std::string& body, std::string_view key)
{
    auto decoded = JSON::decode(body);
    const auto* value = decoded ? decoded->subscript(key) : nullptr;
    return value && value->stringValue() ? *value->stringValue() : std::string();
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

// The fake stands in for Claude Code because a run must still be going when the signal comes, however
// slow the machine: it never answers.
TEST_F(AppQuitTest, ASignalDuringARunLeavesNoFakeClaudeThatNeverAnswersRunning)
{
    // The checks that the start runs (version, login) end at once; only a run, which streams its
    // output, hangs.
    const std::string pidFile = (m_folder / "claude.pid").string();
    writeExecutable(m_folder / "home/.local/bin/claude",
        "#!/bin/sh\n"
        "case \" $* \" in *\" --output-format \"*) ;; *) exit 0 ;; esac\n"
        "echo $$ > \""
            + pidFile + ".part\"\nmv \"" + pidFile + ".part\" \"" + pidFile + "\"\nexec sleep 600\n");
    auto model = launch();
    model->start();
    auto offer = model->host().makePairingOffer("127.0.0.1");
    ASSERT_TRUE(offer);
    auto paired = pairAsPhone(*model, offer->payload.code);
    ASSERT_EQ(paired.status, 200) << paired.body;
    auto submitted = curlAsPhone(*model, "/v1/jobs",
        { "-H", "Authorization: Bearer " + member(paired.body, "token"), "--data",
            R"({"conversationId": "ios-quit", "botId": "main", "message": "Take your time."})" });
    ASSERT_EQ(submitted.status, 202) << submitted.body;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(m_folder / "claude.pid") && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(std::filesystem::exists(m_folder / "claude.pid"));
    auto pid = std::stoi(readFile(m_folder / "claude.pid"));
    ASSERT_EQ(kill(pid, 0), 0);

    QuitSignals quitSignals([&] { model->quit(); });
    QTimer::singleShot(0, [] { raise(SIGTERM); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_NE(kill(pid, 0), 0);
}

TEST(Application, ASignalWhileTheRelayRunsEndsTheProcessWithZero)
{
    TemporaryFolder home;
    ApplicationProcess application(
        std::filesystem::path(VELLUMAR_APP_BUNDLE_INFO).parent_path() / "vellumar", home.path());
    ASSERT_TRUE(application.waitUntilListening());
    EXPECT_TRUE(std::filesystem::exists(home / "data/Vellumar/tls/cert.pem"));
    // Logging out may send more than one.
    EXPECT_EQ(application.endWith({ SIGTERM, SIGHUP }), 0);
}
