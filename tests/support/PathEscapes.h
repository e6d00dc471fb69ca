// Paths that read as one place while a write through them lands in another, planted with real links
// under a temporary home, for the tests of the file-tool decision at every layer.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vellumar::test {

struct PathEscape {
    enum class Decision { deny, allowWorkspace, ask };

    std::string name;
    std::filesystem::path path; // as Claude Code sends it
    Decision decision; // with `work` outside `grant`
    std::filesystem::path lands; // where the kernel writes through `path`; empty for nowhere we can name
};

// Plants, below `home`, the links of each case: `work` is the conversation's work folder and
// `grant` a writable folder beside it, both existing. Keeps a descriptor open on `heldFile` (a work
// folder file) for the cases that name it through /proc and /dev/fd.
class PathEscapes {
public:
    PathEscapes(const std::filesystem::path& home, const std::filesystem::path& work,
        const std::filesystem::path& grant);
    ~PathEscapes();
    PathEscapes(const PathEscapes&) = delete;
    PathEscapes& operator=(const PathEscapes&) = delete;

    std::vector<PathEscape> cases;
    std::filesystem::path heldFile;

private:
    int m_descriptor = -1;
};

}
