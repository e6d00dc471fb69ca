// The server side of the WebSocket opening handshake (RFC 6455 §4.2.2).
#pragma once

#include <string>
#include <string_view>

namespace vellumar {

class HTTPRequest;

}

namespace vellumar::WebSocketHandshake {

// RFC 6455 §4.2.1: checks the client's opening request and returns its Sec-WebSocket-Key exactly as
// received. Throws RelayHTTPError 405 "method_not_allowed" for a method other than GET, 426
// "upgrade_required" for missing upgrade headers or a version other than 13, and 400 "bad_request"
// for a key that is not Base64 of 16 bytes. Subprotocols and extensions asked for are ignored.
std::string validate(const HTTPRequest& request);

// RFC 6455 §4.2.2 step 5.4: Base64 of the SHA-1 of the client's Sec-WebSocket-Key followed by the
// protocol's GUID. The key is used exactly as given; validating it is the caller's business.
std::string acceptValue(std::string_view key);

}
