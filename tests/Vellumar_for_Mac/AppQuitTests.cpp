// Quitting: the signals that end a session, the model's bounded quit, and the application itself
// ended by a signal while its relay runs.
#include "AppModelFixture.h"

#include "Vellumar_for_Mac/Model/QuitSignals.h"
#include "VellumarMacCore/ClaudeCode/SandboxPlaceholders.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/LiveRuns.h"
#include "VellumarMacCore/GitProtection/GitProtection.h"
#include "VellumarMacCore/RelayHost/RelayHost.h"
#include "tests/support/ApplicationProcess.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"
#include "tests/support/RepositoryFolders.h"
#include "tests/support/ScriptedModel.h"

#include <QTimer>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
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

// An advertiser whose publish holds until the test lets it go. The relay's start publishes under the
// host's lock, which every stop takes: while it holds, the relay cannot stop.
class HeldAdvertiserFake final : public platform::ServiceDiscovery {
public:
    class Hold {
    public:
        void release() { set(m_released); }
        // Each wait guards against a hang; it measures nothing.
        bool waitUntilPublishing() { return waitFor(m_publishing); }
        bool waitUntilGone() { return waitFor(m_gone); }

    private:
        friend HeldAdvertiserFake;
        void set(bool& flag)
        {
            std::lock_guard lock(m_lock);
            flag = true;
            m_changed.notify_all();
        }
        bool waitFor(const bool& flag)
        {
            std::unique_lock lock(m_lock);
            return m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return flag; });
        }

        std::mutex m_lock;
        std::condition_variable m_changed;
        bool m_publishing = false;
        bool m_released = false;
        bool m_gone = false;
    };

    explicit HeldAdvertiserFake(std::shared_ptr<Hold> hold)
        : m_hold(std::move(hold))
    {
    }
    ~HeldAdvertiserFake() override { m_hold->set(m_hold->m_gone); }

    void publish(platform::ServiceAdvertisement) override
    {
        m_hold->set(m_hold->m_publishing);
        std::unique_lock lock(m_hold->m_lock);
        m_hold->m_changed.wait(lock, [&] { return m_hold->m_released; });
    }
    void withdraw() override { }

private:
    std::shared_ptr<Hold> m_hold;
};

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

// A signal and then the menu may both quit; the second waits for nothing, and the first no longer
// than its bound, however long the relay takes to stop.
TEST_F(AppQuitTest, TwoQuitsWaitOnceAndBoundedForARelayHeldByAFakeAdvertiser)
{
    auto hold = std::make_shared<HeldAdvertiserFake::Hold>();
    auto launch = launchIn(m_folder);
    launch.serviceDiscovery = [hold] { return std::make_unique<HeldAdvertiserFake>(hold); };
    auto model = std::make_unique<AppModel>(std::move(launch));
    std::thread starting([&] {
        try {
            model->host().start({ { "127.0.0.1" }, {} });
        } catch (const std::exception& error) {
            ADD_FAILURE() << "the relay did not start: " << error.what();
        }
    });
    EXPECT_TRUE(hold->waitUntilPublishing());

    const auto started = std::chrono::steady_clock::now();
    model->quit();
    model->quit();
    const auto waited = std::chrono::steady_clock::now() - started;
    // The held stop then runs to its end, before the model it uses goes.
    hold->release();
    starting.join();
    EXPECT_TRUE(hold->waitUntilGone());
    EXPECT_GE(waited, AppModel::kQuitWait);
    // A second stop, or a longer bound, shows as twice the bound; the margin below that is for a busy
    // machine.
    EXPECT_LT(waited, AppModel::kQuitWait * 9 / 5)
        << "the quits waited " << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()
        << " ms";
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
    // The quit ends the fake's group; the fake may still be ending as the event loop returns.
    EXPECT_TRUE(processEndsWithin(60, pid));
}

namespace {

// The application that a test signals to quit: this test program started again for the one test, as
// the program's own start runs it (ending the process once the event loop ends), in the folder given.
constexpr const char* kQuittingApplicationIn = "VELLUMAR_TEST_QUITTING_APPLICATION_IN";

// A `claude` in the home's ".local/bin" that becomes the real CLI against `model` for a run (the start's
// checks end at once), with this test program, which Claude Code would start as the permission tool,
// replaced by the application's executable.
void installRealClaude(const std::filesystem::path& home, const ScriptedModel& model)
{
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string application
        = (std::filesystem::path(VELLUMAR_APP_BUNDLE_INFO).parent_path() / "vellumar").string();
    std::string script = "#!/bin/sh\ncase \" $* \" in *\" --output-format \"*) ;; *) exit 0 ;; esac\n";
    for (const auto& [name, value] : model.claudeEnvironment(home))
        script += "export " + name + "='" + value + "'\n";
    script += "for argument; do shift; set -- \"$@\" \"$(printf '%s' \"$argument\" | sed 's|" + self + "|"
        + application + "|g')\"; done\nexec '" + realClaudeExecutable().string() + "' \"$@\"\n";
    writeExecutable(home / ".local/bin/claude", script);
}

}

// A command sleeps in a granted folder of repositories, itself one, when the application is asked to
// quit, as a logout does: Claude Code gets SIGTERM and the time to end its command, and the run the time
// to take back what it held, so the folder holds what it held before the run, with no start after, and
// no record is left for a next start.
TEST_F(AppQuitTest, ASignalDuringASandboxedCommandLeavesTheGrantedFolderAsItWas)
{
    const std::string conversation = "ios-quit";
    if (const char* folder = std::getenv(kQuittingApplicationIn)) {
        auto* model = new AppModel(launchIn(std::filesystem::path(folder)));
        model->start();
        auto offer = model->host().makePairingOffer("127.0.0.1");
        auto paired = pairAsPhone(*model, offer ? offer->payload.code : "");
        const std::string projects = (std::filesystem::path(folder) / "home/Projects").string();
        auto submitted = curlAsPhone(*model, "/v1/jobs",
            { "-H", "Authorization: Bearer " + member(paired.body, "token"), "--data",
                JSON::object(
                    { { "conversationId", conversation }, { "botId", "main" }, { "message", "Run it." },
                        { "permissions",
                            JSON::object({ { "bash", true },
                                { "folders",
                                    JSON::array({ JSON::object(
                                        { { "path", projects }, { "access", "write" } }) }) } }) } })
                    .encoded() });
        if (submitted.status != 202)
            std::_Exit(3);
        QuitSignals quitSignals([model] { model->quit(); });
        std::_Exit(QCoreApplication::exec());
    }
    if (auto reason = commandSandboxUnavailableReason())
        GTEST_SKIP() << "Claude Code's command sandbox cannot run here: " << *reason;
    for (int signal : { SIGTERM, SIGHUP }) {
        SCOPED_TRACE(signal);
        TemporaryFolder folder;
        const auto root = std::filesystem::canonical(folder.path());
        const auto projects = root / "home/Projects";
        const auto data = root / "data/Vellumar";
        makeProjectsFolder(projects);
        ASSERT_EQ(runPeer({ "git", "init", "-q", projects.string() }).exitStatus, 0);
        const auto before = treeContents(projects);
        const auto command = JSON::object(
            { { "command", "touch \"$PWD/started\"; sleep 600" }, { "description", "Run a command." } });
        ScriptedModel model(root / "model",
            JSON::array({ JSON::object(
                              { { "tool_use", JSON::object({ { "name", "Bash" }, { "input", command } }) } }),
                            JSON::object({ { "text", "Done." } }) })
                .encoded());
        installRealClaude(root / "home", model);
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        InteractivePeer application({ "env", std::string(kQuittingApplicationIn) + "=" + root.string(),
            std::filesystem::read_symlink("/proc/self/exe").string(),
            "--gtest_filter=" + std::string(test->test_suite_name()) + "." + test->name() });
        ASSERT_TRUE(fileAppears(data / "workspaces" / conversation / "started"));
        auto group = groupLedByChildOf(application.pid());
        ASSERT_TRUE(group);
        // What the quit must take back is there as the command runs.
        EXPECT_EQ(readFile(projects / ".git/commondir"), "../.git\n");
        // Claude Code's own, in the granted folder; the record may also name some it did not make.
        auto placeholders
            = LiveRuns::decoded(readFile(LiveRuns::recordOf(data, LiveRuns::Kind::sandboxPlaceholder)))
                  .entries;
        std::erase_if(placeholders,
            [&](const auto& entry) { return std::filesystem::path(entry.key).parent_path() != projects; });
        EXPECT_FALSE(placeholders.empty());
        for (const auto& placeholder : placeholders)
            EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(placeholder.key)))
                << placeholder.key;
        EXPECT_TRUE(std::filesystem::exists(LiveRuns::recordOf(data, LiveRuns::Kind::guardedUnit)));

        ::kill(application.pid(), signal);
        EXPECT_EQ(application.wait(), 0);
        EXPECT_TRUE(groupEnds(*group));
        // A busy machine may end the quit's bound before the run took back all it held: the next start
        // takes back the rest, from the records.
        const LiveRuns::Kind kinds[] = { LiveRuns::Kind::guardedUnit, LiveRuns::Kind::commonDirPlaceholder,
            LiveRuns::Kind::sandboxPlaceholder };
        if (std::ranges::any_of(
                kinds, [&](auto kind) { return std::filesystem::exists(LiveRuns::recordOf(data, kind)); }))
            AppModel nextStart(launchIn(root));
        EXPECT_EQ(changedItems(before, treeContents(projects)), std::vector<std::string> {});
        for (auto kind : kinds)
            EXPECT_FALSE(std::filesystem::exists(LiveRuns::recordOf(data, kind)))
                << LiveRuns::recordOf(data, kind);
    }
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
