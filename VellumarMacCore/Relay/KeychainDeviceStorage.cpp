#include "VellumarMacCore/Relay/KeychainDeviceStorage.h"

#include "VellumarMacCore/Foundations/RelayIDs.h"

namespace vellumar {

namespace {

    constexpr std::size_t kAsideSuffixBytes = 4;
    namespace Status = platform::KeychainStatus;

}

KeychainDeviceStorage::KeychainDeviceStorage(
    std::string service, std::string account, platform::Keychain keychain)
    : m_service(std::move(service))
    , m_account(std::move(account))
    , m_keychain(std::move(keychain))
{
}

std::vector<PairedDevice> KeychainDeviceStorage::load()
{
    platform::KeychainRead read = m_keychain.copy(m_service, m_account);
    if (read.status == Status::itemNotFound)
        return {};
    // A damaged item was read as surely as one whose JSON is wrong; both are kept aside alike.
    if (read.status == Status::decode)
        throw DeviceListDecodingError("The stored item is damaged.");
    if (read.status != Status::success)
        throw KeychainError(read.status);
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
    if (platform::OSStatus status = m_keychain.renameAccount(m_service, m_account, aside);
        status != Status::success)
        throw KeychainError(status);
}

}
