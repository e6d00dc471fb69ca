#include "tests/support/HTTPPeers.h"

#include "tests/support/TestSupport.h"

namespace vellumar::test {

namespace {

    // The server reads one request (head, then Content-Length bytes), answers 204 and prints what it read.
    constexpr const char* kCurlCaptureScript = R"(import re, socket, subprocess, sys, threading
server = socket.create_server(('127.0.0.1', 0))
captured = bytearray()
def complete():
    head, end, _ = captured.partition(b'\r\n\r\n')
    length = re.search(rb'(?im)^content-length:\s*(\d+)', head)
    return end and len(captured) >= len(head) + 4 + (int(length.group(1)) if length else 0)
def serve():
    connection = server.accept()[0]
    connection.settimeout(30)
    while not complete() and (chunk := connection.recv(65536)):
        captured.extend(chunk)
    connection.sendall(b'HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n')
    connection.close()
thread = threading.Thread(target=serve)
thread.start()
port = str(server.getsockname()[1])
subprocess.run([a.replace('{port}', port) for a in sys.argv[1:]], stdout=subprocess.DEVNULL, timeout=60)
thread.join(60)
sys.stdout.buffer.write(captured)
)";

    constexpr const char* kHTTPClientCaptureScript = R"(import socket, http.client, sys
ours, theirs = socket.socketpair()
conn = http.client.HTTPConnection('127.0.0.1', 8443)
conn.sock = ours
exec(sys.argv[1])
ours.shutdown(socket.SHUT_WR)
while chunk := theirs.recv(65536):
    sys.stdout.buffer.write(chunk)
)";

    std::string outputOf(const std::vector<std::string>& argv)
    {
        auto result = runPeer(argv);
        return result.exitStatus == 0 ? result.output : std::string {};
    }

}

std::string hexOf(std::string_view bytes)
{
    constexpr std::string_view digits = "0123456789abcdef";
    std::string hex;
    for (char character : bytes) {
        auto byte = static_cast<unsigned char>(character);
        hex += { digits[byte >> 4], digits[byte & 0x0F] };
    }
    return hex;
}

std::string captureCurlRequest(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = { "python3", "-c", kCurlCaptureScript, "curl" };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return outputOf(argv);
}

std::string capturePythonHTTPClientRequest(const std::string& statements)
{
    return outputOf({ "python3", "-c", kHTTPClientCaptureScript, statements });
}

}
