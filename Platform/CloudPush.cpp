#include "Platform/CloudPush.h"

#include "Platform/Random.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <system_error>

namespace vellumar::platform {

namespace {

    namespace fs = std::filesystem;

    constexpr std::string_view kSocketExtension = ".sock";
    constexpr suseconds_t kFullListenerWaitMicroseconds = 100'000;
    // Far above any notification this database writes.
    constexpr std::size_t kMaxDatagramBytes = 64 * 1024;

    std::string jsonString(std::string_view text)
    {
        std::string quoted = "\"";
        for (char character : text) {
            auto byte = static_cast<unsigned char>(character);
            if (character == '"' || character == '\\') {
                quoted += '\\';
                quoted += character;
            } else if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                quoted += escaped;
            } else {
                quoted += character;
            }
        }
        return quoted + "\"";
    }

    std::optional<sockaddr_un> socketAddress(const fs::path& path)
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        const std::string& text = path.native();
        if (text.size() >= sizeof address.sun_path)
            return std::nullopt;
        text.copy(address.sun_path, text.size());
        return address;
    }

}

std::string cloudNotificationJSON(std::string_view containerIdentifier,
    const CloudQuerySubscription& subscription, std::string_view recordName)
{
    const CloudNotificationInfo& info = subscription.notificationInfo;
    std::string aps;
    auto add = [&aps](std::string_view member) { aps += (aps.empty() ? "" : ",") + std::string(member); };
    if (info.titleLocalizationKey || info.alertLocalizationKey) {
        std::string alert;
        if (info.titleLocalizationKey)
            alert += "\"title-loc-key\":" + jsonString(*info.titleLocalizationKey);
        if (info.alertLocalizationKey)
            alert += std::string(alert.empty() ? "" : ",")
                + "\"loc-key\":" + jsonString(*info.alertLocalizationKey);
        add("\"alert\":{" + alert + "}");
    }
    if (info.shouldSendContentAvailable)
        add("\"content-available\":1");
    if (info.soundName)
        add("\"sound\":" + jsonString(*info.soundName));
    return "{\"aps\":{" + aps + "},\"ck\":{\"cid\":" + jsonString(containerIdentifier)
        + ",\"qry\":{\"fo\":1,\"rid\":" + jsonString(recordName) + ",\"sid\":"
        + jsonString(subscription.subscriptionID) + ",\"zid\":" + jsonString(subscription.zoneName) + "}}}";
}

void broadcastCloudPush(const fs::path& pushFolder, std::string_view message) noexcept
{
    FileDescriptor sender(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sender)
        return;
    // A listener's queue holds only a few datagrams (net.unix.max_dgram_qlen); a writer waits a moment
    // for one that is busy reading rather than drop its push, but never long for one that stopped.
    timeval patience { 0, kFullListenerWaitMicroseconds };
    ::setsockopt(sender.get(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    std::error_code error;
    for (fs::directory_iterator entry(pushFolder, error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path& path = entry->path();
        auto address = socketAddress(path);
        if (path.extension() != kSocketExtension || !address)
            continue;
        ssize_t sent = ::sendto(sender.get(), message.data(), message.size(), MSG_NOSIGNAL,
            reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
        // Refused means the socket file outlived its process (killed before it could remove it).
        if (sent < 0 && errno == ECONNREFUSED)
            ::unlink(path.c_str());
    }
}

CloudSocketPushListener::CloudSocketPushListener(const fs::path& pushFolder)
    : m_socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    , m_path(pushFolder / (secureRandomHex(8) + std::string(kSocketExtension)))
{
    if (!m_socket)
        throw std::system_error(errno, std::system_category(), "push socket");
    auto address = socketAddress(m_path);
    if (!address)
        throw std::system_error(ENAMETOOLONG, std::system_category(), "push socket");
    if (::bind(m_socket.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
        throw std::system_error(errno, std::system_category(), "push socket");
}

CloudSocketPushListener::~CloudSocketPushListener() { ::unlink(m_path.c_str()); }

std::optional<std::string> CloudSocketPushListener::receive(std::chrono::milliseconds timeout)
{
    pollfd waiting { m_socket.get(), POLLIN, 0 };
    int ready;
    do
        ready = ::poll(&waiting, 1, static_cast<int>(timeout.count()));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return std::nullopt;
    std::string datagram(kMaxDatagramBytes, '\0');
    ssize_t count = ::recv(m_socket.get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (count < 0)
        return std::nullopt;
    datagram.resize(static_cast<std::size_t>(count));
    return datagram;
}

}
