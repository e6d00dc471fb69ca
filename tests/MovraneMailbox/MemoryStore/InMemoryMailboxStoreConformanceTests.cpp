#include "MovraneMailbox/MemoryStore/InMemoryMailboxStore.h"
#include "tests/MovraneMailbox/MailboxStoreConformance.h"
#include "tests/MovraneMailbox/ManualMailboxClock.h"

namespace movrane {
namespace {

    struct InMemoryStoreFactory {
        std::unique_ptr<MailboxStore> make()
        {
            return std::make_unique<InMemoryMailboxStore>(std::make_shared<test::ManualMailboxClock>(), 0);
        }
        void setPageLimit(MailboxStore& store, int limit)
        {
            static_cast<InMemoryMailboxStore&>(store).setFetchLimit(limit);
        }
        void listen(MailboxStore& store, std::function<void(const std::string&)> received)
        {
            static_cast<InMemoryMailboxStore&>(store).onNotification(std::move(received));
        }
    };

}

INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, MailboxStoreConformance, ::testing::Types<InMemoryStoreFactory>);

}
