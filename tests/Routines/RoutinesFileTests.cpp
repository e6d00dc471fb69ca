#include "VellumarMacCore/Routines/RoutinesFile.h"

#include "tests/Routines/RoutineManagerFixture.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/ProcessFixtures.h"

#include <random>

namespace vellumar::test {
namespace {

    std::string summary(const RoutinesFile& state)
    {
        std::string text = "routines";
        for (const auto& [id, record] : state.routines)
            text += " " + id;
        text += "; results " + std::to_string(state.results.size());
        if (!state.results.empty())
            text += " from " + state.results.front().encoded();
        return text + "; seq " + std::to_string(state.seq) + "; runs "
            + std::to_string(state.scheduledRuns.size());
    }

    std::string numberedResults(int count)
    {
        std::string text;
        for (int seq = 1; seq <= count; ++seq)
            text += (seq > 1 ? "," : "") + JSON::object({ { "seq", seq } }).encoded();
        return "[" + text + "]";
    }

    TEST_F(RoutineManagerTest, LoadKeepsWhatPassesItsChecksOneByOne)
    {
        const std::pair<std::string, std::string> cases[] = {
            { R"({"routines":{"r-0000000a":{"id":"r-0000000a"}}})", "routines; results 0; seq 0; runs 0" },
            { R"({"routines":[{"id":"r-0000000A"},{"id":"r-000000a"},{"id":"r-0000000aa"},{"id":"x-0000000a"},
                {"id":"r-0000000a","name":"kept"},{},{"id":7},5]})",
                "routines r-0000000a; results 0; seq 0; runs 0" },
            { R"({"results":)" + numberedResults(250) + "}",
                R"(routines; results 200 from {"seq":51}; seq 0; runs 0)" },
            { R"({"seq":7.5})", "routines; results 0; seq 0; runs 0" },
            { R"({"seq":12})", "routines; results 0; seq 12; runs 0" },
            { R"({"scheduledRuns":["1740787200000",1.5,1740787200000]})",
                "routines; results 0; seq 0; runs 1" },
        };
        for (const auto& [document, expected] : cases) {
            SCOPED_TRACE(document);
            writeBytes(file, document);
            EXPECT_EQ(summary(RoutinesFile::load(file).value()), expected);
            EXPECT_EQ(namesIn(folder.path()), std::set<std::string> { "routines.json" });
        }
    }

    TEST_F(RoutineManagerTest, SavesRoutinesByCreationInAPrivateFile)
    {
        writeBytes(file,
            R"({"routines":[{"id":"r-00000001","createdAt":300},{"id":"r-00000002"},{"id":"r-00000003","createdAt":100}],
                "results":)"
                + numberedResults(250) + R"(,"seq":250})");
        ::chmod(file.c_str(), 0644);
        manager = makeManager();
        auto id = create();
        auto saved = decoded(readFile(file));
        std::vector<std::string> order;
        for (const auto& record : *saved.subscript("routines")->arrayValue())
            order.push_back(textOf(record, "id"));
        EXPECT_EQ(order, (std::vector<std::string> { "r-00000002", "r-00000003", "r-00000001", id }));
        EXPECT_EQ(saved.subscript("results")->arrayValue()->size(), 200u);
        EXPECT_EQ(manager->results(249).encoded(), R"({"latest":250,"results":[{"seq":250}]})");
        EXPECT_EQ(modeOf(file), 0600u);
    }

    TEST_F(RoutineManagerTest, DamagedFileIsSetAsideBeforeTheFirstSave)
    {
        const std::string damaged[] = { R"({"routines":[{"id":"r-0000000a")", "[]", "\xff\xfe{}" };
        for (const auto& bytes : damaged) {
            SCOPED_TRACE(bytes);
            std::filesystem::remove_all(folder.path());
            writeBytes(file, bytes);
            manager = makeManager();
            EXPECT_EQ(manager->list(std::nullopt).subscript("routines")->arrayValue()->size(), 0u);
            create();
            auto names = namesIn(folder.path());
            ASSERT_EQ(names.size(), 2u);
            EXPECT_EQ(readFile(folder / *names.rbegin()), bytes);
            EXPECT_EQ(decoded(readFile(file)).subscript("routines")->arrayValue()->size(), 1u);
        }
    }

    // A child saves in a loop and is killed at a random point of some save; what it leaves must always
    // be one whole file.
    TEST_F(RoutineManagerTest, KillDuringASaveLeavesTheOldOrTheNewFile)
    {
        std::string id;
        for (int count = 0; count < 20; ++count)
            id = create({ { "prompt", repeated("p", 2000) } });
        std::mt19937 random(std::random_device {}());
        for (int round = 0; round < 30; ++round) {
            SCOPED_TRACE(round);
            std::shared_ptr<RoutineManager> saving;
            bool odd = false;
            test::killWhileRepeating(
                [&] {
                    if (!saving)
                        saving = makeManager();
                    odd = !odd;
                    saving->update(id, JSON::object({ { "name", odd ? "Odd" : "Even" } }));
                    return true;
                },
                random);
            ASSERT_EQ(decoded(readFile(file)).subscript("routines")->arrayValue()->size(), 20u);
            EXPECT_EQ(RoutinesFile::load(file).value().routines.size(), 20u);
            EXPECT_EQ(namesIn(folder.path()), std::set<std::string> { "routines.json" });
        }
    }

}
}
