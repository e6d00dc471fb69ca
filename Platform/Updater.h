// The update framework's working on Linux: a small JSON feed fetched with libcurl names the newest
// version and its package, whose Ed25519 signature (RFC 8032) is checked with OpenSSL before anyone
// may open it. Nothing here installs: the user installs the verified package with their own tools.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <array>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar::platform {

using UpdatePublicKey = std::array<std::uint8_t, 32>;

// One update as the feed announces it:
//   {"version": "1.4.0", "url": "https://.../vellumar_1.4.0_amd64.deb", "size": 123456,
//    "signature": "<standard Base64 of the 64-byte Ed25519 signature of the whole package>"}
struct UpdateItem {
    std::string version;
    std::string url;
    std::uint64_t sizeBytes = 0;
    std::vector<std::uint8_t> signature;
};

class UpdateError : public std::exception {
public:
    enum class Kind {
        network, // the feed or the package could not be fetched (including HTTP errors)
        malformedFeed, // not one JSON object with the four members, or larger than the feed limit
        tooLarge, // the package is larger than the feed says
        badSignature, // the package is not the one the holder of the key signed
        file, // the package could not be written
    };
    UpdateError(Kind kind, std::string message);
    Kind kind() const noexcept { return m_kind; }
    const char* what() const noexcept override { return m_message.c_str(); }

private:
    Kind m_kind;
    std::string m_message;
};

constexpr std::size_t kUpdateFeedLimitBytes = 64 * 1024;

// The key gate: the bundle's "SUPublicEDKey" value when it is a string of standard Base64 (no
// whitespace or other stray character) that decodes to exactly 32 bytes; none otherwise.
std::optional<UpdatePublicKey> updatePublicKey(const nlohmann::json* value);

// RFC 8032 §5.1.7: whether `signature` is `key`'s Ed25519 signature of `message`. False for a
// signature that is not 64 bytes. Never throws.
bool verifyEd25519(const UpdatePublicKey& key, std::span<const std::uint8_t> message,
    std::span<const std::uint8_t> signature);

// Compares dotted numeric versions component by component, a missing one counting as zero
// ("1.10" > "1.9", "1.2" == "1.2.0");
// none when either is not one or more dot-separated decimal numbers.
std::optional<int> compareVersions(std::string_view lhs, std::string_view rhs);

// Reads the feed at `feedURL` (http or https, at most kUpdateFeedLimitBytes). Throws UpdateError:
// `network` or `malformedFeed`. Blocks; any thread.
UpdateItem fetchUpdateFeed(const std::string& feedURL);

// Downloads `item`'s package into `folder` (created 0700 when missing), reading no more than its
// stated size, and keeps it only when its signature verifies under `key`: the path of the kept
// file, named after the URL's last segment. On failure nothing is left behind and UpdateError is
// thrown (`network`, `tooLarge`, `badSignature` or `file`). Blocks; any thread.
std::filesystem::path downloadUpdate(
    const UpdateItem& item, const UpdatePublicKey& key, const std::filesystem::path& folder);

}
