// The replying bot as the phone describes it, and its JSON form.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <optional>
#include <string>

namespace vellumar {

struct BotProfile {
    std::string name; // display name, 1 to 20 characters
    std::string role; // 0 to 12 characters
    std::string persona; // 0 to 1000 characters, line breaks allowed
    bool primary { false }; // the user's main bot

    // A "bot" member, or nullptr when the key is absent; nullopt for absent or null. Throws
    // RelayHTTPError 400 "bad_request" naming the member at fault. Any thread.
    static std::optional<BotProfile> parse(const JSON* value);

    // {"name", "role", "persona", "primary"}: what `parse` reads back to the same profile.
    JSON json() const;

    friend bool operator==(const BotProfile&, const BotProfile&) = default;
};

}
