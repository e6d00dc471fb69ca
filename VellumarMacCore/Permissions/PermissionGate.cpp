#include "VellumarMacCore/Permissions/PermissionGate.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Foundations/FolderTree.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <list>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <utility>
#include <unistd.h>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    constexpr std::string_view kFolderPrefix = "vlp-";
    constexpr std::size_t kFolderRandomBytes = 6;
    constexpr std::string_view kSocketName = "s";
    constexpr int kListenBacklog = 8;
    constexpr std::size_t kMaxConnections = 16;
    constexpr double kConnectionTimeoutSeconds = 10.0;
    constexpr std::size_t kMaxRequestBytes = 1048576;
    constexpr auto kAcceptLoopGrace = std::chrono::seconds(2);
    // Linux keeps 15 bytes of a thread's name.
    constexpr std::string_view kAcceptThreadName = std::string_view("vellumar.permission-gate").substr(0, 15);

    void removeQuietly(const fs::path& folder) { FolderTree::remove(folder); }

    // Undoes a half-made gate: the socket (when open) and the folder go, then the error is thrown.
    [[noreturn]] void abandon(const fs::path& folder, int listening, PermissionGateError error)
    {
        if (listening >= 0)
            ::close(listening);
        removeQuietly(folder);
        throw error;
    }

}

struct PermissionGate::Listener {
    // One accepted client. `fd` is -1 once its thread closed it, so that `close` never shuts down a
    // number the system has since given to another file.
    struct Connection {
        int fd;
        bool ended = false;
        std::thread thread;
    };

    Listener(int socket, Decide decision)
        : fd(socket)
        , decide(std::move(decision))
    {
    }
    ~Listener()
    {
        if (fd >= 0)
            ::close(fd);
    }

    int fd;
    const Decide decide;
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
    bool finished = false;
    bool drained = false;
    std::size_t serving = 0;
    std::list<Connection> connections;

    void acceptLoop();
    void serve(int descriptor);
    void handle(Connection& connection);
    JSON answer(int descriptor);
    static void join(std::list<Connection>& ended);
};

void PermissionGate::Listener::acceptLoop()
{
    for (;;) {
        std::list<Connection> ended;
        bool stopping;
        {
            std::unique_lock guard(lock);
            for (auto entry = connections.begin(); entry != connections.end();) {
                auto next = std::next(entry);
                if (entry->ended)
                    ended.splice(ended.end(), connections, entry);
                entry = next;
            }
            // Beyond the limit, clients wait in the listen backlog until a connection ends.
            changed.wait(guard, [&] { return closed || serving < kMaxConnections; });
            stopping = closed;
        }
        join(ended);
        if (stopping)
            break;
        int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            // A client that went away before being accepted is its own failure, not the gate's.
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        std::lock_guard guard(lock);
        if (closed) {
            ::close(connection);
            break;
        }
        serve(connection);
    }
    std::lock_guard guard(lock);
    finished = true;
    changed.notify_all();
}

// Called under `lock`, so that `close` sees every connection that was let in before it.
void PermissionGate::Listener::serve(int descriptor)
{
    try {
        auto& connection = connections.emplace_back(Connection { descriptor });
        try {
            connection.thread = std::thread([this, &connection] { handle(connection); });
            ++serving;
            return;
        } catch (...) {
            connections.pop_back();
        }
    } catch (...) {
    }
    // No thread to be had: the client reads end of stream, which its side takes as a refusal.
    ::close(descriptor);
}

// Answers one connection: one request line in, one reply line out, then closed.
void PermissionGate::Listener::handle(Connection& connection)
{
    try {
        writeAll(connection.fd, answer(connection.fd).encoded() + "\n");
    } catch (...) {
        // Out of memory: the client reads end of stream, which its side takes as a refusal.
    }
    int descriptor;
    {
        std::lock_guard guard(lock);
        descriptor = std::exchange(connection.fd, -1);
    }
    ::close(descriptor);
    std::lock_guard guard(lock);
    connection.ended = true;
    --serving;
    changed.notify_all();
}

JSON PermissionGate::Listener::answer(int descriptor)
{
    setSocketTimeouts(descriptor, kConnectionTimeoutSeconds);
    auto line = readLine(descriptor, kMaxRequestBytes);
    if (!line)
        return refusalReply();
    auto request = JSON::decode(*line);
    if (!request || !request->objectValue())
        return refusalReply();
    {
        // Once closed, the run this gate served is ending: nothing more is asked of its decision.
        std::lock_guard guard(lock);
        if (closed)
            return refusalReply();
    }
    try {
        return decide(*request);
    } catch (...) {
        return refusalReply();
    }
}

void PermissionGate::Listener::join(std::list<Connection>& ended)
{
    for (auto& connection : ended)
        connection.thread.join();
}

const char* PermissionGateError::what() const noexcept
{
    switch (m_kind) {
    case Kind::invalidFileName:
        return "The permission gate's socket path is too long.";
    case Kind::writeFailed:
        break;
    }
    return "The permission gate's socket could not be opened.";
}

const JSON& PermissionGate::refusalReply()
{
    static const JSON reply = JSON::object({
        { "behavior", "deny" },
        { "message", "This needs a confirmation that could not be given here, so it was refused." },
    });
    return reply;
}

PermissionGate::PermissionGate(Decide decide)
    : PermissionGate(std::move(decide), fs::temp_directory_path())
{
}

PermissionGate::PermissionGate(Decide decide, const fs::path& temporaryFolder)
    : m_folder(temporaryFolder / (std::string(kFolderPrefix) + hexString(Random::bytes(kFolderRandomBytes))))
    , m_path((m_folder / kSocketName).string())
{
    ignoreSIGPIPE();
    if (mkdir(m_folder.c_str(), 0700) != 0)
        throw fs::filesystem_error("cannot create the permission gate's folder", m_folder,
            std::error_code(errno, std::system_category()));

    using Kind = PermissionGateError::Kind;
    // mkdir's mode passes through the umask; the folder must end up exactly private.
    if (chmod(m_folder.c_str(), 0700) != 0)
        abandon(m_folder, -1, PermissionGateError(Kind::writeFailed, errno));
    auto address = unixSocketAddress(m_path);
    if (!address)
        abandon(m_folder, -1, PermissionGateError(Kind::invalidFileName));
    int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listening < 0)
        abandon(m_folder, -1, PermissionGateError(Kind::writeFailed, errno));
    if (bind(listening, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength) != 0
        || chmod(m_path.c_str(), 0600) != 0 || listen(listening, kListenBacklog) != 0)
        abandon(m_folder, listening, PermissionGateError(Kind::writeFailed, errno));

    m_listener = std::make_shared<Listener>(listening, std::move(decide));
    try {
        std::thread([listener = m_listener] {
            pthread_setname_np(pthread_self(), std::string(kAcceptThreadName).c_str());
            listener->acceptLoop();
        }).detach();
    } catch (const std::system_error& error) {
        m_listener.reset();
        removeQuietly(m_folder);
        throw PermissionGateError(Kind::writeFailed, error.code().value());
    }
}

PermissionGate::~PermissionGate() { close(); }

void PermissionGate::close()
{
    auto& listener = *m_listener;
    {
        std::unique_lock guard(listener.lock);
        if (listener.closed) {
            listener.changed.wait(guard, [&] { return listener.drained; });
            return;
        }
        listener.closed = true;
        // A client still sending its request would otherwise hold `close` for its whole time limit;
        // ending the reading side wakes it, and a reply can still be written.
        for (const auto& connection : listener.connections) {
            if (connection.fd >= 0)
                shutdown(connection.fd, SHUT_RD);
        }
        listener.changed.notify_all();
    }
    // A connection of our own wakes a blocked accept, which then sees `closed`; it must not block
    // itself when the backlog is full. Shutting the listening socket down also wakes the accept,
    // and refuses clients even if the socket file is gone.
    if (auto address = unixSocketAddress(m_path)) {
        int wake = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (wake >= 0) {
            connect(wake, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength);
            ::close(wake);
        }
    }
    shutdown(listener.fd, SHUT_RDWR);
    std::list<Listener::Connection> remaining;
    {
        std::unique_lock guard(listener.lock);
        listener.changed.wait_for(guard, kAcceptLoopGrace, [&] { return listener.finished; });
        // A loop that has not ended yet may still be inside accept on this descriptor; closing it
        // now could let a new file take its number, so the last owner of the listener closes it.
        if (listener.finished) {
            ::close(listener.fd);
            listener.fd = -1;
        }
        // No connection is let in once `closed` is set, so these are the last.
        remaining.splice(remaining.end(), listener.connections);
    }
    removeQuietly(m_folder);
    // Their decisions may reach into the runner that is closing this gate, so none outlives `close`.
    Listener::join(remaining);
    std::lock_guard guard(listener.lock);
    listener.drained = true;
    listener.changed.notify_all();
}

}
