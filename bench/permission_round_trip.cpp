// One permission question's trip from the MCP sub-mode to the gate and back, next to the floor
// any such trip pays (a socketpair carrying the same line both ways), and the refusal when the
// application is gone, which Claude Code must get at once rather than after a time-out.
#include "VellumarMacCore/Permissions/PermissionGate.h"
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"
#include "VellumarMacCore/Permissions/UnixSocketLines.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const vellumar::JSON& question()
{
    static const vellumar::JSON arguments = vellumar::JSON::object({ { "tool_name", "Write" },
        { "input", vellumar::JSON::object({ { "file_path", "/Users/u/p/notes.txt" }, { "content", "x" } }) },
        { "tool_use_id", "toolu_01" } });
    return arguments;
}

void BM_SocketPairLineBaseline(benchmark::State& state)
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        state.SkipWithError("socketpair failed");
        return;
    }
    std::string line = question().encoded() + "\n";
    for (auto _ : state) {
        vellumar::writeAll(ends[0], line);
        benchmark::DoNotOptimize(vellumar::readLine(ends[1], 1048576));
        vellumar::writeAll(ends[1], line);
        benchmark::DoNotOptimize(vellumar::readLine(ends[0], 1048576));
    }
    close(ends[0]);
    close(ends[1]);
}
BENCHMARK(BM_SocketPairLineBaseline)->Unit(benchmark::kMicrosecond);

void BM_AskGate(benchmark::State& state)
{
    vellumar::PermissionGate gate([](const vellumar::JSON& request) {
        return vellumar::JSON::object(
            { { "behavior", "allow" }, { "updatedInput", *request.subscript("input") } });
    });
    for (auto _ : state)
        benchmark::DoNotOptimize(vellumar::PermissionMCPServer::askApp(gate.path(), question()));
}
BENCHMARK(BM_AskGate)->Unit(benchmark::kMicrosecond);

void BM_AskClosedGate(benchmark::State& state)
{
    vellumar::PermissionGate gate([](const vellumar::JSON&) { return vellumar::JSON::object({}); });
    gate.close();
    for (auto _ : state)
        benchmark::DoNotOptimize(vellumar::PermissionMCPServer::askApp(gate.path(), question()));
}
BENCHMARK(BM_AskClosedGate)->Unit(benchmark::kMicrosecond);

}
