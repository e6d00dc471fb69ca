#include "Platform/Keychain.h"

#include "Platform/Paths.h"
#include "Platform/PrivateFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    // Items hold a device list or a key; anything larger is not one of ours.
    constexpr std::size_t kMaxItemBytes = 1 << 20;

    // The bytes an item name keeps as they are.
    bool isPlainByte(unsigned char byte)
    {
        return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
            || byte == '-' || byte == '_';
    }

    // Letters, digits, "-" and "_" stay; every other byte, "." included, becomes "%XX", so no name
    // begins with "." like a write's temporary file and "@" only ever separates the two parts.
    std::string escapedName(std::string_view text)
    {
        constexpr std::string_view digits = "0123456789ABCDEF";
        std::string name;
        for (char character : text) {
            auto byte = static_cast<unsigned char>(character);
            if (isPlainByte(byte)) {
                name.push_back(character);
            } else {
                name.push_back('%');
                name.push_back(digits[byte >> 4]);
                name.push_back(digits[byte & 0x0F]);
            }
        }
        return name;
    }

    // Whether `escapedName` could have made the text.
    bool isEscapedName(std::string_view text)
    {
        auto isHexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
        for (std::size_t index = 0; index < text.size(); ++index) {
            if (isPlainByte(static_cast<unsigned char>(text[index])))
                continue;
            if (text[index] != '%' || index + 2 >= text.size() || !isHexDigit(text[index + 1])
                || !isHexDigit(text[index + 2]))
                return false;
            index += 2;
        }
        return true;
    }

    OSStatus statusOf(int error)
    {
        if (error == ENOENT)
            return KeychainStatus::itemNotFound;
        if (error == EEXIST)
            return KeychainStatus::duplicateItem;
        if (error == ENAMETOOLONG)
            return KeychainStatus::param;
        return KeychainStatus::io;
    }

    // The file is "<label>\n<data>".
    std::string fileContent(const KeychainItem& item) { return item.label + "\n" + item.data; }

    std::optional<KeychainItem> parsedItem(std::string_view content)
    {
        auto newline = content.find('\n');
        if (newline == std::string_view::npos)
            return std::nullopt;
        return KeychainItem { std::string(content.substr(0, newline)),
            std::string(content.substr(newline + 1)) };
    }

    // Never follows a link at the item's name and never blocks on a FIFO put there. No read could ever
    // take such a thing for an item, so it counts as a damaged one.
    KeychainRead readItem(const fs::path& file)
    {
        int descriptor = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (descriptor < 0)
            return { errno == ELOOP ? KeychainStatus::decode : statusOf(errno), std::nullopt };
        struct stat status { };
        int statFailed = ::fstat(descriptor, &status);
        if (statFailed != 0 || !S_ISREG(status.st_mode)) {
            ::close(descriptor);
            return { statFailed != 0 ? KeychainStatus::io : KeychainStatus::decode, std::nullopt };
        }
        std::string content;
        char buffer[8192];
        OSStatus failure = KeychainStatus::success;
        while (failure == KeychainStatus::success) {
            ssize_t count = ::read(descriptor, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                failure = KeychainStatus::io;
            else if (count == 0)
                break;
            else if (content.size() + static_cast<std::size_t>(count) > kMaxItemBytes)
                failure = KeychainStatus::decode;
            else
                content.append(buffer, static_cast<std::size_t>(count));
        }
        ::close(descriptor);
        if (failure != KeychainStatus::success)
            return { failure, std::nullopt };
        auto item = parsedItem(content);
        if (!item)
            return { KeychainStatus::decode, std::nullopt };
        return { KeychainStatus::success, std::move(item) };
    }

    OSStatus writeItem(
        const fs::path& folder, const fs::path& file, const KeychainItem& item, ExistingFile existing)
    {
        try {
            if (makePrivateDirectory(folder) == PrivateFolder::insecure)
                return KeychainStatus::notAvailable;
            writeFileAtomically(fileContent(item), file, existing);
            return KeychainStatus::success;
        } catch (const fs::filesystem_error& error) {
            return statusOf(error.code().value());
        }
    }

    // Makes a removed or renamed item's folder entry durable before the caller relies on it.
    OSStatus syncFolder(const fs::path& folder)
    {
        try {
            syncToDisk(folder);
            return KeychainStatus::success;
        } catch (const fs::filesystem_error& error) {
            return statusOf(error.code().value());
        }
    }

}

Keychain::Keychain(fs::path folder)
    : m_folder(std::move(folder))
{
}

fs::path Keychain::defaultFolder() { return dataFolder() / "keychain"; }

std::string Keychain::itemName(std::string_view service, std::string_view account)
{
    return escapedName(service) + "@" + escapedName(account);
}

fs::path Keychain::itemFile(std::string_view service, std::string_view account) const
{
    return m_folder / itemName(service, account);
}

KeychainRead Keychain::copy(std::string_view service, std::string_view account) const
{
    return readItem(itemFile(service, account));
}

OSStatus Keychain::update(std::string_view service, std::string_view account, std::string_view data) const
{
    KeychainRead current = copy(service, account);
    if (current.status != KeychainStatus::success)
        return current.status;
    return writeItem(m_folder, itemFile(service, account), { current.item->label, std::string(data) },
        ExistingFile::replace);
}

OSStatus Keychain::add(
    std::string_view service, std::string_view account, std::string_view data, std::string_view label) const
{
    if (label.find('\n') != std::string_view::npos)
        return KeychainStatus::param;
    return writeItem(
        m_folder, itemFile(service, account), { std::string(label), std::string(data) }, ExistingFile::keep);
}

OSStatus Keychain::remove(std::string_view service, std::string_view account) const
{
    if (::unlink(itemFile(service, account).c_str()) != 0)
        return statusOf(errno);
    return syncFolder(m_folder);
}

OSStatus Keychain::renameAccount(
    std::string_view service, std::string_view account, std::string_view newAccount) const
{
    fs::path from = itemFile(service, account);
    fs::path to = itemFile(service, newAccount);
    // RENAME_NOREPLACE keeps an item already at `newAccount`, and moves a folder or link in the item's
    // place as it is.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
        return statusOf(errno);
    // What is moved aside is often a damaged item, which may have come back from a backup wider
    // than the keychain's own files; a failure here leaves it as private as it was.
    makeMovedItemPrivate(to);
    return syncFolder(m_folder);
}

void Keychain::removeLeftovers(std::string_view service, std::string_view account) const
{
    removeTemporaryLeftovers(
        m_folder, [name = itemName(service, account)](std::string_view target) { return target == name; });
}

void Keychain::removeLeftovers(std::string_view service) const
{
    // "@" never occurs in an escaped name, so the prefix ends exactly where the service does.
    removeTemporaryLeftovers(m_folder, [prefix = escapedName(service) + "@"](std::string_view target) {
        return target.starts_with(prefix) && isEscapedName(target.substr(prefix.size()));
    });
}
}
