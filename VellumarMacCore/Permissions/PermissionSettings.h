// A bot's permissions exactly as the phone sends them, strictly validated, and the small path and
// site-name predicates that every permission check shares.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar {

struct PermissionSettings {
    struct Folder {
        std::string path; // as sent: neither trimmed nor expanded
        bool writable = false; // access "write"

        friend bool operator==(const Folder&, const Folder&) = default;
    };

    struct Secret {
        std::string id; // an id of the secret-item catalogue
        bool writable = false; // mode "write"

        friend bool operator==(const Secret&, const Secret&) = default;
    };

    std::vector<Folder> folders;
    bool web = true;
    bool bash = false;
    std::vector<Secret> secrets; // from "secretAccess"
    std::string network = "none"; // "none", "local", "domains" or "all"
    std::vector<std::string> domains;
    std::vector<std::string> approve; // approval kinds, see approvalKinds()
    std::vector<std::string> alwaysAllow; // places beginning with "/" or "~/"
    bool cliTools = false;

    // The defaults of a "permissions" object with no keys.
    PermissionSettings() = default;
    // Parses the value that stood under "permissions". Throws RelayHTTPError 400 "bad_request"
    // at the first failed check; nothing partial is kept.
    explicit PermissionSettings(const JSON& value);

    // The "bashNetwork" member: (mode, domains). Throws RelayHTTPError 400 "bad_request".
    static std::pair<std::string, std::vector<std::string>> parseBashNetwork(const JSON& value);
    // A lower-case DNS name of at least two labels, optionally "*."-prefixed; no localhost, no
    // dotted number.
    static bool isValidSiteName(std::string_view name);
    // "bash", "write".
    static const std::vector<std::string>& approvalKinds();

    // Lists compare element by element, so the same items in another order differ.
    friend bool operator==(const PermissionSettings&, const PermissionSettings&) = default;
};

// Non-empty, at most 512 characters, untouched by trimming, no backslash and no control character
// (and valid UTF-8).
bool isValidPathText(std::string_view text);

}
