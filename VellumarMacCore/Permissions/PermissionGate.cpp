#include "VellumarMacCore/Permissions/PermissionGate.h"

#include "VellumarMacCore/Foundations/CommandRunner.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vellumar {

namespace fs = std::filesystem;

namespace {

    constexpr std::string_view kFolderPrefix = "vlp-";
    constexpr std::size_t kFolderRandomBytes = 6;
    constexpr std::string_view kSocketName = "s";
    constexpr int kListenBacklog = 8;
    constexpr double kConnectionTimeoutSeconds = 10.0;
    constexpr std::size_t kMaxRequestBytes = 1048576;
    constexpr auto kAcceptLoopGrace = std::chrono::seconds(2);
    // Linux keeps 15 bytes of a thread's name.
    constexpr std::string_view kAcceptThreadName = std::string_view("vellumar.permission-gate").substr(0, 15);

    void removeQuietly(const fs::path& folder)
    {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // Undoes a half-made gate: the socket (when open) and the folder go, then the error is thrown.
    [[noreturn]] void abandon(const fs::path& folder, int listening, PermissionGateError error)
    {
        if (listening >= 0)
            ::close(listening);
        removeQuietly(folder);
        throw error;
    }

    // Answers one connection: one request line in, one reply line out, then closed. Owns the descriptor.
    void handleConnection(int connection, const PermissionGate::Decide& decide)
    {
        try {
            setSocketTimeouts(connection, kConnectionTimeoutSeconds);
            JSON reply = PermissionGate::refusalReply();
            if (auto line = readLine(connection, kMaxRequestBytes)) {
                auto request = JSON::decode(*line);
                if (request && request->objectValue()) {
                    try {
                        reply = decide(*request);
                    } catch (...) {
                        reply = PermissionGate::refusalReply();
                    }
                }
            }
            writeAll(connection, reply.encoded() + "\n");
        } catch (...) {
            // Out of memory: the client reads end of stream, which its side takes as a refusal.
        }
        ::close(connection);
    }

}

struct PermissionGate::Listener {
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
    bool closed = false;
    bool finished = false;
    std::condition_variable finishedChanged;

    void acceptLoop();
    void serve(int connection) const;
};

void PermissionGate::Listener::acceptLoop()
{
    for (;;) {
        int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            // A client that went away before being accepted is its own failure, not the gate's.
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        bool stopping;
        {
            std::lock_guard guard(lock);
            stopping = closed;
        }
        if (stopping) {
            ::close(connection);
            break;
        }
        serve(connection);
    }
    std::lock_guard guard(lock);
    finished = true;
    finishedChanged.notify_all();
}

void PermissionGate::Listener::serve(int connection) const
{
    // The thread owns the descriptor and a copy of the decision, so it outlives the gate safely.
    try {
        std::thread([connection, decision = decide] { handleConnection(connection, decision); }).detach();
    } catch (...) {
        // No thread to be had: the client reads end of stream, which its side takes as a refusal.
        ::close(connection);
    }
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
    {
        std::lock_guard guard(m_listener->lock);
        if (m_listener->closed)
            return;
        m_listener->closed = true;
    }
    // A connection of our own wakes a blocked accept, which then sees `closed`. Shutting the
    // listening socket down also wakes it, and refuses clients even if the socket file is gone.
    if (auto address = unixSocketAddress(m_path)) {
        int wake = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (wake >= 0) {
            connect(wake, reinterpret_cast<const sockaddr*>(&*address), unixSocketAddressLength);
            ::close(wake);
        }
    }
    shutdown(m_listener->fd, SHUT_RDWR);
    {
        std::unique_lock guard(m_listener->lock);
        m_listener->finishedChanged.wait_for(guard, kAcceptLoopGrace, [&] { return m_listener->finished; });
        // A loop that has not ended yet may still be inside accept on this descriptor; closing it
        // now could let a new file take its number, so the last owner of the listener closes it.
        if (m_listener->finished) {
            ::close(m_listener->fd);
            m_listener->fd = -1;
        }
    }
    removeQuietly(m_folder);
}

}
