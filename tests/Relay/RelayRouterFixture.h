// A router over real stores in a temporary data folder, one paired device, and a job manager whose
// runs and time the test drives.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Foundations/HTTPRequest.h"
#include "VellumarMacCore/Foundations/HTTPResponse.h"
#include "VellumarMacCore/Jobs/JobManager.h"
#include "VellumarMacCore/Relay/DeviceRegistry.h"
#include "VellumarMacCore/Relay/RelayOptions.h"
#include "VellumarMacCore/Relay/RelayRouter.h"
#include "tests/support/LatchedFakeRunner.h"
#include "tests/support/ManualJobClock.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::test {

class RelayRouterTest : public ::testing::Test {
protected:
    struct Call {
        std::string method;
        std::string target;
        std::string body {};
        // The paired device's token unless replaced; no header when empty.
        std::optional<std::string> authorization {};
        HTTPHeaders headers {};
        RequestOrigin origin = RequestOrigin::lan();
    };

    HTTPResponse call(Call made) const
    {
        auto headers = std::move(made.headers);
        if (auto authorization = made.authorization.value_or("Bearer " + token); !authorization.empty())
            headers.emplace_back("authorization", std::move(authorization));
        HTTPRequest request(made.method, made.target, std::move(headers), std::move(made.body), true);
        return router.respond(request, made.origin);
    }
    HTTPResponse get(std::string target) const
    {
        return call({ .method = "GET", .target = std::move(target) });
    }
    HTTPResponse post(std::string target, std::string body = {}) const
    {
        return call({ .method = "POST", .target = std::move(target), .body = std::move(body) });
    }

    static JSON bodyOf(const HTTPResponse& response)
    {
        return JSON::decode(response.body()).value_or(JSON());
    }
    static std::string text(const JSON& value, std::string_view key)
    {
        const auto* member = value.subscript(key);
        return member && member->stringValue() ? *member->stringValue() : std::string();
    }
    // Status, code and message of an error reply, as one text to compare in a table.
    static std::string outcome(const HTTPResponse& response)
    {
        auto body = bodyOf(response);
        return std::to_string(response.status()) + " " + text(body, "error") + " " + text(body, "message");
    }

    // A job of the conversation through the router, started by the runner unless the limit holds it.
    std::string submit(std::string_view conversation)
    {
        auto reply = post("/v1/jobs",
            R"({"conversationId": "ios-)" + std::string(conversation)
                + R"(", "botId": "main", "message": "Hi"})");
        EXPECT_EQ(reply.status(), 202) << reply.body();
        return text(bodyOf(reply), "jobId");
    }

    TemporaryFolder folder;
    RelayData data { { .folder = folder / "data", .home = folder.path() } };
    DeviceRegistry devices { std::make_shared<MemoryDeviceStorage>(), [] { return ManualJobClock::kStart; } };
    DeviceRegistry::Pairing paired = devices.add("Phone");
    std::string token = paired.token;
    std::shared_ptr<ManualJobClock> clock = std::make_shared<ManualJobClock>();
    std::shared_ptr<LatchedFakeRunner> runner = std::make_shared<LatchedFakeRunner>();
    JobManager jobs { { .runner = runner, .labels = {}, .maxRunning = 2, .clock = clock } };
    RelayOptions options;
    RelayRouter router { { .devices = devices,
        .jobs = jobs,
        .runner = runner,
        .data = data,
        .options = options,
        .timeZone = [] { return std::string("Europe/Berlin"); } } };
};

}
