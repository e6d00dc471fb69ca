#include "tests/MovraneMailbox/CloudStore/CloudStoreFixture.h"
#include "tests/MovraneMailbox/MailboxStoreConformance.h"

namespace movrane {

INSTANTIATE_TYPED_TEST_SUITE_P(CloudKit, MailboxStoreConformance, ::testing::Types<test::CloudStoreFactory>);
INSTANTIATE_TYPED_TEST_SUITE_P(
    CloudKitOnPostgres, MailboxStoreConformance, ::testing::Types<test::PostgresStoreFactory>);

}
