#include "tests/Mailbox/AlwaysFailingKeyStoreFake.h"
#include "tests/Mailbox/PairingMailboxFixture.h"

#include <filesystem>
#include <future>

using namespace vellumar;
using movrane::MailboxAccountState;
using movrane::MailboxPairingAnswer;

namespace {

class MacMailboxOffersTest : public test::PairingMailboxFixture {
protected:
    // An offer from a phone signed in to `account`.
    static movrane::MailboxPairingOffer offer(const std::string& account, std::int64_t version = 1)
    {
        return { .v = version,
            .deviceKey = movrane::MailboxIdentity::generate().publicKey(),
            .account = movrane::MailboxAccountProof::make(account),
            .accountState = MailboxAccountState::available };
    }

    static std::size_t threadCount()
    {
        return std::distance(
            std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator {});
    }
};

}

TEST(BoundedQuestion, AnAnswerAfterTheLimitIsDroppedAndTheNextCallAsksAgain)
{
    test::ManualSleepMailboxClock clock;
    std::mutex lock;
    std::condition_variable answerAllowed;
    int asked = 0;
    bool allowed = false;
    BoundedQuestion<int> question([&] {
        std::unique_lock held(lock);
        int call = ++asked;
        answerAllowed.wait(held, [&] { return allowed; });
        return call;
    });

    auto first = std::async(std::launch::async, [&] { return question.first(4, clock); });
    ASSERT_TRUE(clock.waitForSleep(4));
    clock.advance(3.999);
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    clock.advance(0.001);
    EXPECT_EQ(first.get(), std::nullopt);

    // The call goes on to answer at 5 s; only a caller that asks later hears anything, and from a call of its
    // own.
    clock.advance(1);
    {
        std::lock_guard held(lock);
        allowed = true;
    }
    answerAllowed.notify_all();
    std::optional<int> later;
    do
        later = question.first(4, clock);
    while (later == 1);
    EXPECT_EQ(later, 2);
}

TEST(BoundedQuestion, AClockWhoseSleepThrowsGivesNothingAtOnce)
{
    test::ManualSleepMailboxClock clock;
    clock.makeSleepsThrow();
    std::promise<void> never;
    auto hanging = never.get_future().share();
    BoundedQuestion<int> question([hanging] {
        hanging.wait();
        return 1;
    });
    EXPECT_EQ(question.first(4, clock), std::nullopt);
    never.set_value();
}

TEST_F(MacMailboxOffersTest, AStoredAccountStateAnswersForJustUnderAMinute)
{
    makeMailbox();
    mailbox->refreshAccount();
    memory->setAccount(MailboxAccountState::noAccount);

    clock->advance(59);
    EXPECT_EQ(mailbox->currentAccountState(), MailboxAccountState::available);
    EXPECT_EQ(store->ended(Operation::accountState), 1);
    clock->advance(1);
    EXPECT_EQ(mailbox->currentAccountState(), MailboxAccountState::noAccount);
    EXPECT_GE(store->ended(Operation::accountState), 2);
}

TEST_F(MacMailboxOffersTest, AnAccountAnswerAfterTheLimitLeavesTheOfferLANOnly)
{
    makeMailbox();
    store->hold(Operation::accountState);
    auto answer = std::async(
        std::launch::async, [&] { return mailbox->registerDevice(offer("_userA"), std::nullopt); });
    ASSERT_TRUE(clock->waitForSleep(4));
    clock->advance(4);
    auto given = answer.get();
    EXPECT_EQ(given.status, MailboxPairingAnswer::Status::lanOnly);
    EXPECT_EQ(given.reason, MailboxPairingAnswer::Reason::macICloudUnavailable);
    EXPECT_EQ(given.macKey, mailbox->macKey());
    EXPECT_EQ(mailbox->currentAccountState(), MailboxAccountState::couldNotDetermine);
}

TEST_F(MacMailboxOffersTest, OffersAgainstAHangingStoreShareOneQuestion)
{
    makeMailbox(std::make_shared<movrane::InMemoryMailboxKeyStore>(), 0);
    mailbox->macKey();
    store->hold(Operation::accountState);
    auto before = threadCount();
    for (int phone = 0; phone < 100; ++phone) {
        auto answer = mailbox->registerDevice(offer("_userA"), std::nullopt);
        ASSERT_EQ(answer.reason, MailboxPairingAnswer::Reason::macICloudUnavailable);
        // Past the minute a stored state answers for, so that every offer asks iCloud.
        clock->advance(60);
    }
    // The question under way, and the account check the first changed state started.
    EXPECT_LE(threadCount(), before + 2);
    EXPECT_TRUE(store->waitForBegun(Operation::accountState, 2));
    store->release(Operation::accountState);
}

TEST_F(MacMailboxOffersTest, WithoutTheMacsKeyTheAnswerIsLANOnlyWithoutAskingICloud)
{
    makeMailbox(std::make_shared<test::AlwaysFailingKeyStoreFake>());
    auto answer = mailbox->registerDevice(offer("_userA"), std::nullopt);
    EXPECT_EQ(answer,
        (MailboxPairingAnswer { .v = 1,
            .status = MailboxPairingAnswer::Status::lanOnly,
            .reason = MailboxPairingAnswer::Reason::macICloudUnavailable }));
    endMailbox();
    EXPECT_EQ(store->ended(Operation::accountState), 0);
}

TEST_F(MacMailboxOffersTest, AnUnsupportedOfferCarriesTheMacsKeyOnlyWhenThereIsOne)
{
    makeMailbox(std::make_shared<test::AlwaysFailingKeyStoreFake>());
    auto keyless = mailbox->unsupportedOfferAnswer();
    EXPECT_EQ(keyless.reason, MailboxPairingAnswer::Reason::unsupportedVersion);
    EXPECT_EQ(keyless.macKey, std::nullopt);

    makeMailbox();
    auto answer = mailbox->unsupportedOfferAnswer();
    EXPECT_EQ(answer.status, MailboxPairingAnswer::Status::lanOnly);
    EXPECT_EQ(answer.reason, MailboxPairingAnswer::Reason::unsupportedVersion);
    EXPECT_EQ(answer.macKey, mailbox->macKey());
    EXPECT_EQ(answer.zone, std::nullopt);
}

TEST_F(MacMailboxOffersTest, ARecordNameLearnedForAnOfferIsKept)
{
    memory->fail(Operation::userRecordName, movrane::MailboxError::network(std::nullopt), 1);
    makeMailbox();
    mailbox->refreshAccount();
    mailbox->registerDevice(offer("_userA"), std::nullopt);
    mailbox->registerDevice(offer("_userA"), std::nullopt);
    EXPECT_EQ(memory->count(Operation::userRecordName), 2);
}
