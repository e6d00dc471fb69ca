#include "tests/MovraneMailbox/Road/MailboxRoadHarness.h"

#include <random>
#include <thread>

namespace movrane::test {

namespace {

    using Operation = InMemoryMailboxStore::Operation;

    TEST_F(MailboxRoadTest, SoakManyExchangesAtOnceThroughASlowThrottledAndNowAndThenBusyStore)
    {
        constexpr int callers = 5;
        constexpr int exchangesPerCaller = 10;
        relay = [](const MailboxInboundRequest& inbound) {
            return MailboxRelayResponse::make(200, {}, inbound.request.body);
        };
        store->setLatency(0.05);
        // High enough that the deletions, which are never repeated, get through.
        store->setRateLimit(1000, 10, 1);
        auto started = clock->secondsSinceStart();
        {
            // Now and then one call of the road's own operations is refused as busy; both ends retry.
            std::jthread busy([this](std::stop_token stop) {
                const Operation operations[]
                    = { Operation::saveEnvelope, Operation::fetchChanges, Operation::fetchAsset };
                std::mt19937 random(44);
                std::uniform_int_distribution<std::size_t> pick(0, std::size(operations) - 1);
                while (!stop.stop_requested()) {
                    store->fail(operations[pick(random)], MailboxError::busy(0.2), 1);
                    try {
                        clock->sleep(2, stop);
                    } catch (const MailboxCancelledError&) {
                    }
                }
            });
            std::vector<std::vector<std::string>> answers(callers);
            {
                std::vector<std::jthread> threads;
                for (int caller = 0; caller < callers; ++caller) {
                    threads.emplace_back([&, caller] {
                        for (int exchange = 0; exchange < exchangesPerCaller; ++exchange) {
                            auto body = "caller " + std::to_string(caller) + " exchange "
                                + std::to_string(exchange);
                            try {
                                auto response = client->send(MailboxRelayRequest::make("POST", "/v1/echo",
                                                                 std::nullopt, {}, bytes(body)),
                                    0);
                                answers[caller].emplace_back(response.body.begin(), response.body.end());
                            } catch (const std::exception& error) {
                                answers[caller].push_back(std::string("failed: ") + error.what());
                            }
                        }
                    });
                }
            }
            for (int caller = 0; caller < callers; ++caller) {
                for (int exchange = 0; exchange < exchangesPerCaller; ++exchange)
                    EXPECT_EQ(answers[caller].at(exchange),
                        "caller " + std::to_string(caller) + " exchange " + std::to_string(exchange));
            }
        }
        RecordProperty("mailboxSeconds", std::to_string(clock->secondsSinceStart() - started));
        endBothEnds();
        for (const auto& record : zone())
            ADD_FAILURE() << "left in the zone: " << record.name << " for " << record.to;
    }

}

}
