// Arbitrary client bytes must never crash the frame parser or the message reader, the messages and
// the close code they find must not depend on how the bytes were split into reads, the buffer must
// stay within one frame's limit and be empty once a violation is found, and every frame read must
// encode back into the same frame.
//
// Input: byte 0 picks the read size, byte 1 the limits and whether masks are required; the rest is
// what the client sent.
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Terminal/WebSocketFrame.h"
#include "VellumarMacCore/Terminal/WebSocketFrameParser.h"
#include "VellumarMacCore/Terminal/WebSocketMessageReader.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace vellumar;

namespace {

constexpr std::int64_t kLimits[] = { 0, 16, 125, 4096 };
// The longest header: 2 bytes, a 64-bit length and a masking key.
constexpr std::size_t kMaxHeader = 14;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkEncodingRoundTrip(const WebSocketFrame& frame)
{
    WebSocketFrameParser parser(kLimits[3], WebSocketFrameParser::Masking::optional);
    parser.append(frame.encoded());
    check(parser.next() == frame && parser.bufferedBytes() == 0);
}

template <typename Step> std::optional<std::uint16_t> closeCodeOf(Step step)
{
    try {
        step();
    } catch (const WebSocketError& error) {
        return error.closeCode();
    }
    return std::nullopt;
}

struct Outcome {
    std::vector<WebSocketMessageReader::Message> messages;
    std::optional<std::uint16_t> closeCode;
    bool operator==(const Outcome&) const = default;
};

Outcome read(std::string_view bytes, std::size_t readSize, std::uint8_t selector)
{
    auto maxPayload = kLimits[selector % 4];
    auto masking
        = selector & 0x80 ? WebSocketFrameParser::Masking::optional : WebSocketFrameParser::Masking::required;
    WebSocketFrameParser parser(maxPayload, masking);
    WebSocketMessageReader reader(kLimits[(selector / 4) % 4]);
    Outcome outcome;
    for (std::size_t start = 0; start < bytes.size(); start += readSize) {
        parser.append(bytes.substr(start, readSize));
        check(parser.bufferedBytes() <= kMaxHeader + static_cast<std::size_t>(maxPayload) + readSize);
        bool inReader = false;
        try {
            while (auto frame = parser.next()) {
                checkEncodingRoundTrip(*frame);
                inReader = true;
                auto message = reader.accept(std::move(*frame));
                inReader = false;
                if (message)
                    outcome.messages.push_back(std::move(*message));
            }
        } catch (const WebSocketError& error) {
            outcome.closeCode = error.closeCode();
            // Whichever failed stays failed with the same code; the parser takes no more input.
            if (inReader) {
                check(closeCodeOf([&] {
                    reader.accept({ true, WebSocketOpcode::ping, "" });
                }) == error.closeCode());
            } else {
                parser.append(bytes.substr(start));
                check(parser.bufferedBytes() == 0);
                check(closeCodeOf([&] { parser.next(); }) == error.closeCode());
            }
            return outcome;
        }
    }
    return outcome;
}

// Whatever reason is asked for, the close frame stays a valid control frame that reads back.
void checkCloseFrame(std::uint16_t code, std::string_view reason)
{
    auto frame = WebSocketFrame::close(code, reason);
    check(frame.payload.size() <= WebSocketFrame::kMaxControlPayload);
    check(detail::isValidUTF8(std::string_view(frame.payload).substr(2)));
    check(std::string_view(reason).starts_with(std::string_view(frame.payload).substr(2)));
    checkEncodingRoundTrip(frame);
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    std::size_t readSize = data[0] % 17 + 1;
    std::uint8_t selector = data[1];
    std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);

    check(read(bytes, bytes.size() + 1, selector) == read(bytes, readSize, selector));
    checkCloseFrame(static_cast<std::uint16_t>(data[0] << 8 | data[1]), bytes);
    return 0;
}
