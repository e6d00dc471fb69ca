// The decision for Claude Code's three file tools when its own settings do not already allow a
// write, and the approval request the phone shows when the user has to decide.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar {

struct ResolvedPermissions;

// The only answers a permission question accepts.
inline constexpr std::array<std::string_view, 4> permissionAnswers { "once", "conversation", "always",
    "deny" };

// True for "p-" followed by exactly 12 lowercase hexadecimal digits.
bool isPermissionRequestID(std::string_view text);

namespace PermissionDecider {

    inline constexpr std::array<std::string_view, 3> fileTools { "Write", "Edit", "MultiEdit" };

    struct Target {
        std::string tool; // as Claude Code sent it
        std::filesystem::path path; // the file that would be written, as `writeDestination` finds it
        std::filesystem::path scope; // what an allowance covers: the file or a whole folder
        bool canAlways = false; // the phone may offer "always" for this scope
        std::string reason; // the sentence shown to the user

        friend bool operator==(const Target&, const Target&) = default;
    };

    struct Outcome {
        enum class Kind { ask, allowWorkspace, deny };

        Kind kind = Kind::deny;
        std::optional<Target> target; // only for `ask`
        // Where the write lands (`ask` and `allowWorkspace`): the path an allowed write must use,
        // since the one Claude Code sent may reach it only through links.
        std::filesystem::path file;

        static Outcome ask(Target target)
        {
            std::filesystem::path file = target.path;
            return { Kind::ask, std::move(target), std::move(file) };
        }
        static Outcome allowWorkspace(std::filesystem::path file)
        {
            return { Kind::allowWorkspace, std::nullopt, std::move(file) };
        }
        static Outcome deny() { return { Kind::deny, std::nullopt, {} }; }

        friend bool operator==(const Outcome&, const Outcome&) = default;
    };

    // Decides one file-tool question from the tool's name and input (nullptr when absent), the
    // run's permissions (gates not yet applied) and the conversation's work folder. The file is
    // decided on where the write lands (`writeDestination`), never on the path as written; a path
    // whose landing place cannot be named is denied. Reads the file system only; safe from any
    // thread. What the disk looks like after the decision is beyond it: Claude Code writes.
    Outcome decide(std::string_view tool, const JSON* input, const ResolvedPermissions& permissions,
        const std::filesystem::path& workFolder);

    // The approval request listed for the phone: nine members, paths shown relative to `home`.
    JSON requestJSON(const Target& target, std::string_view requestID,
        std::chrono::system_clock::time_point expiresAt, const std::filesystem::path& home);

}

}
