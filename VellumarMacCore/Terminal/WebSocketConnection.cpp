#include "VellumarMacCore/Terminal/WebSocketConnection.h"

#include <utility>

namespace vellumar {

namespace {

    constexpr std::int64_t kMaxPayload = 1'048'576;
    constexpr std::size_t kMaxRead = 65'536;
    // A peer that sends faster than it reads would fill memory with the answers waiting for it: above
    // this many unsent bytes nothing more is read, so its pings wait in the network instead.
    constexpr std::int64_t kPauseReadingAboveBytes = 4 << 20;
    // Reading resumes once the backlog has fallen well below the pause, not at every frame sent.
    constexpr std::int64_t kResumeReadingBelowBytes = 2 << 20;

}

std::shared_ptr<WebSocketConnection> WebSocketConnection::make(std::shared_ptr<WebSocketTransport> transport,
    std::string buffered, std::function<void()> onFinish, Intervals intervals)
{
    return std::shared_ptr<WebSocketConnection>(
        new WebSocketConnection(std::move(transport), std::move(buffered), std::move(onFinish), intervals));
}

WebSocketConnection::WebSocketConnection(std::shared_ptr<WebSocketTransport> transport, std::string buffered,
    std::function<void()> onFinish, Intervals intervals)
    : m_transport(std::move(transport))
    , m_intervals(intervals)
    , m_parser(kMaxPayload, WebSocketFrameParser::Masking::required)
    , m_reader(kMaxPayload)
    , m_buffered(std::move(buffered))
    , m_lastHeard(std::chrono::steady_clock::now())
    , m_onFinish(std::move(onFinish))
{
}

void WebSocketConnection::start(Handler handler)
{
    m_transport->async([self = shared_from_this(), handler = std::move(handler)]() mutable {
        self->startOnQueue(std::move(handler));
    });
}

void WebSocketConnection::sendText(std::string text)
{
    m_transport->async([self = shared_from_this(), text = std::move(text)]() mutable {
        self->sendMessage(WebSocketOpcode::text, std::move(text), {});
    });
}

void WebSocketConnection::sendBinary(std::string bytes, std::function<void()> completion)
{
    m_transport->async(
        [self = shared_from_this(), bytes = std::move(bytes), completion = std::move(completion)]() mutable {
            self->sendMessage(WebSocketOpcode::binary, std::move(bytes), std::move(completion));
        });
}

void WebSocketConnection::close(std::uint16_t code, std::string reason)
{
    m_transport->async(
        [self = shared_from_this(), code, reason = std::move(reason)] { self->closeOnQueue(code, reason); });
}

void WebSocketConnection::cancel()
{
    if (m_finished)
        return;
    m_finished = true;
    // Pending keep-alive and close timers find the connection finished and do nothing.
    m_transport->cancel();
    if (auto handler = std::exchange(m_handler, {}))
        handler(Closed {});
    if (auto onFinish = std::exchange(m_onFinish, {}))
        onFinish();
}

std::int64_t WebSocketConnection::unsentBytes() const
{
    std::lock_guard guard(m_lock);
    return m_unsent;
}

void WebSocketConnection::startOnQueue(Handler handler)
{
    if (std::exchange(m_started, true))
        return;
    if (m_finished) {
        if (handler)
            handler(Closed {});
        return;
    }
    m_handler = std::move(handler);
    m_lastHeard = std::chrono::steady_clock::now();
    scheduleKeepAlive();
    if (!m_buffered.empty()) {
        m_parser.append(std::exchange(m_buffered, {}));
        processFrames();
    }
    readMore();
}

void WebSocketConnection::readMore()
{
    if (m_finished || m_readingStopped)
        return;
    if (unsentBytes() > kPauseReadingAboveBytes) {
        m_readingPaused = true;
        return;
    }
    receive();
}

void WebSocketConnection::resumeReadingIfDrained()
{
    if (m_readingPaused && unsentBytes() < kResumeReadingBelowBytes) {
        m_readingPaused = false;
        readMore();
    }
}

void WebSocketConnection::receive()
{
    m_transport->receive(kMaxRead,
        [weak = weak_from_this()](std::string_view content, bool isComplete, std::error_code error) {
            auto self = weak.lock();
            if (!self || self->m_finished)
                return;
            if (!content.empty()) {
                self->m_lastHeard = std::chrono::steady_clock::now();
                self->m_parser.append(content);
                self->processFrames();
            }
            if (self->m_finished)
                return;
            if (isComplete || error)
                self->cancel();
            else
                self->readMore();
        });
}

void WebSocketConnection::processFrames()
{
    while (!m_finished) {
        std::optional<WebSocketMessageReader::Message> message;
        try {
            auto frame = m_parser.next();
            if (!frame)
                return;
            message = m_reader.accept(std::move(*frame));
        } catch (const WebSocketError& error) {
            m_readingStopped = true;
            closeOnQueue(error.closeCode(), "");
            return;
        } catch (...) {
            m_readingStopped = true;
            closeOnQueue(WebSocketCloseCode::protocolError, "");
            return;
        }
        if (!message)
            continue;
        if (auto* text = std::get_if<WebSocketMessageReader::Text>(&*message)) {
            deliver(std::move(*text));
        } else if (auto* binary = std::get_if<WebSocketMessageReader::Binary>(&*message)) {
            deliver(std::move(*binary));
        } else if (auto* ping = std::get_if<WebSocketMessageReader::Ping>(&*message)) {
            if (!m_closing)
                sendFrame({ true, WebSocketOpcode::pong, std::move(ping->bytes) }, Counted::yes, {});
        } else if (auto* close = std::get_if<WebSocketMessageReader::Close>(&*message)) {
            if (m_closing) {
                cancel(); // the answer to our own close frame
                return;
            }
            m_closing = true;
            sendFrame(WebSocketFrame::close(close->code.value_or(WebSocketCloseCode::normal), ""),
                Counted::no, [weak = weak_from_this()] {
                    if (auto self = weak.lock())
                        self->cancel();
                });
            return;
        }
        // A pong needs nothing more: receiving it has refreshed m_lastHeard.
    }
}

void WebSocketConnection::deliver(Event event)
{
    if (m_closing || !m_handler)
        return;
    // A copy: a handler that cancels the connection clears m_handler while it runs.
    auto handler = m_handler;
    handler(std::move(event));
}

void WebSocketConnection::closeOnQueue(std::uint16_t code, std::string_view reason)
{
    if (m_finished || m_closing)
        return;
    m_closing = true;
    sendFrame(WebSocketFrame::close(code, reason), Counted::yes, {});
    m_transport->schedule(m_intervals.closeTimeout, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->cancel();
    });
}

void WebSocketConnection::sendMessage(
    WebSocketOpcode opcode, std::string payload, std::function<void()> completion)
{
    if (m_finished || m_closing) {
        if (completion)
            completion();
        return;
    }
    sendFrame({ true, opcode, std::move(payload) }, Counted::yes, std::move(completion));
}

void WebSocketConnection::sendFrame(
    const WebSocketFrame& frame, Counted counted, std::function<void()> completion)
{
    auto bytes = std::make_shared<const std::string>(frame.encoded());
    const std::int64_t size = counted == Counted::yes ? static_cast<std::int64_t>(bytes->size()) : 0;
    {
        std::lock_guard guard(m_lock);
        m_unsent += size;
    }
    m_transport->send(
        bytes, [weak = weak_from_this(), size, completion = std::move(completion)](std::error_code error) {
            auto self = weak.lock();
            if (self) {
                std::lock_guard guard(self->m_lock);
                self->m_unsent -= size;
            }
            if (completion)
                completion();
            if (!self)
                return;
            if (error)
                self->cancel();
            else
                self->resumeReadingIfDrained();
        });
}

void WebSocketConnection::scheduleKeepAlive()
{
    m_transport->schedule(m_intervals.pingInterval, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (self && !self->m_finished)
            self->keepAlive();
    });
}

void WebSocketConnection::keepAlive()
{
    if (std::chrono::steady_clock::now() - m_lastHeard > m_intervals.idleTimeout) {
        cancel();
        return;
    }
    if (!m_closing)
        sendFrame({ true, WebSocketOpcode::ping, "" }, Counted::yes, {});
    scheduleKeepAlive();
}

}
