#include "VellumarMacCore/Foundations/HTTPRequestParser.h"

#include "VellumarMacCore/Foundations/HTTPDetail.h"
#include "VellumarMacCore/Foundations/UnicodeScalars.h"
#include "VellumarMacCore/Foundations/PrivateFiles.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace vellumar {

namespace {

    constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
    constexpr std::string_view kLineBreak = "\r\n";
    constexpr int kMaxBlankLines = 3;
    constexpr std::size_t kMaxContentLengthDigits = 12;
    constexpr std::array<std::string_view, 7> kMethods
        = { "GET", "POST", "PUT", "DELETE", "HEAD", "OPTIONS", "PATCH" };

    RelayHTTPError tooManyBlankLines() { return RelayHTTPError::badRequest("Too many blank lines."); }
    RelayHTTPError headersTooLarge() { return { 431, "too_large", "The request headers are too large." }; }
    RelayHTTPError headersNotValid()
    {
        return RelayHTTPError::badRequest("The request headers are not valid.");
    }
    RelayHTTPError requestLineNotValid()
    {
        return RelayHTTPError::badRequest("The request line is not valid.");
    }
    RelayHTTPError versionNotSupported() { return { 505, "bad_request", "Only HTTP/1.1 is supported." }; }
    RelayHTTPError headerNotValid() { return RelayHTTPError::badRequest("A request header is not valid."); }
    RelayHTTPError lengthRequired()
    {
        return { 411, "length_required", "Send the body with Content-Length." };
    }
    RelayHTTPError contentLengthNotValid()
    {
        return RelayHTTPError::badRequest("Content-Length is not valid.");
    }
    RelayHTTPError requestTooLarge() { return { 413, "too_large", "The request is too large." }; }
    RelayHTTPError fileTooLarge() { return { 413, "too_large", "The file is too large." }; }
    RelayHTTPError cannotStore()
    {
        return { 507, "insufficient_storage", "The Mac could not store the file." };
    }

    struct ParsedHead {
        RequestHead head;
        std::int64_t bodyLength;
        bool keepAlive;
    };

    template <typename Visitor>
    void forEachPiece(std::string_view text, std::string_view separator, Visitor&& visit)
    {
        while (true) {
            auto end = text.find(separator);
            visit(text.substr(0, end));
            if (end == std::string_view::npos)
                return;
            text.remove_prefix(end + separator.size());
        }
    }

    std::optional<std::int64_t> contentLength(const HTTPHeaders& headers, bool& present)
    {
        std::set<std::string_view> distinct;
        for (const auto& [name, value] : headers) {
            if (name == "content-length")
                distinct.insert(value);
        }
        present = !distinct.empty();
        if (!present)
            return 0;
        if (distinct.size() != 1)
            return std::nullopt;
        auto text = *distinct.begin();
        if (text.empty() || text.size() > kMaxContentLengthDigits
            || !std::all_of(
                text.begin(), text.end(), [](char digit) { return digit >= '0' && digit <= '9'; }))
            return std::nullopt;
        std::int64_t length = 0;
        std::from_chars(text.data(), text.data() + text.size(), length);
        return length;
    }

    bool keepsAlive(const HTTPHeaders& headers, std::string_view version)
    {
        auto connection = headerView("connection", headers);
        auto hasToken = [&](std::string_view token) {
            bool found = false;
            if (connection) {
                forEachPiece(*connection, ",", [&](std::string_view piece) {
                    found = found
                        || detail::equalsIgnoringASCIICase(detail::trimmedSpacesAndTabs(piece), token);
                });
            }
            return found;
        };
        if (version == "HTTP/1.1")
            return !hasToken("close");
        return hasToken("keep-alive");
    }

    // Tabs and bytes beyond ASCII (obs-text) may stand in a field value; no other control may: a bare
    // CR or LF would start a new line wherever the value is written out again, in a log say.
    bool hasControlOtherThanTab(std::string_view value) noexcept
    {
        return std::any_of(value.begin(), value.end(), [](char character) {
            auto byte = static_cast<unsigned char>(character);
            return (byte < 0x20 && byte != '\t') || byte == 0x7F;
        });
    }

    // RFC 9112 §2 and §3, narrowed: the head must already be known to fit within the header limit.
    std::variant<ParsedHead, RelayHTTPError> parseHeaderBlock(std::string_view block)
    {
        if (!detail::isValidUTF8(block))
            return headersNotValid();
        auto requestLineEnd = block.find(kLineBreak);
        auto requestLine = block.substr(0, requestLineEnd);

        // Exactly three pieces: two spaces, found without collecting the pieces.
        auto methodEnd = requestLine.find(' ');
        auto targetEnd
            = methodEnd == std::string_view::npos ? methodEnd : requestLine.find(' ', methodEnd + 1);
        if (targetEnd == std::string_view::npos
            || requestLine.find(' ', targetEnd + 1) != std::string_view::npos)
            return requestLineNotValid();
        auto method = requestLine.substr(0, methodEnd);
        auto target = requestLine.substr(methodEnd + 1, targetEnd - methodEnd - 1);
        auto version = requestLine.substr(targetEnd + 1);
        if (std::find(kMethods.begin(), kMethods.end(), method) == kMethods.end() || !target.starts_with('/')
            || hasNonVisibleASCII(target))
            return requestLineNotValid();
        if (version != "HTTP/1.1" && version != "HTTP/1.0")
            return versionNotSupported();

        HTTPHeaders headers;
        bool headersValid = true;
        if (requestLineEnd != std::string_view::npos) {
            headers.reserve(static_cast<std::size_t>(std::count(block.begin(), block.end(), '\n')));
            forEachPiece(
                block.substr(requestLineEnd + kLineBreak.size()), kLineBreak, [&](std::string_view line) {
                    auto colon = line.find(':');
                    if (colon == std::string_view::npos || colon == 0 || detail::isSpaceOrTab(line.front())
                        || hasNonVisibleASCII(line.substr(0, colon))
                        || hasControlOtherThanTab(line.substr(colon + 1))) {
                        headersValid = false;
                        return;
                    }
                    headers.emplace_back(detail::asciiLowercased(line.substr(0, colon)),
                        std::string(detail::trimmedSpacesAndTabs(line.substr(colon + 1))));
                });
        }
        if (!headersValid)
            return headerNotValid();

        if (headerView("transfer-encoding", headers))
            return lengthRequired();
        bool lengthGiven = false;
        auto bodyLength = contentLength(headers, lengthGiven);
        if (!bodyLength)
            return contentLengthNotValid();
        if (!lengthGiven && (method == "POST" || method == "PUT" || method == "PATCH"))
            return lengthRequired();

        bool keepAlive = keepsAlive(headers, version);
        return ParsedHead { RequestHead { std::string(method), std::string(target), std::move(headers) },
            *bodyLength, keepAlive };
    }

    // Writes all of `bytes`, retrying after signals. False on any failure, a zero-byte write included.
    bool writeAll(int fd, std::string_view bytes)
    {
        while (!bytes.empty()) {
            auto written = ::write(fd, bytes.data(), bytes.size());
            if (written > 0) {
                bytes.remove_prefix(static_cast<std::size_t>(written));
            } else if (written < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    // A close that reports EIO may have lost written bytes; Linux frees the descriptor even on EINTR.
    bool closeFlushed(int fd) { return ::close(fd) == 0 || errno == EINTR; }

}

std::string_view RequestHead::path() const { return std::string_view(target).substr(0, target.find('?')); }

bool hasNonVisibleASCII(std::string_view text) noexcept
{
    return std::any_of(
        text.begin(), text.end(), [](char character) { return character < '!' || character > '~'; });
}

HTTPRequestParser::HTTPRequestParser(std::int64_t maxHeaderBytes, std::int64_t maxBodyBytes, Policy policy)
    : m_maxHeaderBytes(maxHeaderBytes)
    , m_maxBodyBytes(maxBodyBytes)
    , m_policy(std::move(policy))
{
}

HTTPRequestParser::~HTTPRequestParser() { discardSpool(); }

void HTTPRequestParser::append(std::string_view bytes)
{
    if (m_failure)
        return;
    if (m_consumed > 0 && m_consumed >= m_buffer.size() / 2) {
        m_buffer.erase(0, m_consumed);
        m_consumed = 0;
    }
    m_buffer.append(bytes);
}

HTTPRequestParser::Outcome HTTPRequestParser::feed()
{
    if (m_failure)
        return *m_failure;
    auto outcome = parse();
    if (auto* error = std::get_if<RelayHTTPError>(&outcome)) {
        m_failure = *error;
        m_buffer.clear();
        m_consumed = 0;
    }
    return outcome;
}

bool HTTPRequestParser::hasPendingInput() const noexcept
{
    return !unconsumed().empty() || m_spool || m_awaitedBody;
}

std::string HTTPRequestParser::takeBuffer()
{
    std::string bytes(unconsumed());
    m_buffer.clear();
    m_consumed = 0;
    m_scannedBytes = 0;
    return bytes;
}

void HTTPRequestParser::discardSpool() noexcept
{
    if (!m_spool)
        return;
    ::close(m_spool->fd);
    ::unlink(m_spool->file.c_str());
    m_spool.reset();
}

void HTTPRequestParser::consume(std::size_t count) noexcept
{
    m_consumed += count;
    m_scannedBytes = 0;
    if (m_consumed == m_buffer.size()) {
        m_buffer.clear();
        m_consumed = 0;
    }
}

HTTPRequestParser::Outcome HTTPRequestParser::parse()
{
    if (m_spool)
        return spoolStep();
    if (m_awaitedBody)
        return takeAwaitedBody();
    while (unconsumed().starts_with(kLineBreak)) {
        consume(kLineBreak.size());
        if (++m_blankLines >= kMaxBlankLines)
            return tooManyBlankLines();
    }
    return parseHead();
}

// Without a terminator the buffer is refused once no header block within the limit can still be
// completed. Counting a partly received terminator keeps the answer the same however the bytes
// were split, and bounds the buffer at the limit plus three bytes.
bool HTTPRequestParser::headerBlockCannotFit() const noexcept
{
    auto bytes = unconsumed();
    auto limit = static_cast<std::size_t>(std::max<std::int64_t>(m_maxHeaderBytes, 0));
    if (bytes.size() <= limit)
        return false;
    for (auto start = bytes.size() - std::min(bytes.size(), kHeaderTerminator.size() - 1); start <= limit;
         ++start) {
        if (kHeaderTerminator.starts_with(bytes.substr(start)))
            return false;
    }
    return true;
}

HTTPRequestParser::Outcome HTTPRequestParser::parseHead()
{
    auto bytes = unconsumed();
    auto resumeAt = m_scannedBytes >= kHeaderTerminator.size() - 1
        ? m_scannedBytes - (kHeaderTerminator.size() - 1)
        : 0;
    auto terminator = bytes.find(kHeaderTerminator, resumeAt);
    if (terminator == std::string_view::npos) {
        if (headerBlockCannotFit())
            return headersTooLarge();
        m_scannedBytes = bytes.size();
        return NeedMore {};
    }
    m_blankLines = 0;
    if (static_cast<std::int64_t>(terminator) > m_maxHeaderBytes)
        return headersTooLarge();

    auto parsed = parseHeaderBlock(bytes.substr(0, terminator));
    if (auto* error = std::get_if<RelayHTTPError>(&parsed))
        return *error;
    auto& [head, bodyLength, keepAlive] = std::get<ParsedHead>(parsed);
    consume(terminator + kHeaderTerminator.size());

    auto policy = m_policy ? m_policy(head) : BodyPolicy::memory(m_maxBodyBytes);
    if (auto* reject = std::get_if<BodyPolicy::Reject>(&policy.choice))
        return reject->error;
    if (auto* spool = std::get_if<BodyPolicy::Spool>(&policy.choice)) {
        if (bodyLength > spool->limit)
            return fileTooLarge();
        return startSpool(std::move(head), keepAlive, bodyLength, spool->folder);
    }
    if (bodyLength > std::get<BodyPolicy::Memory>(policy.choice).limit)
        return requestTooLarge();
    m_awaitedBody = AwaitedBody { std::move(head), keepAlive, static_cast<std::size_t>(bodyLength) };
    return takeAwaitedBody();
}

HTTPRequestParser::Outcome HTTPRequestParser::takeAwaitedBody()
{
    auto bytes = unconsumed();
    if (bytes.size() < m_awaitedBody->length)
        return NeedMore {};
    auto awaited = std::move(*m_awaitedBody);
    m_awaitedBody.reset();
    HTTPRequest request(std::move(awaited.head.method), awaited.head.target, std::move(awaited.head.headers),
        std::string(bytes.substr(0, awaited.length)), awaited.keepAlive);
    consume(awaited.length);
    return request;
}

HTTPRequestParser::Outcome HTTPRequestParser::startSpool(
    RequestHead head, bool keepAlive, std::int64_t length, const std::filesystem::path& folder)
{
    auto name = ".incoming-" + RelayIDs::randomHex(8);
    // A folder that cannot be made private (a symbolic link planted in its place, say) must not be
    // written through.
    try {
        ensurePrivateDirectory(folder);
    } catch (const std::exception&) {
        return cannotStore();
    }
    int folderFD = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folderFD < 0)
        return cannotStore();
    int fd = ::openat(folderFD, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    ::close(folderFD);
    if (fd < 0)
        return cannotStore();
    m_spool = Spool { std::move(head), keepAlive, length, fd, folder / name };
    return spoolStep();
}

HTTPRequestParser::Outcome HTTPRequestParser::spoolStep()
{
    if (m_spool->remaining > 0) {
        auto bytes = unconsumed();
        if (bytes.empty())
            return NeedMore {};
        auto count = static_cast<std::size_t>(std::min<std::int64_t>(m_spool->remaining, bytes.size()));
        bool written = writeAll(m_spool->fd, bytes.substr(0, count));
        consume(count);
        m_spool->remaining -= static_cast<std::int64_t>(count);
        if (!written) {
            discardSpool();
            return cannotStore();
        }
        if (m_spool->remaining > 0)
            return NeedMore {};
    }
    auto spool = std::move(*m_spool);
    m_spool.reset();
    if (!closeFlushed(spool.fd)) {
        ::unlink(spool.file.c_str());
        return cannotStore();
    }
    HTTPRequest request(
        std::move(spool.head.method), spool.head.target, std::move(spool.head.headers), {}, spool.keepAlive);
    request.setBodyFile(std::move(spool.file));
    return request;
}

}
