// Bytes from the kernel's cryptographically secure generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vellumar::platform {

// Fills `count` bytes from getrandom(2). A generator failure stops the process:
// no id, token or key may ever be made from unfilled bytes. Safe from any thread.
std::vector<std::uint8_t> secureRandomBytes(std::size_t count);

}
