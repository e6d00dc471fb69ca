#include "VellumarMacCore/GitProtection/GitCountedSettings.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"
#include "VellumarMacCore/GitProtection/GitConfigPaths.h"
#include "VellumarMacCore/GitProtection/WhatGitRuns.h"

#include <cstdlib>
#include <fcntl.h>
#include <exception>
#include <filesystem>
#include <unistd.h>

namespace vellumar::GitCountedSettings {

namespace {

    namespace fs = std::filesystem;

    // Git's answer for a key it does not find.
    constexpr int kNoneFound = 1;

    // A 0600 file holding `bytes` in the temporary folder, removed when this goes.
    class TemporaryCopy {
    public:
        explicit TemporaryCopy(std::string_view bytes)
        {
            std::error_code error;
            std::string name = (fs::temp_directory_path(error) / "vellumar-config-XXXXXX").string();
            FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
            if (file.get() < 0)
                return;
            m_path = name;
            for (std::size_t written = 0; written < bytes.size();) {
                ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
                if (count <= 0) {
                    m_complete = false;
                    return;
                }
                written += static_cast<std::size_t>(count);
            }
            m_complete = true;
        }
        ~TemporaryCopy()
        {
            if (!m_path.empty())
                ::unlink(m_path.c_str());
        }
        TemporaryCopy(const TemporaryCopy&) = delete;
        TemporaryCopy& operator=(const TemporaryCopy&) = delete;

        // Absent when the copy could not be written whole.
        std::optional<std::string> path() const { return m_complete ? std::optional(m_path) : std::nullopt; }

    private:
        std::string m_path;
        bool m_complete = false;
    };

}

Reader gitReader(std::string searchPath, CommandRunnerFunction run)
{
    return [searchPath = std::move(searchPath), run = std::move(run), pattern = WhatGitRuns::keyPattern()](
               std::string_view configuration) -> std::optional<std::string> {
        try {
            auto git = GitConfigPaths::gitExecutable(searchPath);
            TemporaryCopy copy(configuration);
            if (!git || !copy.path())
                return std::nullopt;
            CommandResult result
                = run(*git, { "config", "-z", "--file", *copy.path(), "--get-regexp", pattern },
                    { .environment = CommandEnvironment { { "PATH", searchPath }, { "HOME", "/nonexistent" },
                          { "GIT_CONFIG_NOSYSTEM", "1" } },
                        .workingFolder = fs::path("/"),
                        .timeLimitSeconds = GitConfigPaths::gitTimeLimitSeconds });
            if (result.timedOut || (result.status != 0 && result.status != kNoneFound))
                return std::nullopt;
            return result.status == 0 ? result.output : std::string();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
}

Reader gitReaderForThisProcess()
{
    const char* searchPath = std::getenv("PATH");
    return gitReader(searchPath ? searchPath : "/usr/local/bin:/usr/bin:/bin");
}

}
