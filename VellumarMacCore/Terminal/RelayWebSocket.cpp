#include "VellumarMacCore/Terminal/RelayWebSocket.h"

#include "Platform/Net.h"

#include <set>
#include <utility>

namespace vellumar {

namespace {

    // A relay connection seen as the byte stream of a WebSocket.
    class NetWebSocketTransport final : public WebSocketTransport,
                                        public std::enable_shared_from_this<NetWebSocketTransport> {
    public:
        NetWebSocketTransport(
            std::shared_ptr<platform::NetQueue> queue, std::shared_ptr<platform::NetConnection> connection)
            : m_queue(std::move(queue))
            , m_connection(std::move(connection))
        {
        }

        // The last owner may let go on any thread; the timers and the socket belong to the queue. Once
        // the queue has stopped they go at once, with no thread left to race.
        ~NetWebSocketTransport() override
        {
            m_queue->async([connection = std::move(m_connection), timers = std::move(m_timers)] {});
        }

        void receive(std::size_t maximumBytes, ReceiveCompletion completion) override
        {
            m_connection->receive(maximumBytes, std::move(completion));
        }

        void send(std::shared_ptr<const std::string> bytes, SendCompletion completion) override
        {
            m_connection->send(std::move(bytes), std::move(completion));
        }

        void cancel() override
        {
            m_timers.clear();
            m_connection->cancel();
        }

        void async(std::function<void()> work) override { m_queue->async(std::move(work)); }

        // A timer of its own for each schedule: a NetTimer scheduled again would drop the pending
        // keep-alive when the close wait starts.
        void schedule(std::chrono::milliseconds after, std::function<void()> fired) override
        {
            auto timer = std::make_shared<platform::NetTimer>(*m_queue);
            m_timers.insert(timer);
            timer->schedule(after, [weak = weak_from_this(), key = timer.get(), fired = std::move(fired)] {
                if (auto self = weak.lock())
                    std::erase_if(self->m_timers, [key](const auto& held) { return held.get() == key; });
                fired();
            });
        }

    private:
        std::shared_ptr<platform::NetQueue> m_queue;
        std::shared_ptr<platform::NetConnection> m_connection;
        std::set<std::shared_ptr<platform::NetTimer>> m_timers;
    };

}

WebSocketFactory relayWebSocketFactory(WebSocketConnection::Intervals intervals)
{
    return [intervals](std::shared_ptr<platform::NetQueue> queue,
               std::shared_ptr<platform::NetConnection> connection, std::string alreadyReceived,
               std::function<void()> onFinish) {
        auto webSocket = WebSocketConnection::make(
            std::make_shared<NetWebSocketTransport>(std::move(queue), std::move(connection)),
            std::move(alreadyReceived), std::move(onFinish), intervals);
        return WebSocketHandOff { webSocket, [weak = std::weak_ptr(webSocket)] {
                                     if (auto live = weak.lock())
                                         live->cancel();
                                 } };
    };
}

}
