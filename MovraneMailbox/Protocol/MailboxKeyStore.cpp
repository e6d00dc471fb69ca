#include "MovraneMailbox/Protocol/MailboxKeyStore.h"

namespace movrane {

namespace KeychainStatus = vellumar::platform::KeychainStatus;

MailboxIdentity MailboxKeyStore::loadOrCreate(std::string_view label)
{
    if (auto stored = load(label))
        return *stored;
    auto created = MailboxIdentity::generate();
    save(created, label);
    return created;
}

std::optional<MailboxIdentity> InMemoryMailboxKeyStore::load(std::string_view label)
{
    std::lock_guard guard(m_lock);
    auto found = m_keys.find(label);
    if (found == m_keys.end())
        return std::nullopt;
    return MailboxIdentity::fromRawRepresentation(found->second);
}

void InMemoryMailboxKeyStore::save(const MailboxIdentity& identity, std::string_view label)
{
    const auto& raw = identity.rawRepresentation();
    std::lock_guard guard(m_lock);
    m_keys.insert_or_assign(std::string(label), MailboxBytes(raw.begin(), raw.end()));
}

void InMemoryMailboxKeyStore::remove(std::string_view label)
{
    std::lock_guard guard(m_lock);
    if (auto found = m_keys.find(label); found != m_keys.end())
        m_keys.erase(found);
}

std::vector<std::string> InMemoryMailboxKeyStore::labels() const
{
    std::lock_guard guard(m_lock);
    std::vector<std::string> labels;
    for (const auto& entry : m_keys)
        labels.push_back(entry.first);
    return labels;
}

SecItemMailboxKeychainBackend::SecItemMailboxKeychainBackend(
    bool useDataProtectionKeychain, vellumar::platform::Keychain keychain)
    : m_useDataProtectionKeychain(useDataProtectionKeychain)
    , m_keychain(std::move(keychain))
{
}

std::optional<MailboxBytes> SecItemMailboxKeychainBackend::copy(std::string_view service, std::string_view account)
{
    auto read = m_keychain.copy(service, account);
    if (read.status == KeychainStatus::itemNotFound)
        return std::nullopt;
    if (read.status != KeychainStatus::success)
        throw MailboxKeyError::keychain(read.status);
    return MailboxBytes(read.item->data.begin(), read.item->data.end());
}

void SecItemMailboxKeychainBackend::add(
    std::span<const std::uint8_t> bytes, std::string_view service, std::string_view account)
{
    auto status = m_keychain.add(
        service, account, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), "");
    if (status != KeychainStatus::success)
        throw MailboxKeyError::keychain(status);
}

void SecItemMailboxKeychainBackend::remove(std::string_view service, std::string_view account)
{
    auto status = m_keychain.remove(service, account);
    if (status != KeychainStatus::success && status != KeychainStatus::itemNotFound)
        throw MailboxKeyError::keychain(status);
}

void SecItemMailboxKeychainBackend::removeLeftovers(std::string_view service)
{
    m_keychain.removeLeftovers(service);
}

KeychainMailboxKeyStore::KeychainMailboxKeyStore(
    std::string service, std::shared_ptr<MailboxKeychainBackend> backend)
    : m_service(std::move(service))
    , m_backend(std::move(backend))
{
    // Each is a copy of a private key, perhaps one since replaced.
    m_backend->removeLeftovers(m_service);
}

std::optional<MailboxIdentity> KeychainMailboxKeyStore::load(std::string_view label)
{
    auto bytes = m_backend->copy(m_service, label);
    if (!bytes)
        return std::nullopt;
    return MailboxIdentity::fromRawRepresentation(*bytes);
}

void KeychainMailboxKeyStore::save(const MailboxIdentity& identity, std::string_view label)
{
    m_backend->remove(m_service, label);
    m_backend->add(identity.rawRepresentation(), m_service, label);
}

void KeychainMailboxKeyStore::remove(std::string_view label) { m_backend->remove(m_service, label); }

}
