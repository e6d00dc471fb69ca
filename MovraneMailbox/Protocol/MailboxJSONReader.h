// Reading the mailbox's JSON objects by one rule: a missing required member, or a present member of the
// wrong JSON type, fails with MailboxDecodingError; an optional member that is missing or null is absent;
// unknown members are ignored.
#pragma once

#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "VellumarMacCore/Foundations/JSON.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace movrane {

class MailboxJSONReader {
public:
    // Throws unless `value` is an object; `value` must outlive the reader.
    explicit MailboxJSONReader(const vellumar::JSON& value);

    std::string string(std::string_view key) const;
    std::int64_t integer(std::string_view key) const;
    bool boolean(std::string_view key) const;
    std::optional<std::string> optionalString(std::string_view key) const;
    std::optional<std::int64_t> optionalInteger(std::string_view key) const;
    // An object of string values, as a list of name and value.
    std::vector<std::pair<std::string, std::string>> stringMap(std::string_view key) const;
    // The member itself, required or optional (absent when missing or null).
    const vellumar::JSON& member(std::string_view key) const;
    const vellumar::JSON* optionalMember(std::string_view key) const;

private:
    const vellumar::JSON& m_object;
};

}
