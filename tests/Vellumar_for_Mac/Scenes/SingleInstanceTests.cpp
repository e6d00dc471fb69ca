#include "Vellumar_for_Mac/Scenes/SingleInstance.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"
#include "tests/support/ApplicationProcess.h"

#include <QLocalSocket>

#include <sys/wait.h>
#include <unistd.h>

using namespace vellumar;
using namespace vellumar::test;

namespace {

class SingleInstanceTest : public ViewsTest {
protected:
    QString folder() const { return QString::fromStdString((m_folder / "run").string()); }

    SingleInstanceTest() { std::filesystem::create_directories(m_folder / "run"); }
};

}

TEST_F(SingleInstanceTest, ALockLeftByAProcessThatEndedIsTakenOver)
{
    pid_t child = fork();
    if (child == 0) {
        SingleInstance holder(folder());
        // Ends without letting go, as a crash would.
        _exit(holder.claim() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(std::filesystem::exists(m_folder / "run/vellumar.lock"));
    SingleInstance instance(folder());
    EXPECT_TRUE(instance.claim());
}

TEST_F(SingleInstanceTest, ALaterStartOfTheApplicationAsksTheRunningOneForItsMenu)
{
    SingleInstance first(folder());
    ASSERT_TRUE(first.claim());
    int asked = 0;
    QObject::connect(&first, &SingleInstance::showMenuAsked, [&] { ++asked; });
    // The real executable as the second start, with this runtime folder.
    InteractivePeer second({ "env", "XDG_RUNTIME_DIR=" + folder().toStdString(), "QT_QPA_PLATFORM=offscreen",
        "HOME=" + m_folder.path().string(), std::string(VELLUMAR_APP_EXECUTABLE) });
    ASSERT_TRUE(processEventsUntil([&] { return asked == 1; }));
    EXPECT_EQ(second.wait(), 0);
    EXPECT_EQ(asked, 1);
}

TEST_F(SingleInstanceTest, ARequestThatIsNotOneShortLineIsDroppedUnanswered)
{
    SingleInstance first(folder());
    ASSERT_TRUE(first.claim());
    int asked = 0;
    QObject::connect(&first, &SingleInstance::showMenuAsked, [&] { ++asked; });
    const struct {
        const char* name;
        QByteArray request;
    } cases[] = { { "other line", "show-window\n" }, { "too long", QByteArray(65, 'x') } };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        QLocalSocket peer;
        peer.connectToServer(folder() + "/vellumar.socket");
        ASSERT_TRUE(processEventsUntil([&] { return peer.state() == QLocalSocket::ConnectedState; }));
        peer.write(testCase.request);
        ASSERT_TRUE(processEventsUntil([&] { return peer.state() == QLocalSocket::UnconnectedState; }));
        EXPECT_EQ(peer.readAll(), QByteArray());
    }
    EXPECT_EQ(asked, 0);
}

TEST_F(SingleInstanceTest, TheSocketIsTheUsersOnly)
{
    SingleInstance first(folder());
    ASSERT_TRUE(first.claim());
    auto permissions = std::filesystem::status(m_folder / "run/vellumar.socket").permissions();
    EXPECT_EQ(permissions & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
        std::filesystem::perms::none);
}
