// Helpers shared by the test suites: temporary folders and running peer programs.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace vellumar::test {

// A fresh folder under the system temporary folder, removed with everything in it on destruction.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

struct PeerResult {
    int exitStatus = -1;
    std::string output; // standard output only
};

// Runs a program with arguments (no shell), feeding `input` to its standard input.
PeerResult runPeer(const std::vector<std::string>& argv, const std::string& input = {});

// The repository's root folder, for fixtures and peer scripts.
std::filesystem::path sourceDir();

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& file);

// Whether `condition` holds before `boundSeconds` pass, polled every 20 ms; the bound guards against
// a hang and measures nothing.
bool eventuallyWithin(double boundSeconds, const std::function<bool()>& condition);

}
