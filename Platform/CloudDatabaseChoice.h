// Which database holds the cloud container: "cloud.json" in the data home may name a PostgreSQL server
// shared across machines, {"backend": "postgresql", "conninfo": "<libpq connection string>"}; without
// the file the embedded SQLite database of this machine serves.
#pragma once

#include "Platform/Paths.h"

#include <filesystem>
#include <string>

namespace vellumar::platform {

enum class CloudBackend { sqlite, postgresql };

struct CloudDatabaseChoice {
    CloudBackend backend = CloudBackend::sqlite;
    // For PostgreSQL: the connection string, asking for verified TLS where the server is not on this
    // machine and no TLS mode is given.
    std::string conninfo;
};

// Reads "cloud.json" in `dataHome`. Throws CloudDatabaseError: badContainer for a file that is not
// such an object, an unknown backend, or a server on another machine reached without TLS;
// permissionFailure for a password written in the connection string (it belongs in a "passfile") or a
// passfile that is not a 0600 file of this user. Each refusal logs one line with its reason first; the
// connection string never appears in it nor in the error.
CloudDatabaseChoice readCloudDatabaseChoice(const std::filesystem::path& dataHome = dataFolder());

}
