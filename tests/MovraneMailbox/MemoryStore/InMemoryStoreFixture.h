// A fresh in-memory store on a hand-moved clock with one zone name, for the store's own suites.
#pragma once

#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "tests/MovraneMailbox/MailboxStoreTestSupport.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace movrane {

using Operation = InMemoryMailboxStore::Operation;

// A change token as the store writes it: 4 bytes of zone epoch, 8 of log offset, both big-endian.
inline MailboxBytes changeToken(std::uint32_t epoch, std::uint64_t offset)
{
    MailboxBytes token;
    MailboxBinary::appendUInt32(token, epoch);
    MailboxBinary::appendUInt64(token, offset);
    return token;
}

inline std::uint64_t offsetOf(const std::optional<MailboxBytes>& token)
{
    EXPECT_TRUE(token && token->size() == 12);
    if (!token || token->size() != 12)
        return 0;
    MailboxBinary::Reader reader(*token, 4);
    return MailboxBinary::readUInt64(reader);
}

class InMemoryStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<test::ManualMailboxClock> clock = std::make_shared<test::ManualMailboxClock>();
    InMemoryMailboxStore store { clock, 0 };
    const std::string zone = MailboxZoneName::make();

    // Saves a new envelope for the Mac in `zone` and answers it as saved.
    MailboxEnvelopeRecord saveNew(std::string_view payload = "sealed", int createdSecond = 1)
    {
        auto record = envelope(MailboxRecordName::envelope(), createdSecond, payload);
        store.saveEnvelope(record, zone);
        return record;
    }
};

}
