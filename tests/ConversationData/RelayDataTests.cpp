#include "VellumarMacCore/ConversationData/RelayData.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace vellumar {
namespace {

    namespace fs = std::filesystem;

    constexpr const char* kConversation = "ios-phone:c-1";
    constexpr const char* kSession = "0f8b2c1e-5d7a-4e3b-9c61-2a4f8e7d6b50";

    std::set<std::string> namesIn(const fs::path& folder)
    {
        std::set<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            names.insert(it->path().filename().string());
        return names;
    }

    void writeBytes(const fs::path& file, const std::string& bytes)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << bytes;
    }

    std::vector<std::string> labelsOfCards(RelayData& data)
    {
        std::vector<std::string> labels;
        for (const auto& card :
            data.approvals.add(kConversation, { { "bash", "ls -la" }, { "write", "/tmp/out.txt" } }))
            labels.push_back(*card.subscript("label")->stringValue());
        return labels;
    }

    TEST(RelayData, LabelsApprovalsWithTheDefaultTableWhenGivenNone)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });

        EXPECT_EQ(labelsOfCards(data),
            (std::vector<std::string> { "Running commands", "Writing to the allowed folders" }));
        EXPECT_EQ(RelayData::defaultLabels(),
            (RelayData::Labels {
                { "bash", "Running commands" }, { "write", "Writing to the allowed folders" } }));
    }

    TEST(RelayData, LabelsApprovalsWithTheGivenTable)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data",
            .home = folder.path(),
            .labels
            = RelayData::Labels { { "bash", "Befehle ausführen" }, { "write", "In Ordner schreiben" } } });

        EXPECT_EQ(
            labelsOfCards(data), (std::vector<std::string> { "Befehle ausführen", "In Ordner schreiben" }));
    }

    TEST(RelayData, ResolvesTheHomeLinkButKeepsTheDataFolderAsGiven)
    {
        test::TemporaryFolder folder;
        fs::create_directories(folder / "real-home" / "data");
        fs::create_directory_symlink(folder / "real-home", folder / "home-link");
        fs::path dataThroughLink = folder / "home-link" / "data";

        RelayData data({ .folder = dataThroughLink, .home = folder / "home-link" });

        EXPECT_EQ(data.resolver.home, fs::canonical(folder / "real-home"));
        EXPECT_EQ(data.resolver.dataFolder, dataThroughLink);
        EXPECT_EQ(data.folder, dataThroughLink);
        EXPECT_EQ(data.resolver.probeTimeout, 3.0);
    }

    TEST(RelayData, BuildsOverAMissingFolderWithoutCreatingAnything)
    {
        test::TemporaryFolder folder;
        fs::path missing = folder / "not-yet" / "Vellumar";

        RelayData data({ .folder = missing, .home = folder.path() });

        EXPECT_FALSE(data.sessions.sessionID(kConversation, "bot"));
        EXPECT_TRUE(data.memory.memories(kConversation).empty());
        EXPECT_TRUE(data.activity.entries(kConversation).empty());
        EXPECT_EQ(data.uploads.list(kConversation),
            JSON::object({ { "conversationId", kConversation }, { "files", JSON::Array {} } }));
        EXPECT_EQ(data.incomingFolder(), missing / "incoming");
        EXPECT_EQ(data.routinesFile(), missing / "routines.json");
        data.sweepIncoming();
        EXPECT_TRUE(namesIn(folder.path()).empty());
    }

    TEST(RelayData, PlacesEveryStoreInTheDataFolder)
    {
        test::TemporaryFolder folder;
        fs::path root = folder / "data";
        {
            RelayData data({ .folder = root, .home = folder.path(), .quota = 4096 });
            EXPECT_EQ(data.workspaces.root(), root / "workspaces");
            EXPECT_EQ(data.workspaces.quota(), 4096);
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

    TEST(RelayData, ReadsAMalformedSessionsFileAsEmptyAndKeepsItAside)
    {
        test::TemporaryFolder folder;
        writeBytes(folder / "data" / "sessions.json", "{ not json");

        RelayData data({ .folder = folder / "data", .home = folder.path() });

        EXPECT_FALSE(data.sessions.sessionID(kConversation, "bot"));
        auto names = namesIn(folder / "data");
        ASSERT_EQ(names.size(), 1u);
        EXPECT_TRUE(names.begin()->starts_with("sessions.json.damaged-"));
        EXPECT_EQ(test::readFile(folder / "data" / *names.begin()), "{ not json");
    }

    TEST(RelayData, DeclaresItsStoresInTheOrderTheyAreBuilt)
    {
        // Members are constructed in declaration order, so their addresses show the building order:
        // folder, work folders, sessions, memory, activity, approvals, resolver, uploads.
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });
        const void* fields[] = { &data.folder, &data.workspaces, &data.sessions, &data.memory, &data.activity,
            &data.approvals, &data.resolver, &data.uploads };
        for (std::size_t index = 1; index < std::size(fields); ++index)
            EXPECT_LT(fields[index - 1], fields[index]) << index;
    }

    TEST(RelayData, SweepRemovesSpoolFilesAndKeepsEverythingElse)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });
        fs::path incoming = data.incomingFolder();
        writeBytes(folder / "outside.txt", "not in the spool folder");

        struct Entry {
            const char* name;
            bool removed;
        };
        const Entry entries[] = {
            { ".incoming-3f9a", true },
            { ".incoming-mailbox-77", true },
            { ".incoming-", true },
            { "mailbox-req-1", true },
            { "mailbox-link", true },
            { ".incoming-folder", true },
            { "incoming-3f9a", false },
            { ".incoming", false },
            { "mailbox", false },
            { "Mailbox-1", false },
            { ".DS_Store", false },
            { "notes.txt", false },
        };
        for (const auto& entry : entries) {
            std::string name = entry.name;
            if (name == "mailbox-link")
                fs::create_symlink(folder / "outside.txt", incoming / name);
            else if (name == ".incoming-folder")
                writeBytes(incoming / name / "part", "half a body");
            else
                writeBytes(incoming / name, "spooled");
        }

        data.sweepIncoming();

        std::set<std::string> left = namesIn(incoming);
        for (const auto& entry : entries) {
            SCOPED_TRACE(entry.name);
            EXPECT_EQ(left.count(entry.name), entry.removed ? 0u : 1u);
        }
        EXPECT_EQ(test::readFile(folder / "outside.txt"), "not in the spool folder");
    }

    TEST(RelayData, SweepOfASpoolFolderThatCannotBeListedDoesNothing)
    {
        test::TemporaryFolder folder;
        RelayData data({ .folder = folder / "data", .home = folder.path() });
        writeBytes(data.incomingFolder(), "a file where the folder should be");

        data.sweepIncoming();

        EXPECT_EQ(test::readFile(data.incomingFolder()), "a file where the folder should be");
    }

}
}
