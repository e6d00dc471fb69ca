#include "tests/support/FileFixtures.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vellumar::test {

void writeBytes(const std::filesystem::path& file, std::string_view bytes)
{
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream.good())
        ADD_FAILURE() << "could not write " << file;
}

std::set<std::string> namesIn(const std::filesystem::path& folder)
{
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.insert(it->path().filename().string());
    return names;
}

unsigned modeOf(const std::filesystem::path& location)
{
    struct stat status { };
    return ::lstat(location.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::filesystem::path withoutRandomPart(const std::filesystem::path& moved)
{
    const std::string name = moved.filename();
    constexpr std::size_t kRandomLength = 8;
    const bool random = name.size() > kRandomLength + 1 && name[name.size() - kRandomLength - 1] == '-'
        && std::all_of(name.end() - kRandomLength, name.end(),
            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    return random ? moved.parent_path() / name.substr(0, name.size() - kRandomLength - 1) : moved;
}

std::filesystem::path withRandomPart(const std::filesystem::path& stamped)
{
    std::vector<std::filesystem::path> found;
    for (const auto& name : namesIn(stamped.parent_path())) {
        if (name != stamped.filename() && withoutRandomPart(stamped.parent_path() / name) == stamped)
            found.push_back(stamped.parent_path() / name);
    }
    return found.size() == 1 ? found.front() : stamped;
}

std::string repeated(std::string_view piece, std::size_t count)
{
    std::string text;
    for (std::size_t index = 0; index < count; ++index)
        text += piece;
    return text;
}

std::map<std::string, std::string> treeContents(const std::filesystem::path& top)
{
    std::map<std::string, std::string> items;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(top, error), end; !error && it != end;
         it.increment(error)) {
        auto status = it->symlink_status(error);
        std::string description = std::to_string(static_cast<int>(status.type())) + " "
            + std::to_string(static_cast<unsigned>(status.permissions())) + " ";
        if (status.type() == std::filesystem::file_type::regular)
            description += readFile(it->path());
        else if (status.type() == std::filesystem::file_type::symlink)
            description += std::filesystem::read_symlink(it->path(), error).string();
        items[std::filesystem::relative(it->path(), top).string()] = description;
    }
    if (error)
        ADD_FAILURE() << "could not read the tree " << top << ": " << error.message();
    return items;
}

std::vector<std::string> changedItems(
    const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after)
{
    std::vector<std::string> changed;
    for (const auto& [path, item] : after) {
        auto earlier = before.find(path);
        if (earlier == before.end() || earlier->second != item)
            changed.push_back(path);
    }
    for (const auto& [path, item] : before) {
        if (!after.contains(path))
            changed.push_back(path);
    }
    return changed;
}

bool fileAppears(const std::filesystem::path& file)
{
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
         !std::filesystem::exists(file) && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return std::filesystem::exists(file);
}

platform::FileDescriptor makeFolderChain(
    int folderFD, std::size_t levels, const std::function<void(int folderFD)>& plant)
{
    const std::string name(250, 'd');
    platform::FileDescriptor folder(::fcntl(folderFD, F_DUPFD_CLOEXEC, 0));
    for (std::size_t level = 0; folder && level < levels; ++level) {
        if (::mkdirat(folder.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
            return {};
        folder.reset(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder && plant)
            plant(folder.get());
    }
    return folder;
}

void settled(const std::filesystem::path& path)
{
    struct stat status { };
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    auto later = [](const timespec& a, const timespec& b) {
        return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
    };
    timespec now {};
    do
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    while (!later(now, status.st_ctim));
}

std::chrono::nanoseconds changedLaterThan(
    const std::filesystem::path& file, std::chrono::nanoseconds instant, const std::function<void()>& change)
{
    struct stat status { };
    std::chrono::nanoseconds changed;
    do {
        change();
        EXPECT_EQ(::lstat(file.c_str(), &status), 0);
        changed
            = std::chrono::seconds(status.st_ctim.tv_sec) + std::chrono::nanoseconds(status.st_ctim.tv_nsec);
    } while (changed <= instant);
    return changed;
}

bool returnsBesideAFIFO(const std::filesystem::path& fifo, const std::function<void()>& operation)
{
    if (::mkfifo(fifo.c_str(), 0600) != 0) {
        ADD_FAILURE() << "could not make the FIFO " << fifo;
        return false;
    }
    auto done = std::async(std::launch::async, operation);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
        return true;
    // A writer coming lets a reader blocked in open(2) go on; its leaving ends the reader's reads.
    int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0)
        ::close(writer);
    done.wait();
    return false;
}

int exitStatusWithin(std::chrono::seconds limit, const std::function<int()>& work)
{
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(work());
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    auto waited = std::async(std::launch::async, [child] {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
        return status;
    });
    bool ended = waited.wait_for(limit) == std::future_status::ready;
    if (!ended)
        ::kill(child, SIGKILL);
    int status = waited.get();
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string outputOfChildWithin(std::chrono::seconds limit, const std::function<std::string()>& work)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return "child failed";
    }
    int status = exitStatusWithin(limit, [&] {
        ::close(pipeEnds[0]);
        auto output = work();
        bool written
            = ::write(pipeEnds[1], output.data(), output.size()) == static_cast<ssize_t>(output.size());
        return written ? 0 : 1;
    });
    ::close(pipeEnds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t count; (count = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<std::size_t>(count));
    ::close(pipeEnds[0]);
    return status == 0 ? output : "child failed";
}

}
