#include "MovraneMailbox/Protocol/MailboxChannelState.h"

#include "MovraneMailbox/Protocol/ExactJSON.h"
#include "MovraneMailbox/Protocol/MailboxCryptoError.h"
#include "Platform/Crypto.h"
#include "Platform/Log.h"
#include "Platform/PrivateFiles.h"
#include "VellumarMacCore/Foundations/JSON.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace movrane {

namespace {

    namespace fs = std::filesystem;
    using std::chrono::milliseconds;

    // 2001-01-01 00:00:00 UTC, the epoch of the stored presence time, in seconds since 1970.
    constexpr double kReferenceDateOffset = 978'307'200;
    constexpr milliseconds kReplayWindow { 300'000 };

    std::int64_t millisecondsOf(MailboxTime time)
    {
        return std::chrono::floor<milliseconds>(time.time_since_epoch()).count();
    }

    constexpr std::string_view kFileExtension = ".json";

    // The bytes a key keeps in its file's name.
    bool isKeptByte(char character)
    {
        auto byte = static_cast<unsigned char>(character);
        return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9')
            || byte == '-' || byte == '.' || byte == '_';
    }

    std::string decimal(double value)
    {
        char buffer[64];
        auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
        return error == std::errc() ? std::string(buffer, end) : "0";
    }

}

void MailboxReplayGuard::accept(std::uint64_t sequence, MailboxTime messageExpiry, MailboxTime now)
{
    prune(now);
    if (hasSeen(sequence))
        throw MailboxCryptoError(MailboxCryptoError::Kind::replayed);
    seen.emplace(sequence, millisecondsOf(messageExpiry + kReplayWindow));
    while (seen.size() > limit) {
        floor = std::max(floor, seen.begin()->first);
        seen.erase(seen.begin());
    }
}

void MailboxReplayGuard::prune(MailboxTime now)
{
    auto current = millisecondsOf(now);
    for (auto entry = seen.begin(); entry != seen.end();) {
        if (entry->second < current) {
            floor = std::max(floor, entry->first);
            entry = seen.erase(entry);
        } else {
            ++entry;
        }
    }
}

bool MailboxReplayGuard::hasSeen(std::uint64_t sequence) const
{
    return sequence <= floor || seen.contains(sequence);
}

std::uint64_t MailboxSequence::next(std::uint64_t last, MailboxTime now)
{
    auto current = std::max<std::int64_t>(0, millisecondsOf(now));
    return std::max(static_cast<std::uint64_t>(current) << 10, last + 1);
}

std::optional<MailboxBytes> InMemoryMailboxStateStorage::load(std::string_view key)
{
    std::lock_guard guard(m_lock);
    auto found = m_blobs.find(key);
    return found == m_blobs.end() ? std::nullopt : std::optional(found->second);
}

void InMemoryMailboxStateStorage::store(const std::optional<MailboxBytes>& bytes, std::string_view key)
{
    std::lock_guard guard(m_lock);
    if (bytes)
        m_blobs.insert_or_assign(std::string(key), *bytes);
    else if (auto found = m_blobs.find(key); found != m_blobs.end())
        m_blobs.erase(found);
}

void InMemoryMailboxStateStorage::save(const MailboxBytes& bytes, std::string_view key) { store(bytes, key); }

FileMailboxStateStorage::FileMailboxStateStorage(fs::path directory)
    : m_directory(std::move(directory))
{
    // Each is a full copy of some earlier state; none is ever read.
    vellumar::platform::removeTemporaryLeftovers(m_directory, [](std::string_view target) {
        return target.ends_with(kFileExtension) && std::ranges::all_of(target, isKeptByte);
    });
}

std::string FileMailboxStateStorage::fileName(std::string_view key)
{
    std::string name;
    for (std::size_t index = 0; index < key.size();) {
        name.push_back(isKeptByte(key[index]) ? key[index] : '_');
        // One "_" a scalar: step over the whole UTF-8 sequence (or one byte of a malformed one).
        std::size_t length = vellumar::detail::validUTF8SequenceLength(key.substr(index));
        index += std::max<std::size_t>(length, 1);
    }
    return name + std::string(kFileExtension);
}

std::optional<MailboxBytes> FileMailboxStateStorage::load(std::string_view key)
{
    std::lock_guard guard(m_lock);
    std::ifstream file(m_directory / fileName(key), std::ios::binary);
    if (!file)
        return std::nullopt;
    MailboxBytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return std::nullopt;
    return bytes;
}

void FileMailboxStateStorage::write(const std::optional<MailboxBytes>& bytes, std::string_view key)
{
    std::lock_guard guard(m_lock);
    auto file = m_directory / fileName(key);
    std::error_code ignored;
    if (!bytes) {
        fs::remove(file, ignored);
        return;
    }
    if (!fs::exists(m_directory, ignored)) {
        try {
            vellumar::platform::makePrivateDirectory(m_directory);
        } catch (const fs::filesystem_error&) {
            // The write below reports what matters.
        }
    }
    vellumar::platform::writeFileAtomically(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), file,
        vellumar::platform::ExistingFile::replace);
}

void FileMailboxStateStorage::store(const std::optional<MailboxBytes>& bytes, std::string_view key)
{
    try {
        write(bytes, key);
    } catch (const std::exception&) {
        // `store` reports nothing by contract; the next write tries again.
    }
}

void FileMailboxStateStorage::save(const MailboxBytes& bytes, std::string_view key) { write(bytes, key); }

std::string MailboxChannelState::json() const
{
    std::string text = "{\"lastSequence\":" + std::to_string(lastSequence)
        + ",\"replay\":{\"floor\":" + std::to_string(replay.floor) + ",\"seen\":[";
    bool first = true;
    for (const auto& [sequence, expiry] : replay.seen) {
        text += (first ? "" : ",") + std::to_string(sequence) + "," + std::to_string(expiry);
        first = false;
    }
    text += "]}";
    if (changeToken)
        text
            += ",\"changeToken\":" + vellumar::JSON(vellumar::platform::base64Encode(*changeToken)).encoded();
    if (lastPresence) {
        double seconds
            = std::chrono::duration<double>(lastPresence->time_since_epoch()).count() - kReferenceDateOffset;
        text += ",\"lastPresence\":" + decimal(seconds);
    }
    return text + "}";
}

std::optional<MailboxChannelState> MailboxChannelState::fromJSON(std::string_view text)
{
    auto document = ExactJSON::decode(text);
    const ExactJSON::Value* lastSequence = document ? document->member("lastSequence") : nullptr;
    const ExactJSON::Value* replay = document ? document->member("replay") : nullptr;
    const ExactJSON::Value* floor = replay ? replay->member("floor") : nullptr;
    const ExactJSON::Value* seen = replay ? replay->member("seen") : nullptr;
    if (!lastSequence || !lastSequence->unsignedInteger() || !floor || !floor->unsignedInteger() || !seen
        || seen->kind != ExactJSON::Value::Kind::array || seen->elements.size() % 2 != 0)
        return std::nullopt;
    MailboxChannelState state;
    state.lastSequence = *lastSequence->unsignedInteger();
    state.replay.floor = *floor->unsignedInteger();
    for (std::size_t index = 0; index < seen->elements.size(); index += 2) {
        auto sequence = seen->elements[index].unsignedInteger();
        auto expiry = seen->elements[index + 1].signedInteger();
        if (!sequence || !expiry)
            return std::nullopt;
        state.replay.seen.insert_or_assign(*sequence, *expiry);
    }
    if (const auto* token = document->member("changeToken");
        token && token->kind != ExactJSON::Value::Kind::null) {
        auto bytes = token->kind == ExactJSON::Value::Kind::string
            ? vellumar::platform::base64Decode(token->text)
            : std::nullopt;
        if (!bytes)
            return std::nullopt;
        state.changeToken = std::move(*bytes);
    }
    if (const auto* presence = document->member("lastPresence");
        presence && presence->kind != ExactJSON::Value::Kind::null) {
        auto seconds = presence->number();
        if (!seconds)
            return std::nullopt;
        state.lastPresence = MailboxTime(std::chrono::duration_cast<MailboxTime::duration>(
            std::chrono::duration<double>(*seconds + kReferenceDateOffset)));
    }
    return state;
}

MailboxChannelState MailboxChannelState::decode(MailboxStateStorage& storage, std::string_view key)
{
    auto bytes = storage.load(key);
    if (!bytes)
        return {};
    auto state = fromJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    return state ? std::move(*state) : MailboxChannelState {};
}

MailboxChannelState MailboxChannelState::resume(
    MailboxStateStorage& storage, std::string_view key, MailboxTime now)
{
    auto bytes = storage.load(key);
    if (!bytes)
        return {};
    if (auto state = fromJSON(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())))
        return std::move(*state);
    MailboxChannelState state;
    state.replay.floor = MailboxSequence::next(0, now);
    return state;
}

void MailboxChannelState::encoded(MailboxStateStorage& storage, std::string_view key) const
{
    std::string text;
    try {
        text = json();
    } catch (const std::exception&) {
        // Removing the stored state here would forget every sequence number the peer already used.
        vellumar::platform::logError(
            "mailbox: the channel state could not be encoded; the stored one is kept");
        return;
    }
    storage.store(MailboxBytes(text.begin(), text.end()), key);
}

void MailboxChannelState::save(MailboxStateStorage& storage, std::string_view key) const
{
    auto text = json();
    storage.save(MailboxBytes(text.begin(), text.end()), key);
}

std::string mailboxStateKey(MailboxRole ownRole, std::string_view zoneName)
{
    return "mailbox." + std::string(ownRole == MailboxRole::device ? "device" : "mac") + "."
        + std::string(zoneName);
}

MailboxTime SystemMailboxClock::now() const { return std::chrono::system_clock::now(); }

void SystemMailboxClock::sleep(double seconds, std::stop_token stop) const
{
    std::mutex lock;
    std::condition_variable_any woken;
    std::unique_lock held(lock);
    // Capped at a year: far-off doubles would overflow the clock's count.
    auto duration = std::chrono::duration<double>(std::clamp(seconds, 0.0, 365.0 * 86'400));
    woken.wait_for(
        held, stop, std::chrono::duration_cast<std::chrono::nanoseconds>(duration), [] { return false; });
    if (stop.stop_requested())
        throw MailboxCancelledError();
}

}
