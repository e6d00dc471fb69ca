#include "tests/MovraneMailbox/Road/MailboxRoadHarness.h"
#include "tests/support/FileFixtures.h"

#include <atomic>

namespace movrane::test {

namespace {

    using Kind = MailboxError::Kind;
    using vellumar::test::thrown;
    using vellumar::test::writeBytes;

    std::optional<URLError::Code> urlErrorOf(const std::function<void()>& call)
    {
        auto failure = thrown<URLError>(call);
        return failure ? std::optional(failure->code()) : std::nullopt;
    }

    TEST_F(MailboxRoadTest, ARequestComesBackWithTheRelaysAnswerAndLeavesNothingInTheZone)
    {
        auto result = client->send(urlRequest("GET", "/v1/health"));
        EXPECT_EQ(result.response.status, 200);
        EXPECT_EQ(result.data, bytes(R"({"ok":true})"));
        EXPECT_EQ(result.response.headerFields.at("Content-Length"), "11");
        endBothEnds();
        EXPECT_TRUE(zone().empty());
    }

    TEST_F(MailboxRoadTest, FetchFailuresOnThePhone)
    {
        // A network that fails three fetches in a row only delays the answer.
        int networkFailures = 3;
        phoneStore->beforeFetch([&] {
            if (networkFailures-- > 0)
                throw MailboxError::network(std::nullopt);
        });
        EXPECT_EQ(client->send(urlRequest("GET", "/v1/health")).response.status, 200);

        // Change tokens that expire while the phone waits cost a fetch from the start, and nothing else.
        relay = [this](const MailboxInboundRequest&) {
            store->expireChangeTokens();
            return MailboxRelayResponse::make(200, {}, bytes("after expiry"));
        };
        EXPECT_EQ(client->send(urlRequest("GET", "/v1/health")).data, bytes("after expiry"));
        EXPECT_EQ(client->lastError(), std::nullopt);

        // A full quota ends the wait at once, just as the Mac's answer has come, and the request leaves
        // the zone; the answer that came too late goes with the phone's next fetch, without a word.
        bool quotaFull = true;
        auto answersBefore = savedFor(pairing.deviceTag()).size();
        phoneStore->beforeFetch([&] {
            bool answered = savedFor(pairing.deviceTag()).size() > answersBefore;
            if (answered && std::exchange(quotaFull, false))
                throw MailboxError(Kind::quotaExceeded);
        });
        auto failure = thrown<MailboxError>([&] { client->send(health(), 0); });
        EXPECT_EQ(failure, MailboxError(Kind::quotaExceeded));
        EXPECT_EQ(phoneLog.count("mailbox request -> quotaExceeded"), 1);
        auto linesBefore = phoneLog.lines().size();
        client->receive();
        EXPECT_EQ(phoneLog.lines().size(), linesBefore);
        endBothEnds();
        EXPECT_TRUE(zone().empty()) << "the request and the late answer are gone";
    }

    TEST_F(MailboxRoadTest, AnAnswerOnAnEarlierPageOutlivesAFailureOfTheNextPage)
    {
        // The page that brings the answer says more is coming, and the next page fails for good.
        bool answered = false;
        phoneStore->afterFetch([&, tag = pairing.deviceTag()](MailboxChanges& page) {
            for (const auto& record : page.envelopes) {
                if (record.to == tag) {
                    answered = true;
                    page.moreComing = true;
                }
            }
        });
        phoneStore->beforeFetch([&] {
            if (std::exchange(answered, false))
                throw MailboxError(Kind::quotaExceeded);
        });
        EXPECT_EQ(client->send(health(), 0).status, 200);
        EXPECT_EQ(client->lastError(), MailboxError(Kind::quotaExceeded));
    }

    TEST_F(MailboxRoadTest, WhatThePhoneCannotTrustOrHasNoUseForIsDroppedAndWhatIsTheMacsIsLeft)
    {
        ASSERT_EQ(client->send(health(), 0).status, 200);
        auto answers = savedFor(pairing.deviceTag());
        ASSERT_EQ(answers.size(), 1u);
        // A request and a watch the Mac sealed to the phone, which has no business getting either.
        stopPushes();
        auto channel = server->channel(pairing);
        ASSERT_TRUE(channel);
        server->send(health(), std::nullopt, *channel, MailboxNotify::none);
        server->send(MailboxWatch { "j-1", 1, false }, std::nullopt, *channel, MailboxNotify::none);
        server.reset();
        ASSERT_TRUE(becomes([&] {
            auto records = zone();
            return std::none_of(records.begin(), records.end(),
                [&](const auto& record) { return record.name == answers.front().name; });
        })) << "the phone deleted the answer it took";

        // The answer delivered once more, then once more with a byte changed, and a record for the Mac.
        store->inject(answers.front(), std::nullopt, pairing.zoneName);
        client->receive();
        auto tampered = answers.front();
        tampered.payload->at(tampered.payload->size() / 2) ^= 0x01;
        store->inject(tampered, std::nullopt, pairing.zoneName);
        auto forMac = envelope("e-" + MailboxMessageID::make(), 0, "sealed for the Mac");
        store->inject(forMac, std::nullopt, pairing.zoneName);
        client->receive();

        EXPECT_EQ(phoneLog.count("mailbox envelope dropped: replayed"), 1);
        EXPECT_EQ(phoneLog.count("mailbox envelope dropped: authenticationFailed"), 1);
        EXPECT_EQ(namesOf(zone()), std::vector<std::string> { forMac.name });
        EXPECT_FALSE(client->jobState("j-1"));
    }

    TEST_F(MailboxRoadTest, AnErrorAnswerThatCameAsAnAttachmentBecomesTheBodyAndTheDestinationStays)
    {
        MailboxBytes large(MailboxProtocol::maxInlineBytes + 1, 'x');
        relay = [&](const MailboxInboundRequest&) { return MailboxRelayResponse::make(404, {}, large); };
        auto destination = temporary / "phone" / "download.bin";
        auto result = client->download(urlRequest("GET", "/v1/files/missing"), destination);
        EXPECT_EQ(result.response.status, 404);
        EXPECT_EQ(result.data, large);
        EXPECT_FALSE(std::filesystem::exists(destination));
    }

    TEST_F(MailboxRoadTest, UploadsAndDownloads)
    {
        std::vector<std::pair<std::size_t, std::optional<std::string>>> seen;
        std::mutex seenLock;
        relay = [&](const MailboxInboundRequest& inbound) {
            std::lock_guard lock(seenLock);
            seen.emplace_back(inbound.request.body.size(),
                inbound.bodyFile ? std::optional(vellumar::test::readFile(*inbound.bodyFile)) : std::nullopt);
            return MailboxRelayResponse::make(200, {}, bytes("file contents"));
        };
        auto file = temporary / "upload.bin";
        writeBytes(file, std::string(MailboxProtocol::maxInlineBytes, 'a'));
        client->upload(urlRequest("POST", "/v1/uploads"), file);
        writeBytes(file, std::string(MailboxProtocol::maxInlineBytes + 1, 'b'));
        client->upload(urlRequest("POST", "/v1/uploads"), file);
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0], std::pair(MailboxProtocol::maxInlineBytes, std::optional<std::string>()));
        EXPECT_EQ(seen[1].first, 0u);
        EXPECT_EQ(seen[1].second, std::string(MailboxProtocol::maxInlineBytes + 1, 'b'));

        auto destination = temporary / "phone" / "downloads" / "file.txt";
        auto downloaded = client->download(urlRequest("GET", "/v1/files/file.txt"), destination);
        EXPECT_TRUE(downloaded.data.empty());
        EXPECT_EQ(downloaded.response.headerFields.at("Content-Length"), "0");
        EXPECT_EQ(vellumar::test::readFile(destination), "file contents");

        relay = [](const MailboxInboundRequest&) {
            return MailboxRelayResponse::error(404, "not_found", "No such file.", std::nullopt);
        };
        auto refused = client->download(urlRequest("GET", "/v1/files/file.txt"), destination);
        EXPECT_EQ(refused.response.status, 404);
        EXPECT_EQ(vellumar::test::readFile(destination), "file contents");
    }

    TEST_F(MailboxRoadTest, FailuresBecomeURLErrorsAndLANOnlyPathsAnAnswer)
    {
        // Counted on the phone's side only: the Mac's poll uses the same store at any moment.
        std::atomic<int> phoneCalls = 0;
        phoneStore->beforeFetch([&] { ++phoneCalls; });
        phoneStore->beforeSave([&] { ++phoneCalls; });
        EXPECT_EQ(urlErrorOf([&] { client->send({ "", "GET", {}, std::nullopt }); }), URLError::Code::badURL);
        EXPECT_EQ(phoneCalls, 0) << "a request without a URL reaches no store";
        phoneStore->beforeFetch({});
        phoneStore->beforeSave({});

        auto pair = client->send(urlRequest("POST", "/v1/pair"));
        EXPECT_EQ(pair.response.status, 403);
        EXPECT_NE(
            std::string(pair.data.begin(), pair.data.end()).find(R"("error":"lan_only")"), std::string::npos);

        phoneStore->beforeSave([] { throw MailboxError::network(std::nullopt); });
        EXPECT_EQ(urlErrorOf([&] { client->send(urlRequest("GET", "/v1/health")); }),
            URLError::Code::notConnectedToInternet);
        phoneStore->beforeSave({});

        store->setAccount(MailboxAccountState::noAccount);
        EXPECT_EQ(urlErrorOf([&] { client->send(urlRequest("GET", "/v1/health")); }),
            URLError::Code::cannotConnectToHost);
    }

    TEST_F(MailboxRoadTest, AListenerThatFallsBehindKeepsTheNewestEventsAndOldPresencesAreNotNews)
    {
        // The Mac's first poll publishes its presence, the next one only minutes later; the phone has
        // seen it before the stream opens.
        ASSERT_TRUE(becomes([&] { return store->presence(pairing.zoneName).has_value(); }));
        client->receive();
        stopPushes();
        auto stream = client->events();
        auto channel = server->channel(pairing);
        ASSERT_TRUE(channel);
        for (int number = 0; number < 70; ++number)
            server->send(MailboxEvent { "e" + std::to_string(number), {} }, std::nullopt, *channel,
                MailboxNotify::routine);
        client->receive();
        std::stop_source drained;
        drained.request_stop();
        for (int number = 6; number < 70; ++number)
            EXPECT_EQ(stream.next({}), MailboxClientEvent(MailboxEvent { "e" + std::to_string(number), {} }));
        EXPECT_EQ(stream.next(drained.get_token()), std::nullopt);

        server->publishPresence();
        client->receive();
        auto first = stream.next(drained.get_token());
        ASSERT_TRUE(first);
        EXPECT_TRUE(std::holds_alternative<MailboxSeenPresence>(*first));
        store->savePresence(*store->presence(pairing.zoneName), pairing.zoneName);
        client->receive();
        EXPECT_EQ(stream.next(drained.get_token()), std::nullopt);
    }

}

}
