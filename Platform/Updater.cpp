#include "Platform/Updater.h"

#include "Platform/Crypto.h"
#include "Platform/PrivateFiles.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <compare>
#include <memory>
#include <mutex>

namespace vellumar::platform {

namespace {

    // Ed25519 keeps the whole message in memory (RFC 8032 signs it in one piece), so the package
    // a feed may announce is bounded too.
    constexpr std::uint64_t kPackageLimitBytes = 512ull * 1024 * 1024;
    constexpr long kConnectTimeoutSeconds = 20;
    // A transfer slower than this many bytes per second for the whole window is given up.
    constexpr long kLowSpeedBytes = 512;
    constexpr long kLowSpeedWindowSeconds = 60;

    struct CurlDeleter {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };

    struct Download {
        std::uint64_t limitBytes = 0;
        bool overLimit = false;
        std::string bytes;
    };

    std::size_t appendWithinLimit(char* data, std::size_t size, std::size_t count, void* context)
    {
        auto& download = *static_cast<Download*>(context);
        std::size_t length = size * count;
        if (download.bytes.size() + length > download.limitBytes) {
            download.overLimit = true;
            return 0; // a short count makes libcurl stop with CURLE_WRITE_ERROR
        }
        download.bytes.append(data, length);
        return length;
    }

    // The body at `url`, at most `limitBytes`; `overLimit` is set (and the body partial) when the
    // server sends more. Throws UpdateError(network) for every other failure.
    Download fetch(const std::string& url, std::uint64_t limitBytes)
    {
        static std::once_flag initialised;
        std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
        if (!handle)
            throw UpdateError(UpdateError::Kind::network, "The update check could not start.");
        Download download { .limitBytes = limitBytes };
        CURL* curl = handle.get();
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytes);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, kLowSpeedWindowSeconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendWithinLimit);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &download);
        CURLcode result = curl_easy_perform(curl);
        if (result != CURLE_OK && !download.overLimit)
            throw UpdateError(UpdateError::Kind::network,
                std::string("The update server could not be reached: ") + curl_easy_strerror(result) + ".");
        return download;
    }

    const nlohmann::json* member(const nlohmann::json& object, const char* name)
    {
        auto found = object.find(name);
        return found == object.end() ? nullptr : &*found;
    }

    UpdateError malformedFeed()
    {
        return UpdateError(UpdateError::Kind::malformedFeed, "The update feed is damaged.");
    }

    std::span<const std::uint8_t> bytesOf(const std::string& text)
    {
        return { reinterpret_cast<const std::uint8_t*>(text.data()), text.size() };
    }

    std::string fileNameOf(const std::string& url)
    {
        std::string path = url.substr(0, url.find_first_of("?#"));
        std::string name = path.substr(path.find_last_of('/') + 1);
        bool usable = !name.empty() && name != "." && name != ".." && name.front() != '.';
        for (char character : name)
            usable = usable
                && (std::isalnum(static_cast<unsigned char>(character)) || character == '.'
                    || character == '_' || character == '-' || character == '+');
        return usable ? name : "vellumar-update";
    }

}

UpdateError::UpdateError(Kind kind, std::string message)
    : m_kind(kind)
    , m_message(std::move(message))
{
}

std::optional<UpdatePublicKey> updatePublicKey(const nlohmann::json* value)
{
    if (!value || !value->is_string())
        return std::nullopt;
    auto decoded = base64Decode(value->get_ref<const std::string&>());
    if (!decoded || decoded->size() != UpdatePublicKey().size())
        return std::nullopt;
    UpdatePublicKey key;
    std::copy(decoded->begin(), decoded->end(), key.begin());
    return key;
}

bool verifyEd25519(const UpdatePublicKey& key, std::span<const std::uint8_t> message,
    std::span<const std::uint8_t> signature)
{
    if (signature.size() != 64)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!publicKey || !context)
        return false;
    // Ed25519 hashes internally: no digest is named, and the message goes in one call.
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1)
        return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size())
        == 1;
}

std::optional<int> compareVersions(std::string_view lhs, std::string_view rhs)
{
    auto components = [](std::string_view text) -> std::optional<std::vector<std::uint64_t>> {
        std::vector<std::uint64_t> numbers;
        while (true) {
            std::uint64_t number = 0;
            auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
            if (error != std::errc() || end == text.data())
                return std::nullopt;
            numbers.push_back(number);
            text.remove_prefix(static_cast<std::size_t>(end - text.data()));
            if (text.empty())
                return numbers;
            if (text.front() != '.')
                return std::nullopt;
            text.remove_prefix(1);
        }
    };
    auto left = components(lhs);
    auto right = components(rhs);
    if (!left || !right)
        return std::nullopt;
    // Missing components count as zero: "3.0" and "3.0.0" name one release.
    std::size_t length = std::max(left->size(), right->size());
    left->resize(length);
    right->resize(length);
    auto order = *left <=> *right;
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

UpdateItem fetchUpdateFeed(const std::string& feedURL)
{
    Download feed = fetch(feedURL, kUpdateFeedLimitBytes);
    if (feed.overLimit)
        throw malformedFeed();
    auto object = nlohmann::json::parse(feed.bytes, nullptr, false);
    if (!object.is_object())
        throw malformedFeed();
    const auto* version = member(object, "version");
    const auto* url = member(object, "url");
    const auto* size = member(object, "size");
    const auto* signature = member(object, "signature");
    if (!version || !version->is_string() || !compareVersions(version->get_ref<const std::string&>(), "0"))
        throw malformedFeed();
    if (!url || !url->is_string() || !size || !size->is_number_unsigned() || !signature
        || !signature->is_string())
        throw malformedFeed();
    auto signatureBytes = base64Decode(signature->get_ref<const std::string&>());
    if (!signatureBytes || signatureBytes->size() != 64)
        throw malformedFeed();
    return { .version = version->get<std::string>(),
        .url = url->get<std::string>(),
        .sizeBytes = size->get<std::uint64_t>(),
        .signature = std::move(*signatureBytes) };
}

std::filesystem::path downloadUpdate(
    const UpdateItem& item, const UpdatePublicKey& key, const std::filesystem::path& folder)
{
    if (item.sizeBytes > kPackageLimitBytes)
        throw UpdateError(UpdateError::Kind::tooLarge, "The update is larger than this Mac accepts.");
    Download package = fetch(item.url, item.sizeBytes);
    if (package.overLimit)
        throw UpdateError(UpdateError::Kind::tooLarge, "The update is larger than its feed says.");
    if (!verifyEd25519(key, bytesOf(package.bytes), item.signature))
        throw UpdateError(
            UpdateError::Kind::badSignature, "The update is not signed by the makers of Vellumar.");
    std::filesystem::path file = folder / fileNameOf(item.url);
    try {
        if (makePrivateDirectory(folder) != PrivateFolder::ready)
            throw UpdateError(UpdateError::Kind::file, "The update folder is not a private folder.");
        writeFileAtomically(package.bytes, file, ExistingFile::replace);
    } catch (const std::filesystem::filesystem_error& error) {
        throw UpdateError(
            UpdateError::Kind::file, std::string("The update could not be saved: ") + error.what());
    }
    return file;
}

}
