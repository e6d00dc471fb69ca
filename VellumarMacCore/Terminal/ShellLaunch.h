// The description of a terminal's login shell: which program, with which arguments, environment and
// working directory.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

struct ShellLaunch {
    using Environment = std::map<std::string, std::string>;

    // The part of the user's locale that names its LANG value.
    struct Locale {
        std::optional<std::string> languageCode; // "de"
        std::optional<std::string> region; // "DE"
    };

    // The password-database entry of the user the shell runs as.
    struct Account {
        std::string home;
        std::string user;
        std::string shell; // empty when the database names none

        // The real user's entry; the process's HOME and USER stand in for a missing entry.
        static Account current();
    };

    // The only variables of the Mac's own environment that reach the shell.
    static constexpr std::array<std::string_view, 11> inheritedVariables
        = { "PATH", "TMPDIR", "SSH_AUTH_SOCK", "LANG", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_COLLATE",
              "LC_NUMERIC", "LC_TIME", "LC_MONETARY" };

    std::string executable; // absolute; started without a search of PATH
    std::vector<std::string> arguments; // element 0 included
    Environment environment; // complete: nothing else is inherited
    std::string directory;

    // The current user's login shell; `environment` is the Mac process's own. Never fails.
    static ShellLaunch loginShell(const Environment& environment, const Locale& locale);
    static ShellLaunch loginShell(
        const Environment& environment, const Locale& locale, const Account& account);

    // Whether the C library loads the locale of that name (newlocale).
    static bool isInstalledLocale(const std::string& name);
    // "de_DE.UTF-8" when `isInstalled` accepts that name, else "en_US.UTF-8" when it accepts that,
    // else "C.UTF-8", which every current C library has built in or installed.
    static std::string localeName(
        const Locale& locale, const std::function<bool(const std::string&)>& isInstalled = isInstalledLocale);

    friend bool operator==(const ShellLaunch&, const ShellLaunch&) = default;
};

}
