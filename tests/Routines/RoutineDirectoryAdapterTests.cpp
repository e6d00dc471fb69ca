#include "VellumarMacCore/Routines/RoutineDirectoryAdapter.h"

#include "tests/Routines/RoutineManagerFixture.h"
#include "tests/support/FileFixtures.h"

namespace vellumar::test {
namespace {

    class RoutineDirectoryAdapterTest : public RoutineManagerTest {
    protected:
        // Over the manager of the moment.
        RoutineDirectoryAdapter directory()
        {
            return { manager, [options = options] { return options->routines(); },
                [] { return zone("Europe/Berlin"); } };
        }
    };

    JSON::Object stored(const char* id, const char* botID, std::int64_t createdAt, JSON::Object changes)
    {
        auto record = routineBody();
        record.insert_or_assign("id", id);
        record.insert_or_assign("botId", botID);
        record.insert_or_assign("name", std::string("Name ") + id);
        record.insert_or_assign("createdAt", createdAt);
        for (auto& [key, value] : changes)
            record.insert_or_assign(key, value);
        return record;
    }

    TEST_F(RoutineDirectoryAdapterTest, ListsRoutinesOldestFirstWithTheirLabels)
    {
        const JSON records[] = {
            stored("r-00000003", "main", 300, { { "enabled", true } }),
            // A schedule that no longer parses, and no "enabled" at all.
            stored("r-00000001", "main", 200,
                { { "schedule", JSON::object({ { "kind", "weekly" }, { "time", "07:00" } }) } }),
            stored("r-00000002", "other", 100, { { "enabled", "yes" } }),
        };
        writeBytes(file,
            JSON::object({ { "routines", JSON::Array(std::begin(records), std::end(records)) } }).encoded());
        manager = makeManager();
        auto reloaded = directory();

        auto disabled = [](std::string id, std::string botID, std::string schedule) {
            return RoutineSummary { .id = id, .botID = botID, .name = "Name " + id, .schedule = schedule };
        };
        auto enabled = disabled("r-00000003", "main", "every day at 7:00");
        enabled.enabled = true;
        EXPECT_EQ(
            reloaded.summaries("main", false), (std::vector { disabled("r-00000001", "main", ""), enabled }));
        EXPECT_EQ(reloaded.summaries("main", true),
            (std::vector { disabled("r-00000002", "other", "every day at 7:00"),
                disabled("r-00000001", "main", ""), enabled }));
        EXPECT_TRUE(reloaded.summaries("nobody", false).empty());
    }

    TEST_F(RoutineDirectoryAdapterTest, SwitchedOffItListsNoSummariesButTheWholeIndex)
    {
        auto first = create();
        auto second = create({ { "botId", "other" }, { "name", "Mail" } });
        auto directory = this->directory();
        options->setRoutines(false);
        EXPECT_FALSE(directory.routinesEnabled());
        EXPECT_TRUE(directory.summaries("main", false).empty());
        EXPECT_TRUE(directory.summaries("main", true).empty());
        EXPECT_EQ(directory.routineIndex(),
            (RoutineDirectory::Index { { first, { "main", "News" } }, { second, { "other", "Mail" } } }));
        options->setRoutines(true);
        EXPECT_TRUE(directory.routinesEnabled());
        EXPECT_EQ(directory.summaries("main", true).size(), 2u);
        EXPECT_EQ(timeZoneIdentifier(*directory.timeZone()), "Europe/Berlin");
    }

}
}
