// Raw request bytes as real HTTP clients send them, for the tests of the request parser.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vellumar::test {

// Lowercase hex of the bytes, the form in which binary data is handed to peers.
std::string hexOf(std::string_view bytes);

// Runs curl with `arguments` (each "{port}" replaced) against a python3 server on 127.0.0.1:0 and
// returns the bytes curl sent for its one request. Empty when the peer could not run.
std::string captureCurlRequest(const std::vector<std::string>& arguments);

// Runs `statements` in python3 with `conn`, an http.client.HTTPConnection writing into one end of a
// socket pair, and returns the bytes that reached the other end.
std::string capturePythonHTTPClientRequest(const std::string& statements);

}
