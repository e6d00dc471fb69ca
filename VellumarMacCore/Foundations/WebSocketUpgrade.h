// The hand-over of a LAN connection to a WebSocket after a 101 reply.
#pragma once

#include <functional>
#include <memory>

namespace vellumar {

class WebSocketConnection;

struct WebSocketUpgrade {
    // Called by the LAN connection once the 101 head is written, with the socket now speaking WebSocket.
    std::function<void(std::shared_ptr<WebSocketConnection>)> open;
    // Called instead of `open` when the switch cannot happen (connection gone, or the head's send failed).
    std::function<void()> cancel;
};

}
