// How the guard reads what a command may have left: never waiting, never past its bound, never
// following a link it refuses, and a file's start as it is whatever its size says.
#include "VellumarMacCore/GitProtection/Finding/BoundedFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>

using namespace vellumar;
namespace fs = std::filesystem;

namespace {

void make(const test::TemporaryFolder& root, const std::string& line)
{
    ASSERT_EQ(test::runPeer({ "sh", "-c", "cd \"$0\" && " + line, root.path() }).exitStatus, 0) << line;
}

}

TEST(BoundedFile, ReadsWholeOnlyARegularFileWithinItsBound)
{
    using Links = BoundedFile::Links;
    using Outcome = BoundedFile::Read::Outcome;
    test::TemporaryFolder root;
    const struct {
        const char* name;
        const char* make; // a shell line run in the folder, making "f"
        std::size_t limit;
        Links links;
        Outcome expected;
        const char* bytes;
    } rows[] = {
        { "within the bound", "printf 0123 > f", 4, Links::refused, Outcome::whole, "0123" },
        { "empty", ": > f", 4, Links::refused, Outcome::whole, "" },
        { "one byte past the bound", "printf 01234 > f", 4, Links::refused, Outcome::tooLarge, "" },
        // Sparse: it costs no disk, and nothing of it is read.
        { "two gigabytes", "truncate -s 2G f", 64 << 20, Links::refused, Outcome::tooLarge, "" },
        { "a FIFO no one writes", "mkfifo f", 4, Links::refused, Outcome::notRegular, "" },
        { "a socket", "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"f\")'", 4,
            Links::refused, Outcome::unread, "" },
        { "a device that never ends, through a link", "ln -s /dev/zero f", 4, Links::followed,
            Outcome::notRegular, "" },
        { "a folder", "mkdir f", 4, Links::refused, Outcome::notRegular, "" },
        { "a link refused", "printf 01 > g && ln -s g f", 4, Links::refused, Outcome::unread, "" },
        { "a link followed", "printf 01 > g && ln -s g f", 4, Links::followed, Outcome::whole, "01" },
        { "nothing there", "true", 4, Links::refused, Outcome::unread, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        make(root, "rm -rf f g && " + std::string(row.make));
        auto read = BoundedFile::whole(AT_FDCWD, root.path() / "f", row.limit, row.links);
        EXPECT_EQ(read.outcome, row.expected);
        EXPECT_EQ(read.bytes, row.bytes);
    }
}

TEST(BoundedFile, ReadsAFileStartWhateverItsSizeSays)
{
    test::TemporaryFolder root;
    const fs::path file = root.path() / "f";
    const struct {
        const char* name;
        const char* make; // a shell line run in the folder, making "f"
        std::size_t asked;
        std::size_t expected;
    } rows[] = {
        { "shorter than asked", "printf 0123456789 > f", 100, 10 },
        { "exactly the size asked", "printf 0123 > f", 4, 4 },
        { "longer than asked", "printf 0123456789 > f", 4, 4 },
        { "empty", ": > f", 100, 0 },
        // /proc's files say they hold nothing; what is read is what they hold.
        { "a size of 0 that holds bytes", "ln -s /proc/self/status f", 64, 64 },
        // And a sysctl's, all at the first read.
        { "a sysctl's", "ln -s /proc/sys/kernel/ostype f", 64, 6 }, // "Linux\n"
        { "a FIFO", "mkfifo f", 100, 0 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(file);
        make(root, row.make);
        EXPECT_EQ(BoundedFile::start(file, row.asked).size(), row.expected);
    }
}
