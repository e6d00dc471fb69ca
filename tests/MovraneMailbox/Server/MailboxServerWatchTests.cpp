#include "tests/MovraneMailbox/Server/MailboxServerWatchHarness.h"

#include <ranges>

namespace movrane::test {
namespace {

    using Step = FakeJobRelay::Step;

    std::string text(const MailboxBytes& body) { return { body.begin(), body.end() }; }

    MailboxJobSnapshot snapshot(std::string status, std::vector<std::string> approvals = {})
    {
        return *MailboxJobSnapshot::fromJSON(
            text(FakeJobRelay::json({ 1, std::move(status), std::move(approvals) })));
    }

    class MailboxServerWatches : public MailboxServerWatchTest {
    protected:
        // Waits for the answers to the phone's watches and returns their statuses by watch message id.
        std::map<std::string, int> statuses(const Phone& phone, std::size_t count)
        {
            std::map<std::string, int> found;
            eventually([&] { return phone.responses(clock->now()).size() >= count; });
            for (const auto& [id, response] : phone.responses(clock->now()))
                found.emplace(id, response.status);
            return found;
        }

        // Long polls that move the clock `waitedSeconds` each and never see a change, until the watch
        // expires.
        void expectLifetime(bool background, double waitedSeconds, std::size_t longPolls)
        {
            auto& phone = addPhone();
            job.answerUnchanged(waitedSeconds);
            watch(phone, background);
            ASSERT_TRUE(watchesEnd());
            auto polls = job.longPolls();
            ASSERT_EQ(polls.size(), longPolls);
            EXPECT_EQ(polls.front(), 0);
            for (std::size_t poll = 1; poll < polls.size(); ++poll)
                ASSERT_GE(polls[poll] - polls[poll - 1], 2) << "poll " << poll;
            EXPECT_TRUE(jobStates(phone).empty());
        }
    };

}

TEST_F(MailboxServerWatches, NotifyKindFollowsTheJobsEndAndItsNewApprovals)
{
    struct Case {
        const char* name;
        MailboxJobSnapshot snapshot;
        std::set<std::string> announced;
        MailboxNotify expected;
    };
    const Case cases[] = {
        { "done", snapshot("done"), {}, MailboxNotify::reply },
        { "failed", snapshot("failed"), {}, MailboxNotify::reply },
        { "interrupted", snapshot("interrupted"), {}, MailboxNotify::reply },
        { "canceled", snapshot("canceled"), {}, MailboxNotify::none },
        { "finished with an approval left", snapshot("done", { "a1" }), {}, MailboxNotify::reply },
        { "running", snapshot("running"), {}, MailboxNotify::none },
        { "new approval", snapshot("running", { "a1" }), {}, MailboxNotify::approval },
        { "approval announced", snapshot("running", { "a1" }), { "a1" }, MailboxNotify::none },
        { "one more approval", snapshot("running", { "a1", "a2" }), { "a1" }, MailboxNotify::approval },
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(MailboxServer::notifyKind(entry.snapshot, entry.announced), entry.expected);
    }
}

TEST_F(MailboxServerWatches, TheNinthWatchOfADeviceIsRefusedButRenewalsAndOtherDevicesAreNot)
{
    auto& phone = addPhone();
    for (int number = 1; number <= 8; ++number)
        phone.send(MailboxWatch { "job-" + std::to_string(number), std::nullopt, false }, clock->now());
    fetch();
    ASSERT_TRUE(eventually([&] { return server().activeWatchCount() == 8; }));

    auto ninth = watch(phone, false, "job-9");
    auto answers = statuses(phone, 9);
    EXPECT_EQ(answers[ninth.message.id], 429);
    auto refusal = phone.responses(clock->now()).at(ninth.message.id);
    EXPECT_EQ(refusal.headers.at("retry-after"), "30");
    EXPECT_EQ(text(refusal.body), R"({"error":"mailbox_busy","message":"Too many watched jobs."})");

    // Silently in the background: no answer at all.
    watch(phone, true, "job-10");
    auto renewal = watch(phone, false, "job-1");
    EXPECT_EQ(statuses(phone, 10)[renewal.message.id], 200);
    EXPECT_EQ(phone.responses(clock->now()).size(), 10U);
    EXPECT_EQ(server().activeWatchCount(), 8);

    auto& other = addPhone();
    auto accepted = watch(other, false, "job-1");
    EXPECT_EQ(statuses(other, 1)[accepted.message.id], 200);
    EXPECT_TRUE(eventually([&] { return server().activeWatchCount() == 9; }));
}

TEST_F(MailboxServerWatches, SixteenWatchesInOnePageNeverPassTheLimit)
{
    auto& phone = addPhone();
    for (int number = 1; number <= 16; ++number)
        phone.send(MailboxWatch { "job-" + std::to_string(number), std::nullopt, false }, clock->now());
    fetch();
    auto answers = statuses(phone, 16);
    ASSERT_EQ(answers.size(), 16U);
    EXPECT_EQ(std::ranges::count(answers | std::views::values, 200), 8);
    EXPECT_EQ(std::ranges::count(answers | std::views::values, 429), 8);
    // Each watch answers before it registers.
    EXPECT_TRUE(eventually([&] { return server().activeWatchCount() == 8; }));
}

TEST_F(MailboxServerWatches, AWatchOfAFinishedJobIsAnsweredOnceAndNotKept)
{
    struct Case {
        const char* name;
        bool background;
        std::string status;
        std::size_t responses;
        std::vector<Written> written;
    };
    const Case cases[] = {
        { "foreground", false, "done", 1, {} },
        { "background", true, "done", 0, { { { "job-1", 4, true }, MailboxNotify::reply } } },
        { "background, canceled", true, "canceled", 0, { { { "job-1", 4, true }, MailboxNotify::none } } },
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        auto& phone = addPhone();
        job.set({ 4, entry.status, {} });
        watch(phone, entry.background);
        ASSERT_TRUE(
            eventually([&] { return phone.responses(clock->now()).size() + jobStates(phone).size() >= 1; }));
        EXPECT_EQ(phone.responses(clock->now()).size(), entry.responses);
        EXPECT_EQ(jobStates(phone), entry.written);
        EXPECT_EQ(server().activeWatchCount(), 0);
    }
    destroyServer();
    EXPECT_TRUE(job.longPolls().empty());
}

TEST_F(MailboxServerWatches, AnUnchangedLongPollLeadsToTheNextWithoutAWrite)
{
    auto& phone = addPhone();
    job.script({ { 25, { 1 } } });
    watch(phone, false);
    ASSERT_TRUE(job.waitForHeldPoll());
    EXPECT_EQ(job.longPolls(), (std::vector<double> { 0, 25 }));
    EXPECT_TRUE(jobStates(phone).empty());
}

TEST_F(MailboxServerWatches, AChangeSoonAfterAWriteIsWrittenAfterThePauseWithTheNewestVersion)
{
    auto& phone = addPhone();
    // Registered at 0; the job moves to version 2 at 0.5 s and on to 3 while the watch waits.
    job.script({ { 0.5, { 2 }, JobStatus { 3 } } });
    watch(phone, false);
    ASSERT_TRUE(job.waitForHeldPoll());
    EXPECT_EQ(jobStates(phone), (std::vector<Written> { { { "job-1", 3, false }, MailboxNotify::none } }));
    auto records = memoryStore->envelopes(phone.zone());
    EXPECT_EQ(records.back().createdAt, at(2));
    EXPECT_EQ(clock->sleeps(), (std::vector<double> { 1.5 }));
}

TEST_F(MailboxServerWatches, AnOlderStateAnsweredAfterThePauseNeverReplacesTheNewerOne)
{
    auto& phone = addPhone();
    // Registered at 0; the long poll sees version 3 at 0.5 s, and the ask after the pause answers 2.
    job.script({ { 0.5, { 3 }, JobStatus { 2 } } });
    watch(phone, false);
    ASSERT_TRUE(job.waitForHeldPoll());
    EXPECT_EQ(jobStates(phone), (std::vector<Written> { { { "job-1", 3, false }, MailboxNotify::none } }));
    EXPECT_EQ(clock->sleeps(), (std::vector<double> { 1.5 }));
}

TEST_F(MailboxServerWatches, WritesFollowTheJobAndABackgroundWatchOnlyAlerts)
{
    const std::vector<Step> script {
        { 25, { 2 } },
        { 25, { 3, "running", { "a1" } } },
        { 25, { 4, "running", { "a1" } } },
        { 25, { 5, "done", { "a1" } } },
    };
    struct Case {
        const char* name;
        bool background;
        std::vector<Step> script;
        std::vector<Written> written;
    };
    const Case cases[] = {
        { "foreground", false, script,
            { { { "job-1", 2, false }, MailboxNotify::none },
                { { "job-1", 3, false }, MailboxNotify::approval },
                { { "job-1", 4, false }, MailboxNotify::none },
                { { "job-1", 5, true }, MailboxNotify::reply } } },
        { "background", true, script,
            { { { "job-1", 3, false }, MailboxNotify::approval },
                { { "job-1", 5, true }, MailboxNotify::reply } } },
        { "background, canceled", true, { { 25, { 2 } }, { 25, { 3, "canceled" } } }, {} },
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        auto& phone = addPhone();
        job.set({ 1 });
        job.script(entry.script);
        watch(phone, entry.background);
        ASSERT_TRUE(watchesEnd());
        EXPECT_EQ(jobStates(phone), entry.written);
    }
}

TEST_F(MailboxServerWatches, AForegroundWatchEndsAfterTenMinutes) { expectLifetime(false, 25, 24); }

TEST_F(MailboxServerWatches, ABackgroundWatchEndsAfterTwoHours) { expectLifetime(true, 25, 288); }

TEST_F(MailboxServerWatches, AHandlerThatAnswersAtOnceIsAskedOncePerPause) { expectLifetime(false, 0, 300); }

TEST_F(MailboxServerWatches, StoppingTheServerEndsEveryWatch)
{
    watch(addPhone(), false);
    watch(addPhone(), true);
    ASSERT_TRUE(eventually([&] { return server().activeWatchCount() == 2; }));
    server().stop();
    EXPECT_EQ(server().activeWatchCount(), 0);
    // The loops, cancelled, end once their long polls come back, and write nothing more.
    job.release();
    destroyServer();
    for (const auto& phone : phones)
        EXPECT_TRUE(jobStates(*phone).empty());
}

TEST_F(MailboxServerWatches, ARelayErrorEndsTheLoopWithoutAWrite)
{
    auto& phone = addPhone();
    job.failWith(503);
    watch(phone, true);
    ASSERT_TRUE(watchesEnd());
    EXPECT_EQ(job.longPolls().size(), 1U);
    EXPECT_TRUE(jobStates(phone).empty());
}

TEST_F(MailboxServerWatches, AFailedFinalJobStateWriteIsLoggedAndEndsTheWatch)
{
    auto& phone = addPhone();
    job.script({ { 25, { 2 } }, { 25, { 3, "done" } } });
    // A background watch writes nothing before the job's end, so the one failure meets the final write.
    phone.send(MailboxWatch { "job-1", std::nullopt, true }, clock->now());
    memoryStore->fail(
        InMemoryMailboxStore::Operation::saveEnvelope, MailboxError(MailboxError::Kind::other), 1);
    fetch();
    ASSERT_TRUE(eventually([&] { return job.longPolls().size() == 2 && server().activeWatchCount() == 0; }));
    EXPECT_TRUE(jobStates(phone).empty());
    EXPECT_EQ(
        log.count("mailbox zone error: " + std::string(MailboxError(MailboxError::Kind::other).what())), 1);
    destroyServer();
    EXPECT_EQ(job.longPolls().size(), 2U);
}

TEST_F(MailboxServerWatches, AFailedWriteMidwayIsNotResent)
{
    auto& phone = addPhone();
    job.script({ { 25, { 2, "running", { "a1" } } } });
    phone.send(MailboxWatch { "job-1", std::nullopt, true }, clock->now());
    memoryStore->fail(
        InMemoryMailboxStore::Operation::saveEnvelope, MailboxError(MailboxError::Kind::other), 1);
    fetch();
    ASSERT_TRUE(job.waitForHeldPoll());
    EXPECT_TRUE(jobStates(phone).empty());
    EXPECT_EQ(relay.calls().back().request.request.query, "wait=25&since=2");
}

}
