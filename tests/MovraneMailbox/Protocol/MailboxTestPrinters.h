// How the suites' failure messages show mailbox errors: by their case, not their bytes.
#pragma once

#include "MovraneMailbox/Protocol/MailboxCryptoError.h"

#include <ostream>

namespace movrane {

inline void PrintTo(const MailboxCryptoError& error, std::ostream* out) { *out << error.what(); }

}
