// Arbitrary bytes must never crash the parser, and the requests it finds must not depend on how the
// bytes were split into reads. Spooled bodies go to a private folder that must be empty afterwards.
//
// Input: byte 0 picks the read size, byte 1 the body policy; the rest is what the client sent.
#include "VellumarMacCore/Foundations/HTTPRequestParser.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

using namespace vellumar;

namespace {

constexpr std::int64_t kMaxHeaderBytes = 512;
constexpr std::int64_t kMaxBodyBytes = 128;

// Made once per process and removed at exit.
class TemporaryRoot {
public:
    TemporaryRoot()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vellumar-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        m_root = pattern;
    }
    ~TemporaryRoot()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
    std::filesystem::path incoming() const { return m_root / "incoming"; }

private:
    std::filesystem::path m_root;
};

const std::filesystem::path& spoolFolder()
{
    static const TemporaryRoot root;
    static const std::filesystem::path folder = root.incoming();
    return folder;
}

HTTPRequestParser::Policy policyFor(std::uint8_t selector)
{
    switch (selector % 4) {
    case 0:
        return {};
    case 1:
        return [](const RequestHead& head) {
            return head.method == "POST" ? BodyPolicy::spool(256, spoolFolder())
                                         : BodyPolicy::memory(kMaxBodyBytes);
        };
    case 2:
        return [](const RequestHead& head) {
            return head.path() == "/x" ? BodyPolicy::reject(RelayHTTPError::unauthorized)
                                       : BodyPolicy::memory(64);
        };
    default:
        return [](const RequestHead&) { return BodyPolicy::spool(1024, spoolFolder()); };
    }
}

std::string describe(const HTTPRequestParser::Outcome& outcome)
{
    if (auto* error = std::get_if<RelayHTTPError>(&outcome))
        return "failure " + std::to_string(error->status()) + error->code() + error->message();
    const auto& request = std::get<HTTPRequest>(outcome);
    std::string line = request.method() + " " + request.path() + (request.keepAlive() ? " keep" : " close");
    for (const auto& [name, value] : request.headers())
        line += "\n" + name + ":" + value;
    line += "\nbody:" + request.body();
    if (request.bodyFile()) {
        if (!request.body().empty())
            std::abort();
        std::ifstream stream(*request.bodyFile(), std::ios::binary);
        line += "\nfile:" + std::string(std::istreambuf_iterator<char>(stream), {});
        std::filesystem::remove(*request.bodyFile());
    }
    return line;
}

std::vector<std::string> parse(std::string_view bytes, std::size_t readSize, std::uint8_t selector)
{
    HTTPRequestParser parser(kMaxHeaderBytes, kMaxBodyBytes, policyFor(selector));
    std::vector<std::string> seen;
    for (std::size_t start = 0; start < bytes.size() || start == 0; start += readSize) {
        parser.append(bytes.substr(start, readSize));
        while (true) {
            auto outcome = parser.feed();
            if (std::holds_alternative<HTTPRequestParser::NeedMore>(outcome))
                break;
            seen.push_back(describe(outcome));
            if (std::holds_alternative<RelayHTTPError>(outcome)) {
                if (parser.hasPendingInput() || parser.isSpooling())
                    std::abort();
                return seen;
            }
        }
        if (parser.isSpooling() && !parser.hasPendingInput())
            std::abort();
    }
    return seen;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::size_t readSize = data[0] % 17 + 1;
    std::uint8_t selector = data[1];
    std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    auto whole = parse(bytes, bytes.size() + 1, selector);
    auto chunked = parse(bytes, readSize, selector);
    if (whole != chunked)
        std::abort();
    std::error_code ignored;
    if (!std::filesystem::is_empty(spoolFolder(), ignored) && std::filesystem::exists(spoolFolder()))
        std::abort();
    return 0;
}
