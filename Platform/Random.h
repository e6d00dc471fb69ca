// Bytes from the kernel's cryptographically secure generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vellumar::platform {

// Fills `count` bytes from getrandom(2). A generator failure stops the process:
// no id, token or key may ever be made from unfilled bytes. Safe from any thread.
std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

// `byteCount` secure random bytes as lowercase hexadecimal digits, for names no one may guess.
std::string secureRandomHex(std::size_t byteCount);

// Two lowercase hexadecimal digits per byte.
std::string lowercaseHex(std::span<const std::uint8_t> bytes);

}
