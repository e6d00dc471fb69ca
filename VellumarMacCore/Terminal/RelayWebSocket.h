// Turns a relay connection upgraded by its 101 answer into a WebSocketConnection: the factory the
// relay listener is given for its WebSocket hook.
#pragma once

#include "VellumarMacCore/Relay/HTTPConnection.h"
#include "VellumarMacCore/Terminal/WebSocketConnection.h"

namespace vellumar {

// Each WebSocket it makes runs on the listener's queue and network connection, keeping both alive
// for as long as the WebSocket lives; it is not started.
WebSocketFactory relayWebSocketFactory(WebSocketConnection::Intervals intervals = {});

}
