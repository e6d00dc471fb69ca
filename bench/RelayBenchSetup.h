// What the router's load drivers set up alike: their command line, and a temporary folder with the
// relay's certificate and data.
#pragma once

#include "VellumarMacCore/ConversationData/RelayData.h"
#include "VellumarMacCore/Relay/TLSIdentityStore.h"

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace vellumar::bench {

// [SERVER_CPUS [CLIENT_CPUS [DURATION [ROUNDS]]]], each with its default.
struct LoadArguments {
    LoadArguments(int argc, char** argv, const char* defaultDuration, int defaultRounds)
        : serverCPUs(argc > 1 ? argv[1] : "0,1")
        , clientCPUs(argc > 2 ? argv[2] : "2,3")
        , duration(argc > 3 ? argv[3] : defaultDuration)
        , rounds(argc > 4 ? std::atoi(argv[4]) : defaultRounds)
    {
    }

    std::string serverCPUs;
    std::string clientCPUs;
    std::string duration;
    int rounds;
};

// Removed with everything in it at the end.
struct RelayBenchFolder {
    RelayBenchFolder()
        : folder(made())
        , identity(TLSIdentityStore::loadOrCreate(
              folder / "tls", { { "127.0.0.1" }, {} }, TLSIdentityStore::defaultOpenSSL))
        , data({ .folder = folder / "data", .home = folder / "home" })
    {
    }
    ~RelayBenchFolder() { std::filesystem::remove_all(folder); }

    const std::filesystem::path folder;
    const TLSIdentity identity;
    RelayData data;

private:
    static std::filesystem::path made()
    {
        char folderTemplate[] = "/tmp/vellumar-bench-XXXXXX";
        return ::mkdtemp(folderTemplate);
    }
};

}
