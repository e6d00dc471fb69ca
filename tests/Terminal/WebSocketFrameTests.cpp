#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Terminal/WebSocketFrame.h"
#include "VellumarMacCore/Terminal/WebSocketFrameParser.h"
#include "VellumarMacCore/Terminal/WebSocketMessageReader.h"

#include "tests/support/HTTPPeers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace vellumar;

namespace {

using Reader = WebSocketMessageReader;
using Message = Reader::Message;
using Opcode = WebSocketOpcode;
constexpr std::int64_t kLimit = 1'048'576;

std::string clientFrame(Opcode opcode, std::string payload, bool fin = true)
{
    return WebSocketFrame { fin, opcode, std::move(payload) }.encoded(
        WebSocketFrame::MaskingKey { 0x37, 0xFA, 0x21, 0x3D });
}

struct Received {
    std::vector<Message> messages;
    std::optional<std::uint16_t> closeCode;
};

// What a server connection makes of the client's bytes, handed over `chunk` bytes at a time.
Received receive(std::string_view bytes, std::size_t chunk = SIZE_MAX)
{
    WebSocketFrameParser parser(kLimit, WebSocketFrameParser::Masking::required);
    WebSocketMessageReader reader(kLimit);
    Received received;
    try {
        for (std::size_t start = 0; start < bytes.size(); start += chunk) {
            parser.append(bytes.substr(start, chunk));
            while (auto frame = parser.next()) {
                if (auto message = reader.accept(std::move(*frame)))
                    received.messages.push_back(std::move(*message));
            }
        }
    } catch (const WebSocketError& error) {
        received.closeCode = error.closeCode();
    }
    return received;
}

TEST(WebSocketFrameParser, EveryViolationClosesWithItsCode)
{
    const std::string third(kLimit / 3, 'b');
    const std::string overLimitHeader = std::string("\x82\xFF\x00\x00\x00\x00\x00\x10\x00\x01", 10);
    const struct {
        const char* name;
        std::string bytes;
        std::uint16_t closeCode;
    } cases[] = {
        { "unmasked", std::string("\x82\x00", 2), 1002 },
        { "reserved bit of compression", "\xC2\x80", 1002 },
        { "opcode 3", "\x83\x80", 1002 },
        { "opcode 0x0B", "\x8B\x80", 1002 },
        { "ping of 126 bytes", clientFrame(Opcode::ping, std::string(126, 'p')), 1002 },
        { "fragmented ping", clientFrame(Opcode::ping, "", false), 1002 },
        { "64-bit length with its top bit", std::string("\x82\xFF\x80\0\0\0\0\0\0\0", 10), 1002 },
        { "header over the limit, before any payload", overLimitHeader, 1009 },
        { "continuation with no message open", clientFrame(Opcode::continuation, "x"), 1002 },
        { "text inside a fragmented message",
            clientFrame(Opcode::binary, "a", false) + clientFrame(Opcode::text, "b"), 1002 },
        { "text ending inside a character", clientFrame(Opcode::text, "ok\xE2\x9C"), 1007 },
        { "fragments one byte over the limit",
            clientFrame(Opcode::binary, third, false) + clientFrame(Opcode::continuation, third, false)
                + clientFrame(Opcode::continuation, third + "bb"),
            1009 },
        { "close of one byte", clientFrame(Opcode::close, "\x03"), 1002 },
        { "close code 1005", clientFrame(Opcode::close, "\x03\xED"), 1002 },
        { "close code 2999", clientFrame(Opcode::close, "\x0B\xB7"), 1002 },
        { "close code 5000", clientFrame(Opcode::close, "\x13\x88"), 1002 },
        { "close reason not UTF-8", clientFrame(Opcode::close, "\x03\xE8\xC0\xAF"), 1007 },
    };
    for (const auto& [name, bytes, closeCode] : cases) {
        SCOPED_TRACE(name);
        auto received = receive(bytes);
        EXPECT_EQ(received.closeCode, closeCode);
        EXPECT_TRUE(received.messages.empty());
    }
}

TEST(WebSocketFrameParser, AcceptsFramesAndMessagesAtTheLimit)
{
    const std::string third(kLimit / 3, 'b');
    std::string zeroKeyLongForm("\x81\xFE\x00\x02\0\0\0\0hi", 10);
    auto received = receive(clientFrame(Opcode::binary, std::string(kLimit, 'a')) + zeroKeyLongForm
        + clientFrame(Opcode::binary, third, false) + clientFrame(Opcode::ping, "p")
        + clientFrame(Opcode::continuation, third, false) + clientFrame(Opcode::continuation, third + "b")
        + clientFrame(Opcode::close, "\x0F\xA1") + clientFrame(Opcode::close, ""));
    EXPECT_EQ(received.closeCode, std::nullopt);
    EXPECT_EQ(received.messages,
        (std::vector<Message> { Reader::Binary { std::string(kLimit, 'a') }, Reader::Text { "hi" },
            Reader::Ping { "p" }, Reader::Binary { std::string(kLimit, 'b') }, Reader::Close { 4001, "" },
            Reader::Close {} }));
}

TEST(WebSocketFrameParser, OneByteAtATimeYieldsEachFrameOnceWithItsLastByte)
{
    const std::vector<WebSocketFrame> frames
        = { { true, Opcode::text, "h\xC3\xA9llo" }, { false, Opcode::binary, std::string(300, 'm') },
              { true, Opcode::continuation, std::string(70'000, 'x') }, WebSocketFrame::close(1000, "") };
    std::string bytes;
    std::vector<std::size_t> ends;
    for (const auto& frame : frames) {
        bytes += frame.encoded(WebSocketFrame::MaskingKey { 1, 2, 3, 4 });
        ends.push_back(bytes.size());
    }
    WebSocketFrameParser parser(kLimit, WebSocketFrameParser::Masking::required);
    std::vector<WebSocketFrame> parsed;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        parser.append(bytes.substr(index, 1));
        auto frame = parser.next();
        ASSERT_EQ(frame.has_value(), ends[parsed.size()] == index + 1) << "byte " << index;
        if (frame)
            parsed.push_back(std::move(*frame));
        EXPECT_EQ(parser.next(), std::nullopt);
    }
    EXPECT_EQ(parsed, frames);
    EXPECT_EQ(parser.bufferedBytes(), 0u);
}

TEST(WebSocketFrameParser, AfterAViolationInputIsDroppedAndTheErrorRepeats)
{
    WebSocketFrameParser parser(kLimit, WebSocketFrameParser::Masking::required);
    parser.append(clientFrame(Opcode::text, "fine") + std::string("\x82\x05", 2));
    EXPECT_EQ(parser.next()->payload, "fine");
    for (int round = 0; round < 3; ++round) {
        EXPECT_THROW(parser.next(), WebSocketError);
        parser.append(clientFrame(Opcode::binary, std::string(kLimit, 'z')));
        EXPECT_EQ(parser.bufferedBytes(), 0u);
    }

    Reader reader(kLimit);
    EXPECT_EQ(reader.accept({ false, Opcode::text, "a" }), std::nullopt);
    EXPECT_THROW(reader.accept({ true, Opcode::binary, "b" }), WebSocketError);
    EXPECT_THROW(reader.accept({ true, Opcode::continuation, "c" }), WebSocketError) << "fragments dropped";
    EXPECT_THROW(reader.accept({ true, Opcode::ping, "" }), WebSocketError);
}

TEST(WebSocketFrame, CloseReasonIsCutToFitWithoutSplittingACharacter)
{
    std::string reason = "\xC3\xA9";
    for (int index = 0; index < 66; ++index)
        reason += "\xE2\x9C\x93";
    auto frame = WebSocketFrame::close(4000, reason);
    EXPECT_EQ(frame.payload.size(), 124u) << "the 200 bytes cut at 123, then back to a whole character";
    auto close = Reader::closeMessage(frame.payload);
    EXPECT_EQ(close.code, 4000);
    EXPECT_TRUE(detail::isValidUTF8(close.reason));
    EXPECT_EQ(reason.substr(0, close.reason.size()), close.reason);
}

TEST(WebSocketFrame, PythonWebsocketsAndNodeWsReadOurFramesAndWriteFramesWeRead)
{
    auto peers = test::sourceDir() / "tests/peers";
    if (!std::filesystem::exists("/usr/bin/python3") || !std::filesystem::exists(peers / "node_modules/ws"))
        GTEST_SKIP() << "scripts/setup installs python3-websockets and the npm peers";
    const std::string text = "h\xC3\xA9llo \xE2\x9C\x93", big(70'000, '\x9C'), middle(300, 'm');
    const std::string script = "text 1 " + test::hexOf(text) + "\nbinary 0 " + test::hexOf(big)
        + "\nping 1 70\n" + "continuation 1 " + test::hexOf(middle) + "\nclose 4001 " + test::hexOf(text)
        + "\n";
    const std::vector<Message> theirs = { Reader::Text { text }, Reader::Ping { "p" },
        Reader::Binary { big + middle }, Reader::Close { 4001, text } };
    const std::vector<WebSocketFrame> ours
        = { { true, Opcode::text, text }, { true, Opcode::binary, big }, { true, Opcode::binary, middle },
              { true, Opcode::ping, "p" }, WebSocketFrame::close(1001, "Vellumar for Mac stopped.") };
    std::string ourBytes;
    for (const auto& frame : ours)
        ourBytes += frame.encoded();
    const std::string heard = "text " + test::hexOf(text) + "\nbinary " + test::hexOf(big) + "\nbinary "
        + test::hexOf(middle) + "\nping 70\nclose 1001 " + test::hexOf("Vellumar for Mac stopped.") + "\n";
    const std::pair<std::string, std::string> clients[]
        = { { "/usr/bin/python3", "websocket_frames.py" }, { "node", "websocket_frames.mjs" } };
    for (const auto& [program, scriptName] : clients) {
        SCOPED_TRACE(scriptName);
        auto written = test::runPeer({ program, peers / scriptName, "write" }, script);
        ASSERT_EQ(written.exitStatus, 0);
        auto received = receive(written.output);
        EXPECT_EQ(received.closeCode, std::nullopt);
        EXPECT_EQ(received.messages, theirs);
        auto read = test::runPeer({ program, peers / scriptName, "read" }, ourBytes);
        EXPECT_EQ(read.exitStatus, 0);
        EXPECT_EQ(read.output, heard);
    }
}

}
