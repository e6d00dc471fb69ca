#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"

#include "Platform/Log.h"

#include <string>

namespace vellumar {

namespace {

    constexpr std::size_t kAsideSuffixBytes = 4;
    namespace Status = platform::KeychainStatus;

    std::string itemDescription(const std::string& service, const std::string& account)
    {
        return "The paired-device list (keychain item " + service + ", " + account + ")";
    }

}

KeychainDeviceStorage::KeychainDeviceStorage(
    std::string service, std::string account, platform::Keychain keychain)
    : m_service(std::move(service))
    , m_account(std::move(account))
    , m_keychain(std::move(keychain))
{
    // Each is a full copy of some earlier list, token digests of removed devices included.
    m_keychain.removeLeftovers(m_service, m_account);
}

std::vector<PairedDevice> KeychainDeviceStorage::load()
{
    platform::KeychainRead read = m_keychain.copy(m_service, m_account);
    if (read.status == Status::itemNotFound)
        return {};
    // A damaged item, or something no read can take for one, is as sure a loss as an item whose JSON
    // is wrong; all are kept aside alike.
    if (read.status == Status::decode)
        throw DeviceListDecodingError("The stored item is damaged.");
    if (read.status != Status::success) {
        platform::logError(itemDescription(m_service, m_account) + " could not be read (status "
            + std::to_string(read.status) + "); pairing waits until it can be.");
        throw KeychainError(read.status);
    }
    return PairedDevices::decoded(read.item->data);
}

void KeychainDeviceStorage::save(const std::vector<PairedDevice>& devices)
{
    std::string data = PairedDevices::encoded(devices);
    platform::OSStatus status = m_keychain.update(m_service, m_account, data);
    if (status == Status::itemNotFound)
        status = m_keychain.add(m_service, m_account, data, label);
    if (status != Status::success)
        throw KeychainError(status);
}

void KeychainDeviceStorage::setAside()
{
    std::string aside = m_account + ".unreadable-" + RelayIDs::randomHex(kAsideSuffixBytes);
    platform::OSStatus status = m_keychain.renameAccount(m_service, m_account, aside);
    if (status != Status::success) {
        platform::logError(itemDescription(m_service, m_account)
            + " is damaged or not a file and could not be kept aside (status " + std::to_string(status)
            + ").");
        throw KeychainError(status);
    }
    platform::logError(itemDescription(m_service, m_account)
        + " is damaged or not a file; it was kept as account " + aside
        + ", and pairing starts with an empty list.");
}

}
