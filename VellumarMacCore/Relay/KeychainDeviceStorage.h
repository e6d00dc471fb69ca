// The list of paired devices as one generic-password item of the keychain.
#pragma once

#include "VellumarMacCore/Relay/DeviceStorage.h"

#include "Platform/Keychain.h"

#include <cstdint>
#include <exception>
#include <string>

namespace vellumar {

// A keychain call that failed, with the Security framework's status number of that call.
class KeychainError : public std::exception {
public:
    explicit KeychainError(std::int32_t status) noexcept
        : m_status(status)
    {
    }

    std::int32_t status() const noexcept { return m_status; }
    const char* what() const noexcept override { return "The keychain could not be used."; }

    friend bool operator==(const KeychainError&, const KeychainError&) = default;

private:
    std::int32_t m_status;
};

class KeychainDeviceStorage final : public DeviceStorage {
public:
    // The item the application keeps its paired devices in.
    static constexpr std::string_view applicationService = "com.zu.plimsor.mac";
    static constexpr std::string_view applicationAccount = "paired-devices";
    // Given to the item when it is created, and never changed afterwards.
    static constexpr std::string_view label = "Vellumar for Mac paired devices";

    // Removes the temporary files that saves of the item, killed before their rename, left in the
    // keychain's folder; construct it before any save of the item can be under way.
    KeychainDeviceStorage(std::string service, std::string account,
        platform::Keychain keychain = platform::Keychain(platform::Keychain::defaultFolder()));

    // No item: empty. An item that was read but is damaged, whose data is not a device list, or a link,
    // FIFO or folder at the item's name (never followed): DeviceListDecodingError. Any other failure
    // (no permission, an I/O error): KeychainError, after one log line.
    std::vector<PairedDevice> load() override;
    // Updates the item's data, or creates the item with its label when there is none. KeychainError.
    void save(const std::vector<PairedDevice>& devices) override;
    // Moves the item, narrowed to 0600, to the account "<account>.unreadable-<8 hex>" of the same
    // service and logs one line. KeychainError, also logged, when it cannot be moved.
    void setAside() override;

private:
    std::string m_service;
    std::string m_account;
    platform::Keychain m_keychain;
};

}
