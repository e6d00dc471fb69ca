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

    std::vector<std::string> labelsOfCards(RelayData& data)
    {
        std::vector<std::string> labels;
        for (const auto& card :
            data.approvals.add(kConversation, { { "bash", "ls" }, { "write", "/tmp/a" } }))
            labels.push_back(*card.subscript("label")->stringValue());
        return labels;
    }

    TEST(RelayData, LabelsApprovalsWithTheGivenTableOrTheDefaultOne)
    {
        test::TemporaryFolder folder;
        RelayData defaults({ .folder = folder / "data", .home = folder.path() });
        EXPECT_EQ(labelsOfCards(defaults),
            (std::vector<std::string> { "Running commands", "Writing to the allowed folders" }));
        RelayData given({ .folder = folder / "data",
            .home = folder.path(),
            .labels
            = RelayData::Labels { { "bash", "Befehle ausführen" }, { "write", "In Ordner schreiben" } } });
        EXPECT_EQ(
            labelsOfCards(given), (std::vector<std::string> { "Befehle ausführen", "In Ordner schreiben" }));
    }

    TEST(RelayData, ResolvesTheHomeLinkButKeepsTheDataFolderAsGiven)
    {
        test::TemporaryFolder folder;
        fs::create_directories(folder / "real-home" / "data");
        fs::create_directory_symlink(folder / "real-home", folder / "home-link");
        RelayData data({ .folder = folder / "home-link" / "data", .home = folder / "home-link" });
        EXPECT_EQ(data.resolver.home, fs::canonical(folder / "real-home"));
        EXPECT_EQ(data.resolver.dataFolder, folder / "home-link" / "data");
        EXPECT_EQ(data.folder, folder / "home-link" / "data");
        EXPECT_EQ(data.resolver.probeTimeout, 3.0);
    }

    TEST(RelayData, BuildsOverAMissingFolderAndPlacesEveryStoreInIt)
    {
        test::TemporaryFolder folder;
        fs::path root = folder / "data";
        {
            RelayData data({ .folder = root, .home = folder.path(), .quota = 4096 });
            EXPECT_FALSE(data.sessions.sessionID(kConversation, "bot"));
            EXPECT_TRUE(data.activity.entries(kConversation).empty());
            EXPECT_EQ(data.uploads.list(kConversation),
                JSON::object({ { "conversationId", kConversation }, { "files", JSON::Array {} } }));
            data.sweepIncoming();
            EXPECT_TRUE(namesIn(folder.path()).empty());
            EXPECT_EQ(data.incomingFolder(), root / "incoming");
            EXPECT_EQ(data.routinesFile(), root / "routines.json");
            EXPECT_EQ(data.uploads.workspaces().root(), root / "workspaces");
            EXPECT_EQ(data.uploads.workspaces().quota(), 4096);

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
        EXPECT_EQ(again.memory.memories(kConversation).size(), 1u);
        EXPECT_EQ(again.activity.entries(kConversation).size(), 1u);
        EXPECT_TRUE(again.workspaces.existingFolder(kConversation));
    }

    TEST(RelayData, SweepRemovesSpoolEntriesAndKeepsEverythingElse)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });
        fs::path incoming = data.incomingFolder();
        test::writeBytes(folder / "outside.txt", "not in the spool folder");
        for (const char* name : { ".incoming-3f9a", ".incoming-", "mailbox-req-1", "incoming-3f9a",
                 ".incoming", "mailbox", "Mailbox-1" })
            test::writeBytes(incoming / name, "spooled");
        test::writeBytes(incoming / ".incoming-folder" / "part", "half a body");
        fs::create_symlink(folder / "outside.txt", incoming / "mailbox-link");

        data.sweepIncoming();

        EXPECT_EQ(namesIn(incoming),
            (std::set<std::string> { "incoming-3f9a", ".incoming", "mailbox", "Mailbox-1" }));
        EXPECT_EQ(test::readFile(folder / "outside.txt"), "not in the spool folder");

        // A spool folder that cannot be listed is left alone.
        fs::remove_all(incoming);
        test::writeBytes(incoming, "a file where the folder should be");
        data.sweepIncoming();
        EXPECT_EQ(test::readFile(incoming), "a file where the folder should be");
    }

}
}
