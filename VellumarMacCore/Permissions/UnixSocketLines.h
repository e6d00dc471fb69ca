// The few socket routines of the permission channel: a Unix socket address from a path, time-outs,
// and one line written whole or read up to its line feed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

namespace vellumar {

// The address of a path-bound Unix socket, `sun_path` NUL-padded to the end. Nothing when the path
// and its NUL do not fit `sun_path` (more than 107 bytes here) or when the path holds a NUL, which
// would silently name a shorter path.
std::optional<sockaddr_un> unixSocketAddress(std::string_view path);

// What `bind` and `connect` are given with an address of `unixSocketAddress`.
inline constexpr socklen_t unixSocketAddressLength = sizeof(sockaddr_un);

// Sets the receive and the send time-out of a socket to `seconds` (cut to whole microseconds).
// Values that are not finite, negative or beyond a day's worth of years are not applied. Errors
// are ignored: a socket without time-outs still works, it only waits longer.
void setSocketTimeouts(int descriptor, double seconds);

// Writes every byte, retrying after signals. False when a write fails or writes nothing; true at
// once for empty data. A vanished peer is an error here, not a signal, once `ignoreSIGPIPE` ran.
bool writeAll(int descriptor, std::string_view data);

// Reads until the first line feed and returns the bytes before it (what follows is dropped). Stops
// early at end of stream, on an error (a receive time-out included) or once `maximumBytes` are
// buffered, and then returns what it has, or nothing when that is empty. The result may exceed
// `maximumBytes` by less than one read of 64 KiB.
std::optional<std::string> readLine(int descriptor, std::size_t maximumBytes);

}
