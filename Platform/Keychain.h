// A stand-in for the keychain's generic-password items: one secret item per service and account,
// kept as a 0600 file in a 0700 folder and replaced atomically. Calls answer the Security
// framework's status numbers, so callers compare them as they would on a Mac.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::platform {

using OSStatus = std::int32_t;

namespace KeychainStatus {
    inline constexpr OSStatus success = 0; // errSecSuccess
    inline constexpr OSStatus io = -36; // errSecIO: the file system failed
    inline constexpr OSStatus param = -50; // errSecParam: a name or label the files cannot carry
    inline constexpr OSStatus notAvailable = -25291; // errSecNotAvailable: the folder is not a private folder
    inline constexpr OSStatus duplicateItem = -25299; // errSecDuplicateItem
    inline constexpr OSStatus itemNotFound = -25300; // errSecItemNotFound
    // errSecDecode: the item's file is damaged or too large, or a link, FIFO or folder is in its place
    inline constexpr OSStatus decode = -26275;
}

struct KeychainItem {
    std::string label;
    std::string data;
};

struct KeychainRead {
    OSStatus status = KeychainStatus::success;
    // Set exactly when `status` is success.
    std::optional<KeychainItem> item;
};

// Holds no state but its folder; calls on distinct items may run on any threads at once, and
// callers serialise the calls on one item (as the keychain's own callers do with their actors).
class Keychain {
public:
    explicit Keychain(std::filesystem::path folder);

    // "${XDG_DATA_HOME:-$HOME/.local/share}/Vellumar/keychain": inside the data folder, which the
    // runs of Claude Code can neither read nor list.
    static std::filesystem::path defaultFolder();

    // SecItemCopyMatching for one item: itemNotFound when there is none.
    KeychainRead copy(std::string_view service, std::string_view account) const;
    // SecItemUpdate of the data alone; the label stays. itemNotFound when there is no item.
    OSStatus update(std::string_view service, std::string_view account, std::string_view data) const;
    // SecItemAdd; duplicateItem when the item exists, which is left as it was. Creates the folder.
    OSStatus add(std::string_view service, std::string_view account, std::string_view data,
        std::string_view label) const;
    // SecItemDelete of one item: itemNotFound when there is none.
    OSStatus remove(std::string_view service, std::string_view account) const;
    // SecItemUpdate of the account attribute: the item moves to `newAccount` of the same service and
    // is narrowed to 0600, whatever mode it had (a link there is moved as it is).
    // itemNotFound when there is no item, duplicateItem when `newAccount` already has one.
    OSStatus renameAccount(
        std::string_view service, std::string_view account, std::string_view newAccount) const;
    // Removes the temporary files that writes of the item, killed before their rename, left in the
    // folder; near-miss names and other items' files stay. Call it before any write of the item can be
    // under way. Failures are ignored.
    void removeLeftovers(std::string_view service, std::string_view account) const;
    // As above, for the items of every account of the service.
    void removeLeftovers(std::string_view service) const;

private:
    std::filesystem::path itemFile(std::string_view service, std::string_view account) const;
    static std::string itemName(std::string_view service, std::string_view account);

    std::filesystem::path m_folder;
};

}
