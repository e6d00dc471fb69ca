// A routine made over the phone API runs by itself when the clock reaches its time, through the job
// manager and the real Claude Code CLI from tests/peers against the scripted model endpoint, and its
// result is listed over the API.
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/PairingManager.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "tests/Reply/ReplyRunnerFixture.h"
#include "tests/Routines/RoutineManagerFixture.h"
#include "tests/support/ManualJobClock.h"

namespace vellumar::test {
namespace {

    TEST(RoutineEndToEndRealCLI, ARoutineMadeOverTheAPIRunsAtItsTimeAndItsResultIsListed)
    {
        ResultLog results; // outlives the job manager, whose jobs tell it their results
        RunnerWorld world;
        world.startReal(JSON::array({ textStep("Three calm headlines.") }));
        std::shared_ptr<ReplyRunner> runner = std::move(world.runner);
        auto clock = std::make_shared<ManualJobClock>(); // 2025-03-01 00:00 UTC
        JobManager jobs { { .runner = runner, .clock = clock } };
        RelayOptions options;
        options.setRoutines(true);
        auto routines = std::make_shared<RoutineManager>(
            RoutineManager::Options { .file = world.dataFolder / "routines.json",
                .jobs = jobs,
                .sessions = world.data->sessions,
                .routinesEnabled = [&] { return options.routines(); },
                .clock = clock,
                .timeZone = [] { return zone("UTC"); } });
        DeviceRegistry devices { std::make_shared<MemoryDeviceStorage>(), [&] { return clock->now(); } };
        const auto token = devices.add("Phone").token;
        PairingManager pairing { {} };
        RelayRouter router { { .pairing = pairing,
            .devices = devices,
            .jobs = jobs,
            .runner = runner,
            .data = *world.data,
            .options = options,
            .macID = "mac-1",
            .macName = [] { return std::string("Studio"); },
            .timeZone = [] { return std::string("UTC"); },
            .routines = routines.get() } };
        auto call = [&](const std::string& method, const std::string& target, const std::string& body = "") {
            auto response = router.respond(
                HTTPRequest(method, target, { { "authorization", "Bearer " + token } }, body, true),
                RequestOrigin::lan());
            return std::to_string(response.status()) + " " + response.body();
        };

        routines->addResultObserver(results.observer());
        routines->start();
        ASSERT_TRUE(clock->awaitSleepers(1));
        auto created = call("POST", "/v1/routines",
            R"({"botId": "main", "conversationId": "ios-news", "name": "News", "prompt": "Three headlines.",
                "schedule": {"kind": "daily", "time": "00:01"}, "enabled": true})");
        ASSERT_TRUE(created.starts_with("201 ")) << created;
        const auto id = textOf(decoded(created.substr(4)), "id");
        clock->advance(std::chrono::minutes(1));

        auto entry = results.await(1).at(0);
        EXPECT_EQ(textOf(entry, "status"), "ok") << entry.encoded();
        auto listed = call("GET", "/v1/routines/results");
        ASSERT_TRUE(listed.starts_with("200 ")) << listed;
        auto listedResults = *decoded(listed.substr(4)).subscript("results")->arrayValue();
        ASSERT_EQ(listedResults.size(), 1u);
        EXPECT_EQ(textOf(listedResults[0], "routineId"), id);
        EXPECT_EQ(textOf(listedResults[0], "reply"), "Three calm headlines.");
        EXPECT_EQ(textOf(listedResults[0], "conversationId"), "ios-news:" + id);
        // The model was asked the routine's own request.
        EXPECT_NE(world.model->requestLog().find("Three headlines."), std::string::npos);
        routines->stop();
    }

}
}
