// The server side of the WebSocket opening handshake (RFC 6455 §4.2.2).
#pragma once

#include <string>
#include <string_view>

namespace vellumar::WebSocketHandshake {

// RFC 6455 §4.2.2 step 5.4: Base64 of the SHA-1 of the client's Sec-WebSocket-Key followed by the
// protocol's GUID. The key is used exactly as given; validating it is the caller's business.
std::string acceptValue(std::string_view key);

}
