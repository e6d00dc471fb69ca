// Small fixtures that many suites need: a file written with its folders, the names in a folder, an
// item's mode, repeated text, the error an operation threw, and bounded waits for calls that a fault
// could leave hanging.
#pragma once

#include "Platform/FileDescriptor.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vellumar::test {

// Writes `bytes` to `file`, replacing it and creating missing folders; fails the test when it cannot.
void writeBytes(const std::filesystem::path& file, std::string_view bytes);

// The names in the folder, hidden ones included; none when it cannot be listed.
std::set<std::string> namesIn(const std::filesystem::path& folder);

// The permission bits of the item itself (a link is not followed); 0 when there is none.
unsigned modeOf(const std::filesystem::path& location);

std::string repeated(std::string_view piece, std::size_t count);

// A moved-aside path without the random part its name ends in ("x.refused-<stamp>-<random>" gives
// "x.refused-<stamp>"), for comparing with a name the clock alone gives; other paths as they are.
std::filesystem::path withoutRandomPart(const std::filesystem::path& moved);
// The file that was moved aside as `stamped` ("x.refused-<stamp>") with its random part; `stamped`
// itself unless its folder holds exactly one such.
std::filesystem::path withRandomPart(const std::filesystem::path& stamped);

// Every item below `top` by path relative to it, described by its kind, its mode and a file's bytes
// or a link's target; links are not followed. For checking that nothing in a tree changed.
std::map<std::string, std::string> treeContents(const std::filesystem::path& top);

// The paths of two `treeContents` whose item was added, removed or changed, without their bytes.
std::vector<std::string> changedItems(
    const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after);

// Whether `file` comes to exist within three minutes, a patience that only guards against a hang.
bool fileAppears(const std::filesystem::path& file);

// Makes `levels` nested folders, each named with 250 bytes, inside the open folder `folderFD`, calls
// `plant` with each new folder open, and answers the deepest; not open when one could not be made.
// Such a chain is soon deeper than any path can name, so it is made and used through descriptors.
platform::FileDescriptor makeFolderChain(
    int folderFD, std::size_t levels, const std::function<void(int folderFD)>& plant = {});

// What `operation` threw of type `Error`; absent when it threw nothing.
template <typename Error, typename Operation> std::optional<Error> thrown(Operation&& operation)
{
    try {
        std::forward<Operation>(operation)();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

// Returns once the kernel's coarse clock, which the Git guard takes its start from, has passed the last
// change to `path` (a stamp may come from a finer clock): what the user made before a run then lies
// before it.
void settled(const std::filesystem::path& path);

// Makes `change` to `file` as an edit made after `instant` (wall-clock time): again until the file's
// status-change time is later, if only by the file clock's next step. Returns that time.
std::chrono::nanoseconds changedLaterThan(
    const std::filesystem::path& file, std::chrono::nanoseconds instant, const std::function<void()>& change);

// Makes a FIFO at `fifo` and runs `operation`, which must not wait for a writer; true when it returned
// within ten seconds. When it did not, a writer comes and goes so that the operation can end.
bool returnsBesideAFIFO(const std::filesystem::path& fifo, const std::function<void()>& operation);

// Runs `work` in a child process forked from this one and answers its exit status, or -1 when it did
// not end within `limit` (it is killed then). For checks that a fault would send into an endless loop,
// and for limits or identities the test process itself must not take on.
int exitStatusWithin(std::chrono::seconds limit, const std::function<int()>& work);

// As `exitStatusWithin`, answering what `work` returned in the child (at most 64 KiB, a pipe's
// buffer, since it is read once the child has ended); "child failed" when the child did not end
// within `limit` or did not exit with status 0.
std::string outputOfChildWithin(std::chrono::seconds limit, const std::function<std::string()>& work);

}
