#include "VellumarMacCore/Relay/PairedDevice.h"

#include <cmath>

namespace vellumar {

namespace {

    // Far beyond any real date, and well inside what the clock's nanoseconds can hold (about 292
    // years either side of 1970), so the conversion below cannot overflow.
    constexpr double kMaxSeconds = 1e9 * 8;

    JSON secondsSince1970(PairedDevice::TimePoint time)
    {
        return JSON::number(std::chrono::duration<double>(time.time_since_epoch()).count());
    }

    PairedDevice::TimePoint dateFrom(const JSON& value, const char* key)
    {
        auto seconds = value.numberValue();
        if (!seconds || !std::isfinite(*seconds) || std::fabs(*seconds) > kMaxSeconds)
            throw DeviceListDecodingError(std::string("The member ") + key + " is not a date.");
        return PairedDevice::TimePoint(std::chrono::duration_cast<PairedDevice::TimePoint::duration>(
            std::chrono::duration<double>(*seconds)));
    }

    const JSON& requiredMember(const JSON& object, const char* key)
    {
        const JSON* member = object.subscript(key);
        if (!member)
            throw DeviceListDecodingError(std::string("The member ") + key + " is missing.");
        return *member;
    }

    std::string textFrom(const JSON& object, const char* key)
    {
        const std::string* text = requiredMember(object, key).stringValue();
        if (!text)
            throw DeviceListDecodingError(std::string("The member ") + key + " is not a text.");
        return *text;
    }

    std::optional<movrane::MailboxPairing> mailboxFrom(const JSON* member)
    {
        if (!member || member->isNull())
            return std::nullopt;
        try {
            return movrane::MailboxPairing::fromJSON(*member);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    PairedDevice deviceFrom(const JSON& object)
    {
        if (!object.objectValue())
            throw DeviceListDecodingError("A device is not an object.");
        PairedDevice device {
            .id = textFrom(object, "id"),
            .name = textFrom(object, "name"),
            .pairedAt = dateFrom(requiredMember(object, "pairedAt"), "pairedAt"),
            .tokenHash = textFrom(object, "tokenHash"),
        };
        if (const JSON* lastSeen = object.subscript("lastSeenAt"); lastSeen && !lastSeen->isNull())
            device.lastSeenAt = dateFrom(*lastSeen, "lastSeenAt");
        device.mailbox = mailboxFrom(object.subscript("mailbox"));
        if (const JSON* code = object.subscript("mailboxReasonCode"); code && code->stringValue())
            device.mailboxReasonCode = *code->stringValue();
        return device;
    }

}

JSON PairedDevice::json() const
{
    JSON::Object members {
        { "id", id },
        { "name", name },
        { "pairedAt", secondsSince1970(pairedAt) },
        { "tokenHash", tokenHash },
    };
    if (lastSeenAt)
        members.emplace("lastSeenAt", secondsSince1970(*lastSeenAt));
    if (mailbox)
        members.emplace("mailbox", mailbox->toJSON());
    if (mailboxReasonCode)
        members.emplace("mailboxReasonCode", *mailboxReasonCode);
    return JSON(std::move(members));
}

std::optional<movrane::MailboxPairingAnswer::Reason> PairedDevice::mailboxReason() const
{
    return mailboxReasonCode ? movrane::mailboxPairingReason(*mailboxReasonCode) : std::nullopt;
}

void PairedDevice::setMailboxReason(std::optional<movrane::MailboxPairingAnswer::Reason> reason)
{
    mailboxReasonCode = reason ? std::optional<std::string>(movrane::rawValue(*reason)) : std::nullopt;
}

namespace PairedDevices {

    std::string encoded(const std::vector<PairedDevice>& devices)
    {
        JSON::Array array;
        array.reserve(devices.size());
        for (const PairedDevice& device : devices)
            array.push_back(device.json());
        return JSON(std::move(array)).encoded();
    }

    std::vector<PairedDevice> decoded(std::string_view bytes)
    {
        auto value = JSON::decode(bytes);
        const JSON::Array* array = value ? value->arrayValue() : nullptr;
        if (!array)
            throw DeviceListDecodingError("The stored devices are not a JSON array.");
        std::vector<PairedDevice> devices;
        devices.reserve(array->size());
        for (const JSON& element : *array)
            devices.push_back(deviceFrom(element));
        return devices;
    }

}

}
