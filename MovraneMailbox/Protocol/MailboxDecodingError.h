// The data-corrupted decoding error of the mailbox's JSON values: a value of the right JSON kind whose
// content the type refuses.
#pragma once

#include <stdexcept>
#include <string>

namespace movrane {

class MailboxDecodingError : public std::runtime_error {
public:
    // `debugDescription` names what was expected, e.g. "not a P-256 public key".
    explicit MailboxDecodingError(const std::string& debugDescription)
        : std::runtime_error(debugDescription)
    {
    }
};

}
