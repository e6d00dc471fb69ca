#include "VellumarMacCore/Terminal/ShellLaunch.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <locale.h>
#include <pwd.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::string_view kDefaultLocale = "en_US.UTF-8";
    constexpr std::string_view kBuiltInLocale = "C.UTF-8";

    bool isExecutableFile(const std::string& path)
    {
        std::error_code error;
        return !path.empty() && std::filesystem::is_regular_file(path, error)
            && access(path.c_str(), X_OK) == 0;
    }

    // zsh is the Mac's login shell; a Linux system often lacks it, and every system has sh.
    std::string chosenShell(const std::string& candidate)
    {
        for (const std::string& shell : { candidate, std::string("/bin/zsh") }) {
            if (isExecutableFile(shell))
                return shell;
        }
        return "/bin/sh";
    }

    bool isASCIILetters(const std::string& text)
    {
        return std::all_of(text.begin(), text.end(),
            [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
    }

    std::string environmentOr(const char* name, std::string fallback)
    {
        const char* value = std::getenv(name);
        return value ? std::string(value) : fallback;
    }

}

ShellLaunch::Account ShellLaunch::Account::current()
{
    Account account { environmentOr("HOME", "/"), environmentOr("USER", std::to_string(getuid())), "" };
    if (const passwd* entry = getpwuid(getuid())) {
        if (entry->pw_dir)
            account.home = entry->pw_dir;
        if (entry->pw_name)
            account.user = entry->pw_name;
        if (entry->pw_shell)
            account.shell = entry->pw_shell;
    }
    return account;
}

ShellLaunch ShellLaunch::loginShell(const Environment& environment, const Locale& locale)
{
    return loginShell(environment, locale, Account::current());
}

ShellLaunch ShellLaunch::loginShell(
    const Environment& environment, const Locale& locale, const Account& account)
{
    const std::string shell = chosenShell(account.shell);
    Environment child;
    for (std::string_view name : inheritedVariables) {
        if (auto found = environment.find(std::string(name)); found != environment.end())
            child.insert(*found);
    }
    child.try_emplace("PATH", "/usr/bin:/bin:/usr/sbin:/sbin");
    child["HOME"] = account.home;
    child["USER"] = account.user;
    child["LOGNAME"] = account.user;
    child["SHELL"] = shell;
    child["TERM"] = "xterm-256color";
    child["COLORTERM"] = "truecolor";
    child["TERM_PROGRAM"] = "Vellumar";
    if (!child.contains("LANG"))
        child["LANG"] = localeName(locale);

    // A leading "-" in argument 0 is how a shell learns that it is a login shell.
    std::string argument0 = "-" + std::filesystem::path(shell).filename().string();
    return { shell, { std::move(argument0) }, std::move(child), account.home };
}

bool ShellLaunch::isInstalledLocale(const std::string& name)
{
    locale_t loaded = newlocale(LC_ALL_MASK, name.c_str(), locale_t {});
    if (!loaded)
        return false;
    freelocale(loaded);
    return true;
}

std::string ShellLaunch::localeName(
    const Locale& locale, const std::function<bool(const std::string&)>& isInstalled)
{
    // Only letters reach the name, so it can never be read as a path to a locale file.
    if (locale.languageCode && locale.region && isASCIILetters(*locale.languageCode)
        && isASCIILetters(*locale.region)) {
        std::string name = *locale.languageCode + "_" + *locale.region + ".UTF-8";
        if (isInstalled(name))
            return name;
    }
    // A LANG the system lacks leaves programs in plain ASCII, which mangles every other character.
    if (isInstalled(std::string(kDefaultLocale)))
        return std::string(kDefaultLocale);
    return std::string(kBuiltInLocale);
}

}
