// One Claude Code run's approval channel on the application's side: a Unix socket in a private
// folder of the temporary folder, on which each permission question arrives as one JSON line and
// is answered with one JSON line.
#pragma once

#include "VellumarMacCore/Foundations/JSON.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vellumar {

class PermissionGateError : public std::exception {
public:
    // `invalidFileName`: the socket path does not fit a socket address. `writeFailed`: the socket
    // could not be made, bound, narrowed to its owner, put to listen or served.
    enum class Kind { invalidFileName, writeFailed };

    explicit PermissionGateError(Kind kind, int systemError = 0) noexcept
        : m_kind(kind)
        , m_systemError(systemError)
    {
    }

    Kind kind() const noexcept { return m_kind; }
    // The errno of the step that failed; 0 when none applies.
    int systemError() const noexcept { return m_systemError; }
    const char* what() const noexcept override;

    friend bool operator==(const PermissionGateError&, const PermissionGateError&) = default;

private:
    Kind m_kind;
    int m_systemError;
};

class PermissionGate {
public:
    // Answers one request object. Called on a connection's own thread, possibly on several at once
    // (at most 16: further clients wait to be let in), and may block as long as the decision takes.
    // An exception it throws refuses that request.
    using Decide = std::function<JSON(const JSON&)>;

    // {"behavior":"deny","message":...}: the answer to a request that could not be read or decided.
    static const JSON& refusalReply();

    // Creates "vlp-<12 hex>" (0700) in the temporary folder, binds the socket "s" (0600) in it and
    // starts accepting. Throws std::filesystem::filesystem_error when the folder cannot be made and
    // PermissionGateError for the socket; nothing is left behind either way.
    explicit PermissionGate(Decide decide);
    PermissionGate(Decide decide, const std::filesystem::path& temporaryFolder);
    ~PermissionGate();
    PermissionGate(const PermissionGate&) = delete;
    PermissionGate& operator=(const PermissionGate&) = delete;

    const std::string& path() const { return m_path; }
    const std::filesystem::path& folder() const { return m_folder; }

    // Stops accepting, removes the folder and returns once every accepted connection is answered:
    // a decision under way is waited for and its reply still sent; any other request is refused at
    // once, without a decision, also from a client still sending it. No decision runs after this
    // returns. Safe to call more than once and from any thread but a decision's own (a later call
    // waits for the first); waits at most 2 s for the accept thread to end.
    void close();

private:
    struct Listener;

    std::filesystem::path m_folder;
    std::string m_path;
    std::shared_ptr<Listener> m_listener;
};

}
