// A key store whose every call fails, as a keychain that refuses the Mac.
#pragma once

#include "MovraneMailbox/Protocol/MailboxKeyStore.h"

namespace vellumar::test {

class AlwaysFailingKeyStoreFake final : public movrane::MailboxKeyStore {
public:
    std::optional<movrane::MailboxIdentity> load(std::string_view) override
    {
        throw movrane::MailboxKeyError::keychain(-25308);
    }
    void save(const movrane::MailboxIdentity&, std::string_view) override { }
    void remove(std::string_view) override { }
};

}
