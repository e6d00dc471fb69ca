#include "MovraneMailbox/Protocol/MailboxChannelState.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/support/FileFixtures.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace movrane {
namespace {

    using namespace std::chrono;
    const MailboxTime kNow = MailboxTime(milliseconds(1'700'000'000'000));

    bool accepted(MailboxReplayGuard& guard, std::uint64_t sequence, MailboxTime expiry = kNow + minutes(15),
        MailboxTime now = kNow)
    {
        try {
            guard.accept(sequence, expiry, now);
            return true;
        } catch (const MailboxCryptoError& error) {
            EXPECT_EQ(error.kind(), MailboxCryptoError::Kind::replayed);
            return false;
        }
    }

    TEST(MailboxReplayGuard, RefusesAtOrBelowTheFloorAndEveryNumberOnce)
    {
        MailboxReplayGuard guard;
        EXPECT_FALSE(accepted(guard, 0));
        EXPECT_TRUE(accepted(guard, 1));
        guard.floor = 10;
        EXPECT_FALSE(accepted(guard, 10));
        EXPECT_TRUE(accepted(guard, 11));
        EXPECT_FALSE(accepted(guard, 11));
    }

    TEST(MailboxReplayGuard, EntriesLiveUntilTheirExpiryPlusTheWindow)
    {
        MailboxReplayGuard guard;
        ASSERT_TRUE(accepted(guard, 50, kNow));
        auto forgotten = kNow + seconds(300);
        guard.prune(forgotten);
        EXPECT_TRUE(guard.seen.contains(50)); // expiry equal to now survives
        guard.prune(forgotten + milliseconds(1));
        EXPECT_FALSE(guard.seen.contains(50));
        EXPECT_EQ(guard.floor, 50u);
        // A never-seen lower number arriving after a higher one expired is refused as well.
        EXPECT_FALSE(accepted(guard, 49, kNow, forgotten + milliseconds(1)));
    }

    TEST(MailboxReplayGuard, The2049thNumberRaisesTheFloorPastTheLowest)
    {
        MailboxReplayGuard guard;
        for (std::uint64_t sequence = 100; sequence < 100 + 2048; ++sequence)
            ASSERT_TRUE(accepted(guard, sequence));
        EXPECT_EQ(guard.floor, 0u);
        EXPECT_TRUE(accepted(guard, 5000));
        EXPECT_EQ(guard.seen.size(), 2048u);
        EXPECT_EQ(guard.floor, 100u);
        EXPECT_FALSE(accepted(guard, 100));
        EXPECT_FALSE(accepted(guard, 7));
        EXPECT_TRUE(accepted(guard, 4000));
    }

    TEST(MailboxSequence, FollowsTheClockAndNeverFallsBack)
    {
        EXPECT_EQ(MailboxSequence::next(0, kNow), 1'740'800'000'000'000u);
        EXPECT_EQ(MailboxSequence::next(1'740'800'000'000'000u, kNow), 1'740'800'000'000'001u);
        EXPECT_EQ(MailboxSequence::next(9'000'000'000'000'000'000u, kNow), 9'000'000'000'000'000'001u);
        EXPECT_EQ(MailboxSequence::next(0, MailboxTime(milliseconds(-5))), 1u);
        EXPECT_EQ(MailboxSequence::next(UINT64_MAX, MailboxTime {}), 0u);
    }

    TEST(MailboxChannelState, StoredStatesKeepEveryNumberExactly)
    {
        MailboxChannelState state;
        state.lastSequence = UINT64_MAX;
        state.replay.floor = UINT64_MAX - 1;
        state.replay.seen = { { UINT64_MAX, 1'700'000'300'000 }, { 3, -4 } };
        state.changeToken = MailboxBytes { 0xFB, 0xFF, 0xBF };
        state.lastPresence = MailboxTime(microseconds(1'700'000'000'123'456));
        auto json = state.json();
        auto back = MailboxChannelState::fromJSON(json);
        ASSERT_TRUE(back) << json;
        EXPECT_EQ(back->lastSequence, state.lastSequence);
        EXPECT_EQ(back->replay, state.replay);
        EXPECT_EQ(back->changeToken, state.changeToken);
        EXPECT_NEAR(duration<double>(*back->lastPresence - *state.lastPresence).count(), 0, 1e-6);
        EXPECT_NE(json.find(R"("changeToken":"+/+/")"), std::string::npos) << json;

        // python3's json module reads the 64-bit numbers exactly, and writes what this reads back.
        const char* script = R"(
import json, sys
state = json.loads(sys.stdin.read())
assert state["lastSequence"] == 2**64 - 1 and state["replay"]["seen"][0:2] == [3, -4], state
state["replay"]["floor"] = 2**64 - 2
print(json.dumps(state, indent=2))
)";
        auto python = vellumar::test::runPeer({ "python3", "-c", script }, json);
        ASSERT_EQ(python.exitStatus, 0);
        auto rewritten = MailboxChannelState::fromJSON(python.output);
        ASSERT_TRUE(rewritten) << python.output;
        EXPECT_EQ(rewritten->replay.floor, UINT64_MAX - 1);
        EXPECT_EQ(rewritten->replay.seen, state.replay.seen);
    }

    TEST(MailboxChannelState, UndecodableStoredStatesReadAsFresh)
    {
        const char* stored[] = {
            "{}",
            R"({"lastSequence":1,"replay":{"floor":0,"seen":[1]}})",
            R"({"lastSequence":-1,"replay":{"floor":0,"seen":[]}})",
            R"({"lastSequence":18446744073709551616,"replay":{"floor":0,"seen":[]}})",
            R"({"lastSequence":1.5,"replay":{"floor":0,"seen":[]}})",
            R"({"lastSequence":1,"replay":{"floor":0,"seen":[]},"changeToken":"***"})",
            "not json",
        };
        InMemoryMailboxStateStorage storage;
        for (const char* text : stored) {
            SCOPED_TRACE(text);
            storage.store(MailboxBytes(text, text + std::strlen(text)), "k");
            EXPECT_EQ(MailboxChannelState::decode(storage, "k"), MailboxChannelState {});
        }
        std::string nulls
            = R"({"lastSequence":5,"replay":{"floor":1,"seen":[]},"changeToken":null,"lastPresence":null})";
        EXPECT_EQ(MailboxChannelState::fromJSON(nulls)->lastSequence, 5u);
    }

    TEST(MailboxChannelState, AResumedStateThatNoLongerReadsRefusesEverythingSealedBeforeNow)
    {
        const auto now = std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'000));
        InMemoryMailboxStateStorage storage;
        EXPECT_EQ(MailboxChannelState::resume(storage, "k", now), MailboxChannelState {}) << "nothing stored";
        MailboxChannelState kept;
        kept.lastSequence = 7;
        kept.save(storage, "k");
        EXPECT_EQ(MailboxChannelState::resume(storage, "k", now), kept);

        storage.save(bytes("not json"), "k");
        auto resumed = MailboxChannelState::resume(storage, "k", now);
        EXPECT_EQ(resumed.replay.floor, 1'740'800'000'000'000u);
        EXPECT_EQ(resumed.lastSequence, 0u);
        EXPECT_THROW(resumed.replay.accept(1'740'800'000'000'000u, now + std::chrono::minutes(15), now),
            MailboxCryptoError);
        EXPECT_NO_THROW(resumed.replay.accept(1'740'800'000'000'001u, now + std::chrono::minutes(15), now));
    }

    TEST(FileMailboxStateStorage, FilesArePrivateAndNamedFromTheKey)
    {
        EXPECT_EQ(FileMailboxStateStorage::fileName("mailbox.device.ab/c:d"), "mailbox.device.ab_c_d.json");
        EXPECT_EQ(FileMailboxStateStorage::fileName("caf\xC3\xA9"), "caf_.json");
        EXPECT_EQ(mailboxStateKey(MailboxRole::device, "pair-x"), "mailbox.device.pair-x");
        vellumar::test::TemporaryFolder temporary;
        auto folder = temporary / "state" / "deeper";
        FileMailboxStateStorage storage(folder);
        storage.store(std::nullopt, "never");
        EXPECT_FALSE(std::filesystem::exists(folder));
        MailboxChannelState state;
        state.lastSequence = 42;
        state.save(storage, "mailbox.mac.pair-x");
        EXPECT_EQ(vellumar::test::modeOf(folder), 0700u);
        EXPECT_EQ(vellumar::test::modeOf(folder / "mailbox.mac.pair-x.json"), 0600u);
        EXPECT_EQ(MailboxChannelState::decode(storage, "mailbox.mac.pair-x"), state);
        storage.store(std::nullopt, "mailbox.mac.pair-x");
        EXPECT_FALSE(std::filesystem::exists(folder / "mailbox.mac.pair-x.json"));

        // A folder that cannot be made: save reports it, store stays silent and changes nothing.
        vellumar::test::writeBytes(temporary / "file", "x");
        FileMailboxStateStorage blocked(temporary / "file" / "state");
        EXPECT_THROW(state.save(blocked, "k"), std::filesystem::filesystem_error);
        EXPECT_NO_THROW(state.encoded(blocked, "k"));
        EXPECT_EQ(vellumar::test::readFile(temporary / "file"), "x");
    }

    TEST(FileMailboxStateStorage, OpeningRemovesLeftoversOfKilledWritesOfItsFilesAndNothingElse)
    {
        vellumar::test::TemporaryFolder temporary;
        const std::string file = FileMailboxStateStorage::fileName("mailbox.mac.pair-x");
        const std::set<std::string> removed { "." + file + ".0123abcd",
            ".mailbox.device.pair-y.json.89abcdef" };
        const std::set<std::string> kept { file, "." + file + ".0123ABCD", "." + file + ".0123abc",
            "." + file + ".0123abcde", file + ".0123abcd", "." + file + ".0123abcd.x", ".notes.txt.0123abcd",
            ".mailbox mac.json.0123abcd", ".mailbox.mac.pair-x.json.damaged.0123abcd" };
        for (const auto& name : removed)
            vellumar::test::writeBytes(temporary / name, "{}");
        for (const auto& name : kept)
            vellumar::test::writeBytes(temporary / name, "{}");

        FileMailboxStateStorage storage(temporary.path());

        EXPECT_EQ(vellumar::test::namesIn(temporary.path()), kept);
        FileMailboxStateStorage missingFolder(temporary / "not yet made");
        EXPECT_FALSE(std::filesystem::exists(temporary / "not yet made"));
    }

    TEST(SystemMailboxClock, SleepsReturnAtOnceForNothingAndEndWhenStopped)
    {
        SystemMailboxClock clock;
        std::stop_source stop;
        clock.sleep(-1, stop.get_token());
        stop.request_stop();
        EXPECT_THROW(clock.sleep(3600, stop.get_token()), MailboxCancelledError);
    }

}
}
