#include "tests/support/HTTPPeers.h"

#include "tests/support/TestSupport.h"

namespace vellumar::test {

namespace {

    // The server reads one request (head, then Content-Length bytes), answers 204 and prints what it read.
    constexpr const char* kCurlCaptureScript = R"(import socket, subprocess, sys, threading
server = socket.socket()
server.bind(('127.0.0.1', 0))
server.listen(1)
port = str(server.getsockname()[1])
captured = bytearray()
def serve():
    connection, _ = server.accept()
    connection.settimeout(30)
    while True:
        end = captured.find(b'\r\n\r\n')
        if end >= 0:
            length = 0
            for line in captured[:end].decode('latin-1').split('\r\n')[1:]:
                name, _, value = line.partition(':')
                if name.strip().lower() == 'content-length':
                    length = int(value)
            if len(captured) >= end + 4 + length:
                break
        chunk = connection.recv(65536)
        if not chunk:
            break
        captured.extend(chunk)
    connection.sendall(b'HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nConnection: close\r\n\r\n')
    connection.close()
thread = threading.Thread(target=serve)
thread.start()
subprocess.run([a.replace('{port}', port) for a in sys.argv[1:]], stdout=subprocess.DEVNULL, timeout=60)
thread.join(60)
sys.stdout.write(captured.hex())
)";

    constexpr const char* kHTTPClientCaptureScript = R"(import socket, http.client, sys
ours, theirs = socket.socketpair()
conn = http.client.HTTPConnection('127.0.0.1', 8443)
conn.sock = ours
exec(sys.argv[1])
ours.shutdown(socket.SHUT_WR)
data = bytearray()
while True:
    chunk = theirs.recv(65536)
    if not chunk:
        break
    data.extend(chunk)
sys.stdout.write(data.hex())
)";

}

std::string hexOf(std::string_view bytes)
{
    constexpr std::string_view digits = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (char character : bytes) {
        auto byte = static_cast<unsigned char>(character);
        hex.push_back(digits[byte >> 4]);
        hex.push_back(digits[byte & 0x0F]);
    }
    return hex;
}

std::string fromHex(std::string_view hex)
{
    std::string bytes;
    for (std::size_t index = 0; index + 1 < hex.size(); index += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(index, 2)), nullptr, 16)));
    return bytes;
}

std::string captureCurlRequest(const std::vector<std::string>& arguments)
{
    std::vector<std::string> argv = { "python3", "-c", kCurlCaptureScript, "curl" };
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto result = runPeer(argv);
    return result.exitStatus == 0 ? fromHex(result.output) : std::string {};
}

std::string capturePythonHTTPClientRequest(const std::string& statements)
{
    auto result = runPeer({ "python3", "-c", kHTTPClientCaptureScript, statements });
    return result.exitStatus == 0 ? fromHex(result.output) : std::string {};
}

}
