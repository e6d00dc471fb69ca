#include "VellumarMacCore/ConversationData/RelayData.h"

#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;
    using test::namesIn;

    constexpr const char* kConversation = "ios-phone:c-1";
    constexpr const char* kSession = "0f8b2c1e-5d7a-4e3b-9c61-2a4f8e7d6b50";

    TEST(RelayData, BuildsOverAMissingFolderAndPlacesEveryStoreInIt)
    {
        test::TemporaryFolder folder;
        fs::path root = folder / "data";
        {
            RelayData data({ .folder = root, .home = folder.path() });
            data.sessions.recordReply(kConversation, "bot", kSession, {});
            data.memory.apply(kConversation, { MemoryStore::Op::remember("Likes green tea") });
            data.activity.append(kConversation, { JSON::object({ { "kind", "read" } }) });
            data.workspaces.folder(kConversation);
        }
        EXPECT_EQ(namesIn(root),
            (std::set<std::string> { "sessions.json", "memory.json", "activity", "workspaces" }));
        // A second root over the same folder finds what the first one stored.
        RelayData again({ .folder = root, .home = folder.path() });
        EXPECT_EQ(again.sessions.sessionID(kConversation, "bot"), kSession);
    }

    TEST(RelayData, SweepRemovesSpoolEntriesAndKeepsEverythingElse)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });
        fs::path incoming = data.incomingFolder();
        test::writeBytes(folder / "outside.txt", "not in the spool folder");
        for (const char* name :
            { ".incoming-3f9a", "mailbox-req-1", "incoming-3f9a", ".incoming", "Mailbox-1" })
            test::writeBytes(incoming / name, "spooled");
        test::writeBytes(incoming / ".incoming-folder" / "part", "half a body");
        fs::create_symlink(folder / "outside.txt", incoming / "mailbox-link");

        data.sweepIncoming();

        EXPECT_EQ(namesIn(incoming), (std::set<std::string> { "incoming-3f9a", ".incoming", "Mailbox-1" }));
        EXPECT_EQ(test::readFile(folder / "outside.txt"), "not in the spool folder");
    }

}
}
