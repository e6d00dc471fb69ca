#include "tests/Routines/RoutineManagerFixture.h"

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "tests/support/FileFixtures.h"

#include <functional>
#include <optional>

namespace vellumar::test {
namespace {

    using namespace std::chrono_literals;

    constexpr std::int64_t kStart = 1'740'787'200'000; // ManualClock's start, 2025-03-01 00:00 UTC
    constexpr std::int64_t kHour = 3'600'000;

    JSON interval(int hours) { return JSON::object({ { "kind", "interval" }, { "hours", hours } }); }

    TEST_F(RoutineManagerTest, SwitchedOffEveryOperationAnswers409AndChangesNothing)
    {
        auto id = create();
        auto bytes = readFile(file);
        auto record = JSON(manager->stored(id)).encoded();
        options->setRoutines(false);
        const std::pair<const char*, std::function<void()>> operations[] = {
            { "list", [&] { manager->list(std::nullopt); } },
            { "routine", [&] { manager->routine(id); } },
            { "create", [&] { manager->create(routineBody()); } },
            { "update",
                [&] {
                    manager->update(id, JSON::object({ { "name", "Renamed" } }));
                } },
            { "delete", [&] { manager->remove(id); } },
            { "results", [&] { manager->results(-1); } },
            { "run now", [&] { manager->runNow(id); } },
        };
        for (const auto& [name, operation] : operations) {
            SCOPED_TRACE(name);
            EXPECT_EQ(thrown<RelayHTTPError>(operation),
                RelayHTTPError(
                    409, "routines_off", "Routines are turned off on this Mac (Vellumar for Mac menu)."));
        }
        EXPECT_EQ(readFile(file), bytes);
        EXPECT_EQ(JSON(manager->stored(id)).encoded(), record);
    }

    TEST_F(RoutineManagerTest, TwentyRoutinesRefuseABadBodyFirstThenAnyOther)
    {
        for (int count = 0; count < 20; ++count)
            create();
        auto withoutPrompt = routineBody();
        withoutPrompt.erase("prompt");
        EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->create(withoutPrompt); }),
            RelayHTTPError::badRequest("The routine's fields are not valid."));
        EXPECT_EQ(thrown<RelayHTTPError>([&] { manager->create(routineBody()); }),
            RelayHTTPError(409, "too_many", "There can be at most 20 routines."));
        EXPECT_EQ(manager->list(std::nullopt).subscript("routines")->arrayValue()->size(), 20u);
    }

    TEST_F(RoutineManagerTest, CreatedWithoutEnabledIsOffButHasItsNextRun)
    {
        auto record = manager->stored(create());
        EXPECT_EQ(record.at("enabled"), false);
        EXPECT_EQ(record.at("nextRunAt"), JSON(kStart + 7 * kHour));
    }

    TEST_F(RoutineManagerTest, UpdateRefusesBeforeItChangesAndRecomputesOnlyWhenTurnedOn)
    {
        auto id = create({ { "schedule", interval(5) } });
        EXPECT_EQ(thrown<RelayHTTPError>([&] {
            manager->update(id, JSON::object({ { "botId", "main" } }));
        }),
            RelayHTTPError::badRequest("The routine's fields are not valid."));
        EXPECT_EQ(thrown<RelayHTTPError>([&] {
            manager->update("r-00000000", JSON::object({ { "botId", 1 } }));
        }),
            RelayHTTPError(404, "not_found", "The routine was not found."));

        auto before = manager->stored(id);
        clock->advance(7h);
        manager->update(id, JSON::Object {});
        auto after = manager->stored(id);
        EXPECT_EQ(after.at("updatedAt"), JSON(kStart + 7 * kHour));
        after.insert_or_assign("updatedAt", before.at("updatedAt"));
        EXPECT_EQ(after, before);

        const std::tuple<const char*, JSON::Object, std::int64_t> steps[] = {
            { "off keeps the missed time", { { "enabled", false } }, kStart + 5 * kHour },
            { "on steps from the creation time", { { "enabled", true } }, kStart + 10 * kHour },
            { "a new schedule steps from now", { { "schedule", interval(5) } }, kStart + 12 * kHour },
        };
        for (const auto& [name, body, nextRunAt] : steps) {
            SCOPED_TRACE(name);
            manager->update(id, body);
            EXPECT_EQ(manager->stored(id).at("nextRunAt"), JSON(nextRunAt));
        }
    }

    TEST_F(RoutineManagerTest, EachMemberRuleAnswersWithItsOwnMessage)
    {
        const std::pair<JSON::Object, const char*> cases[] = {
            { { { "botId", "Main" } }, "botId is not valid." },
            { { { "conversationId", "ios-" + std::string(114, 'a') } }, "conversationId is not valid." },
            { { { "name", "Line\nbreak" } }, "name must be 1 to 40 characters." },
            { { { "prompt", "   " } }, "prompt must be 1 to 2000 characters." },
            { { { "enabled", "yes" } }, "enabled must be true or false." },
            { { { "includeToday", 1 } }, "includeToday must be true or false." },
            { { { "target", "routines" } }, "target must be routine or bot." },
        };
        for (const auto& [changes, message] : cases) {
            SCOPED_TRACE(message);
            EXPECT_EQ(thrown<RelayHTTPError>([&] { create(changes); }), RelayHTTPError::badRequest(message));
        }
        EXPECT_FALSE(std::filesystem::exists(file)) << "a refused body stored something";
    }

    TEST_F(RoutineManagerTest, ThePhoneNeverSeesTheBotOrThePermissions)
    {
        JSON::Object kept { { "bot", JSON::object({ { "name", "Quill" } }) },
            { "permissions", JSON::object({ { "bash", true } }) } };
        auto created = manager->create([&] {
            auto body = routineBody();
            body.insert(kept.begin(), kept.end());
            return body;
        }());
        auto id = textOf(created, "id");
        auto stored = manager->stored(id);
        EXPECT_EQ(textOf(stored.at("bot"), "name"), "Quill");
        EXPECT_EQ(stored.at("permissions"), kept.at("permissions"));
        const std::pair<const char*, JSON> described[] = {
            { "create", created },
            { "routine", manager->routine(id) },
            { "update", manager->update(id, kept) },
            { "list", manager->list(std::nullopt).subscript("routines")->arrayValue()->at(0) },
        };
        for (const auto& [name, routine] : described) {
            SCOPED_TRACE(name);
            EXPECT_EQ(textOf(routine, "id"), id);
            EXPECT_EQ(routine.subscript("bot"), nullptr);
            EXPECT_EQ(routine.subscript("permissions"), nullptr);
        }
    }

    TEST_F(RoutineManagerTest, ListingForABotShowsOnlyThatBotsRoutines)
    {
        auto first = create({ { "botId", "main" } });
        clock->advance(1min);
        auto other = create({ { "botId", "helper" } });
        clock->advance(1min);
        auto second = create({ { "botId", "main" } });
        auto idsFor = [&](const std::optional<std::string>& botID) {
            std::vector<std::string> ids;
            auto listed = manager->list(botID);
            for (const auto& routine : *listed.subscript("routines")->arrayValue())
                ids.push_back(textOf(routine, "id"));
            return ids;
        };
        EXPECT_EQ(idsFor("main"), (std::vector { first, second }));
        EXPECT_EQ(idsFor("helper"), std::vector { other });
        EXPECT_EQ(idsFor("mai"), std::vector<std::string> {});
        EXPECT_EQ(idsFor(std::nullopt).size(), 3u);
    }

}
}
