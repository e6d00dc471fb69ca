// Where identities are kept: in memory (tests, the phone-side driver) or in the keychain, one
// generic-password item per label holding the 32-byte private scalar.
#pragma once

#include "MovraneMailbox/Protocol/MailboxBinary.h"
#include "MovraneMailbox/Protocol/MailboxKeys.h"
#include "Platform/Keychain.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace movrane {

// Every failure is thrown as MailboxKeyError; nothing here logs.
class MailboxKeyStore {
public:
    virtual ~MailboxKeyStore() = default;
    // Absent when nothing is stored under the label.
    virtual std::optional<MailboxIdentity> load(std::string_view label) = 0;
    // Replaces any identity stored under the label.
    virtual void save(const MailboxIdentity& identity, std::string_view label) = 0;
    // Deleting an absent label is no error.
    virtual void remove(std::string_view label) = 0;

    // The stored identity, or a new one saved under the label. A load error is passed on; so is a save
    // error, and the new identity is then dropped (a later call makes another). No retry.
    MailboxIdentity loadOrCreate(std::string_view label);
};

// Safe from any thread: one lock guards the table.
class InMemoryMailboxKeyStore final : public MailboxKeyStore {
public:
    std::optional<MailboxIdentity> load(std::string_view label) override;
    void save(const MailboxIdentity& identity, std::string_view label) override;
    void remove(std::string_view label) override;
    // Sorted ascending, byte-wise.
    std::vector<std::string> labels() const;

private:
    mutable std::mutex m_lock;
    std::map<std::string, MailboxBytes, std::less<>> m_keys;
};

// The keychain as the key store sees it: one byte item per service and account.
class MailboxKeychainBackend {
public:
    virtual ~MailboxKeychainBackend() = default;
    // Absent when there is no item; MailboxKeyError keychain(status) for any other failure.
    virtual std::optional<MailboxBytes> copy(std::string_view service, std::string_view account) = 0;
    // A duplicate item is an error too.
    virtual void add(std::span<const std::uint8_t> bytes, std::string_view service, std::string_view account) = 0;
    // An absent item counts as removed.
    virtual void remove(std::string_view service, std::string_view account) = 0;
    // Removes what writes of the service's items, killed before they were done, left behind; failures
    // are ignored. Call it before any write of those items can be under way.
    virtual void removeLeftovers(std::string_view service) = 0;
};

// The backend over the platform keychain (files of the data folder's keychain, never synchronised
// anywhere). `useDataProtectionKeychain` has no effect on Linux, which has a single keychain; it is
// kept so the Mac-side set-up reads the same.
class SecItemMailboxKeychainBackend final : public MailboxKeychainBackend {
public:
    explicit SecItemMailboxKeychainBackend(bool useDataProtectionKeychain,
        vellumar::platform::Keychain keychain = vellumar::platform::Keychain(vellumar::platform::Keychain::defaultFolder()));

    std::optional<MailboxBytes> copy(std::string_view service, std::string_view account) override;
    void add(std::span<const std::uint8_t> bytes, std::string_view service, std::string_view account) override;
    void remove(std::string_view service, std::string_view account) override;
    void removeLeftovers(std::string_view service) override;

    bool useDataProtectionKeychain() const noexcept { return m_useDataProtectionKeychain; }

private:
    bool m_useDataProtectionKeychain;
    vellumar::platform::Keychain m_keychain;
};

class KeychainMailboxKeyStore final : public MailboxKeyStore {
public:
    static constexpr std::string_view defaultService = "com.zu.plimsor.mailbox";

    // Removes the leftovers of the service's items (see MailboxKeychainBackend::removeLeftovers), so
    // construct it before any of them can be saved.
    KeychainMailboxKeyStore(std::string service, std::shared_ptr<MailboxKeychainBackend> backend);

    std::optional<MailboxIdentity> load(std::string_view label) override;
    // Removes the old item, then adds the new one; a failed removal stops before the add.
    void save(const MailboxIdentity& identity, std::string_view label) override;
    void remove(std::string_view label) override;

    const MailboxKeychainBackend& backend() const noexcept { return *m_backend; }

private:
    std::string m_service;
    std::shared_ptr<MailboxKeychainBackend> m_backend;
};

}
