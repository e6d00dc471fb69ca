#include "VellumarMacCore/Relay/HTTPConnection.h"

#include "VellumarMacCore/ConversationData/ReadableFile.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <algorithm>
#include <filesystem>
#include <variant>

namespace vellumar {

namespace {

    // Carries a response from a worker back to the queue. A 101 that is never written (its connection
    // went away meanwhile, or the queue stopped first) still has its cancel action called, so the
    // terminal session it reserved is freed.
    class PendingResponse {
    public:
        explicit PendingResponse(HTTPResponse response)
            : m_response(std::move(response))
        {
        }
        ~PendingResponse()
        {
            if (m_response && m_response->upgrade() && m_response->upgrade()->cancel)
                m_response->upgrade()->cancel();
        }
        PendingResponse(const PendingResponse&) = delete;
        PendingResponse& operator=(const PendingResponse&) = delete;

        HTTPResponse take()
        {
            HTTPResponse response = std::move(*m_response);
            m_response.reset();
            return response;
        }

    private:
        std::optional<HTTPResponse> m_response;
    };

    void cancelUpgrade(const WebSocketUpgrade& upgrade)
    {
        if (upgrade.cancel)
            upgrade.cancel();
    }

    HTTPResponse served(const RequestHandler& handler, HTTPRequest request)
    {
        try {
            return handler(std::move(request));
        } catch (const RelayHTTPError& error) {
            return HTTPResponse(error);
        } catch (...) {
            return HTTPResponse(RelayHTTPError(500, "internal", "Something went wrong on the Mac."));
        }
    }

}

struct HTTPConnection::Download {
    ReadableFile file;
    std::int64_t remaining;
    bool keep;
    // One buffer for the whole file, refilled only after its previous send completed: the memory a
    // download holds stays flat however large the file.
    std::shared_ptr<std::string> chunk = std::make_shared<std::string>();
};

HTTPConnection::HTTPConnection(std::shared_ptr<platform::NetConnection> connection,
    std::shared_ptr<platform::NetQueue> queue, std::shared_ptr<const Services> services, OnClose onClose,
    HTTPRequestParser::Policy policy, std::optional<std::string> host)
    : m_connection(std::move(connection))
    , m_queue(std::move(queue))
    , m_services(std::move(services))
    , m_onClose(std::move(onClose))
    , m_parser(kMaxHeadBytes, kMaxInMemoryBodyBytes, std::move(policy))
    , m_timer(*m_queue)
    , m_host(std::move(host))
{
}

HTTPConnection::~HTTPConnection() = default;

void HTTPConnection::open()
{
    armTimer(m_services->limits.requestTimeout);
    m_connection->start([weak = weak_from_this()](platform::NetConnection::State state) {
        auto self = weak.lock();
        if (!self)
            return;
        if (state == platform::NetConnection::State::ready)
            self->receive();
        else
            self->close();
    });
}

void HTTPConnection::close()
{
    if (m_closed)
        return;
    m_closed = true;
    // The listener drops its reference in `m_onClose`; finish this call first.
    auto keepAlive = shared_from_this();
    m_timer.cancel();
    m_parser.discardSpool();
    m_connection->cancel();
    if (m_webSocket && m_webSocket->cancel)
        m_webSocket->cancel();
    m_onClose(*this);
}

void HTTPConnection::receive()
{
    if (m_closed || m_busy || m_webSocket)
        return;
    auto outcome = m_parser.feed();
    if (auto* request = std::get_if<HTTPRequest>(&outcome))
        return handle(std::move(*request));
    if (auto* failure = std::get_if<RelayHTTPError>(&outcome)) {
        m_busy = true;
        return respond(HTTPResponse(*failure), false, Body::send);
    }
    if (m_parser.hasPendingInput()) {
        if (!m_requestTimerArmed) {
            m_requestTimerArmed = true;
            armTimer(m_services->limits.requestTimeout);
        }
    } else {
        m_requestTimerArmed = false;
        armTimer(m_trusted ? m_services->limits.idleTimeout : m_services->limits.requestTimeout);
    }
    if (m_receiving || m_closed)
        return;
    m_receiving = true;
    m_connection->receive(kMaxReadBytes,
        [weak = weak_from_this()](std::string_view content, bool isComplete, std::error_code error) {
            if (auto self = weak.lock())
                self->didReceive(content, isComplete, error);
        });
}

void HTTPConnection::didReceive(std::string_view content, bool isComplete, std::error_code error)
{
    m_receiving = false;
    if (!content.empty())
        m_parser.append(content);
    if (m_parser.isSpooling())
        armTimer(m_services->limits.requestTimeout);
    if (error || isComplete)
        return close();
    receive();
}

HTTPConnection::Answer HTTPConnection::answer(const RequestHandler& respond, HTTPRequest request)
{
    bool keepAlive = request.keepAlive();
    // RFC 9110 §9.3.2: the answer to HEAD is the head GET would get, without its content.
    auto body = request.method() == "HEAD" ? Body::omit : Body::send;
    auto bodyFile = request.bodyFile();
    auto response = served(respond, std::move(request));
    // A handler that keeps an upload has moved it away by now.
    if (bodyFile) {
        std::error_code ignored;
        std::filesystem::remove(*bodyFile, ignored);
    }
    return { std::move(response), keepAlive, body };
}

void HTTPConnection::handle(HTTPRequest request)
{
    m_busy = true;
    m_requestTimerArmed = false;
    m_timer.cancel();
    // Handing a request to a worker and its response back costs two thread wake-ups, more than a
    // request that waits on nothing costs itself.
    if (auto atOnce = m_services->answerAtOnce ? m_services->answerAtOnce(request) : std::nullopt) {
        auto answered = answer([&](HTTPRequest) { return std::move(*atOnce); }, std::move(request));
        return respond(std::move(answered.response), answered.keepAlive, answered.body);
    }
    m_services->workers->submit([weak = weak_from_this(), queue = m_queue, services = m_services,
                                    request = std::move(request)]() mutable {
        auto answered = answer(services->handler, std::move(request));
        auto pending = std::make_shared<PendingResponse>(std::move(answered.response));
        // The connection is looked up on its queue only, so that it is never destroyed here.
        queue->async([weak, pending, keepAlive = answered.keepAlive, body = answered.body] {
            if (auto self = weak.lock())
                self->respond(pending->take(), keepAlive, body);
        });
    });
}

void HTTPConnection::respond(HTTPResponse response, bool keepAlive, Body body)
{
    if (response.status() <= 399)
        m_trusted = true;
    if (m_closed) {
        if (response.upgrade())
            cancelUpgrade(*response.upgrade());
        return;
    }
    if (response.upgrade())
        return upgradeToWebSocket(response);
    bool keep = keepAlive && response.status() != 401;
    m_ending = !keep && (!response.file() || body == Body::omit);
    auto finish = [weak = weak_from_this(), keep](std::error_code error) {
        if (auto self = weak.lock())
            self->finishResponse(error, keep);
    };
    if (!response.file()) {
        auto bytes = body == Body::send ? response.serialized(keep) : response.head(keep);
        return m_connection->send(std::make_shared<const std::string>(std::move(bytes)), finish);
    }

    // The name was checked by the router, but it may have been swapped since for a link or a FIFO: such
    // a file is refused, never followed and never waited on.
    auto file = ReadableFile::open(response.file()->location);
    if (!file)
        return respond(
            HTTPResponse(RelayHTTPError(404, "not_found", "The file was not found.")), keepAlive, body);
    if (body == Body::omit)
        return m_connection->send(std::make_shared<const std::string>(response.head(keep)), finish);
    auto download = std::make_shared<Download>(Download { std::move(*file), response.file()->size, keep });
    m_timer.cancel();
    m_connection->send(std::make_shared<const std::string>(response.head(keep)), afterSending(download));
}

platform::NetConnection::SendCompletion HTTPConnection::afterSending(std::shared_ptr<Download> download)
{
    return [weak = weak_from_this(), download](std::error_code error) {
        auto self = weak.lock();
        if (!self)
            return;
        if (error)
            return self->close();
        self->sendNextChunk(download);
    };
}

void HTTPConnection::sendNextChunk(std::shared_ptr<Download> download)
{
    if (m_closed)
        return;
    if (download->remaining <= 0)
        return finishResponse({}, download->keep);
    auto& chunk = *download->chunk;
    chunk.resize(static_cast<std::size_t>(std::min(download->remaining, kMaxChunkBytes)));
    auto count = download->file.read(chunk);
    // A file shorter than announced cannot be finished: the peer sees the body cut off.
    if (!count || *count == 0)
        return close();
    chunk.resize(*count);
    download->remaining -= static_cast<std::int64_t>(*count);
    m_ending = !download->keep && download->remaining <= 0;
    m_connection->send(download->chunk, afterSending(download));
}

void HTTPConnection::finishResponse(std::error_code error, bool keep)
{
    m_busy = false;
    if (!error && keep)
        return receive();
    if (!error)
        m_connection->finish(kLinger);
    close();
}

void HTTPConnection::upgradeToWebSocket(const HTTPResponse& response)
{
    m_connection->send(std::make_shared<const std::string>(response.head(true)),
        [weak = weak_from_this(), upgrade = *response.upgrade()](std::error_code error) {
            auto self = weak.lock();
            if (!self || self->m_closed || error || !self->m_services->webSocket) {
                cancelUpgrade(upgrade);
                if (self)
                    self->close();
                return;
            }
            // The WebSocket may finish on a thread of its own; the connection is only touched here. The
            // queue is held weakly: were this the last hold on it, the queue's end would run on its own
            // thread and join it.
            auto onFinish = [weak, queue = std::weak_ptr(self->m_queue)] {
                if (auto running = queue.lock())
                    running->async([weak] {
                        if (auto connection = weak.lock())
                            connection->close();
                    });
            };
            self->m_webSocket = self->m_services->webSocket(
                self->m_queue, self->m_connection, self->m_parser.takeBuffer(), std::move(onFinish));
            if (upgrade.open)
                upgrade.open(self->m_webSocket->webSocket);
        });
}

void HTTPConnection::armTimer(std::chrono::duration<double> after)
{
    m_timer.schedule(after, [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->close();
    });
}

}
