#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::size_t kReadChunkBytes = 65536;
    // A time-out longer than this is a mistake rather than a wish; it would also overflow `time_t`
    // arithmetic in the kernel's conversion.
    constexpr double kLongestTimeoutSeconds = 100.0 * 365 * 24 * 3600;

}

std::optional<sockaddr_un> unixSocketAddress(std::string_view path)
{
    sockaddr_un address {};
    if (path.size() >= sizeof(address.sun_path) || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

void setSocketTimeouts(int descriptor, double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLongestTimeoutSeconds)
        return;
    double whole = std::trunc(seconds);
    timeval timeout {};
    timeout.tv_sec = static_cast<time_t>(whole);
    timeout.tv_usec = static_cast<suseconds_t>((seconds - whole) * 1'000'000);
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
}

bool writeAll(int descriptor, std::string_view data)
{
    while (!data.empty()) {
        ssize_t written = write(descriptor, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::optional<std::string> readLine(int descriptor, std::size_t maximumBytes)
{
    std::string buffer;
    char chunk[kReadChunkBytes];
    while (buffer.size() < maximumBytes) {
        ssize_t count = read(descriptor, chunk, sizeof(chunk));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        std::string_view received(chunk, static_cast<std::size_t>(count));
        if (auto lineEnd = received.find('\n'); lineEnd != std::string_view::npos) {
            buffer.append(received.substr(0, lineEnd));
            return buffer;
        }
        buffer.append(received);
    }
    if (buffer.empty())
        return std::nullopt;
    return buffer;
}

}
