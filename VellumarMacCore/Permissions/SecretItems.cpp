#include "VellumarMacCore/Permissions/SecretItems.h"

namespace vellumar::SecretItems {

const std::vector<SecretItem>& all()
{
    static const std::vector<SecretItem> catalogue = {
        { "relay", "Vellumar for Mac's own data (pairing, sessions, settings)", { std::string(relayPlace) },
            {} },
        { "ssh", "SSH keys (~/.ssh)", { ".ssh" }, {} },
        { "aws", "AWS credentials (~/.aws)", { ".aws" }, {} },
        { "gnupg", "GnuPG keys (~/.gnupg)", { ".gnupg" }, {} },
        { "config", "App settings and logins (~/.config, e.g. gh)", { ".config" }, {} },
        { "docker-kube", "Docker and Kubernetes logins (~/.docker, ~/.kube)", { ".docker", ".kube" }, {} },
        { "claude", "Claude Code's own settings (~/.claude, ~/.claude.json)", { ".claude" },
            { ".claude.json" } },
        { "git-credentials", "Git and other passwords (~/.netrc, ~/.git-credentials, ~/.gitconfig)", {},
            { ".netrc", ".git-credentials", ".gitconfig" } },
        { "shell", "Shell settings and history (~/.zshrc and others)", {},
            { ".zshrc", ".zprofile", ".bashrc", ".bash_profile", ".zsh_history", ".bash_history" } },
    };
    return catalogue;
}

const std::vector<std::string>& ids()
{
    static const std::vector<std::string> list = [] {
        std::vector<std::string> result;
        for (const auto& item : all())
            result.push_back(item.id);
        return result;
    }();
    return list;
}

const SecretItem* find(std::string_view id)
{
    for (const auto& item : all()) {
        if (item.id == id)
            return &item;
    }
    return nullptr;
}

}
