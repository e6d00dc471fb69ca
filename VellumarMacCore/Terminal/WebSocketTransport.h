// The byte stream a server-side WebSocket runs over once its HTTP connection has answered 101, with
// the serial queue on which all of its completions run.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

namespace vellumar {

class WebSocketTransport {
public:
    // `content` is valid only during the call; `isComplete` means the peer ended the stream.
    using ReceiveCompletion = std::function<void(std::string_view content, bool isComplete, std::error_code)>;
    using SendCompletion = std::function<void(std::error_code)>;

    virtual ~WebSocketTransport() = default;

    // On the queue: reads between 1 and `maximumBytes` bytes; one read is pending at a time.
    virtual void receive(std::size_t maximumBytes, ReceiveCompletion completion) = 0;
    // On the queue: writes `bytes` whole, after the bytes of earlier calls; `completion` runs once
    // they are out or failed.
    virtual void send(std::shared_ptr<const std::string> bytes, SendCompletion completion) = 0;
    // On the queue: closes the stream at once; pending completions then report an error. Idempotent.
    virtual void cancel() = 0;

    // Any thread: runs `work` on the queue, after work queued before it.
    virtual void async(std::function<void()> work) = 0;
    // On the queue: runs `fired` on the queue once `after` has passed. Work still pending when the
    // stream is cancelled may be dropped.
    virtual void schedule(std::chrono::milliseconds after, std::function<void()> fired) = 0;
};

}
