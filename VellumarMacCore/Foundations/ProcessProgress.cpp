#include "VellumarMacCore/Foundations/ProcessProgress.h"

#include "VellumarMacCore/Foundations/FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <unistd.h>

namespace vellumar::ProcessProgress {

std::optional<Sample> of(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return std::nullopt;
    char bytes[1024];
    ssize_t count;
    do {
        count = ::read(file.get(), bytes, sizeof bytes);
    } while (count < 0 && errno == EINTR);
    if (count <= 0)
        return std::nullopt;
    // The program's name, in parentheses, may hold anything: the fields start after its last ")".
    std::string_view text(bytes, static_cast<std::size_t>(count));
    const auto nameEnd = text.rfind(')');
    if (nameEnd == std::string_view::npos)
        return std::nullopt;
    text.remove_prefix(nameEnd + 1);
    // Fields 3 (the state) to 17 (cstime), after the name; 14 to 17 are the CPU times.
    Sample sample;
    for (int field = 3; field <= 17; ++field) {
        text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
        const std::string_view value = text.substr(0, text.find(' '));
        if (value.empty())
            return std::nullopt;
        if (field == 3)
            sample.running = value == "R" || value == "D";
        if (field >= 14) {
            std::uint64_t ticks = 0;
            if (std::from_chars(value.data(), value.data() + value.size(), ticks).ec != std::errc {})
                return std::nullopt;
            sample.cpuTicks += ticks;
        }
        text.remove_prefix(value.size());
    }
    return sample;
}

bool madeProgress(const std::optional<Sample>& earlier, const std::optional<Sample>& now)
{
    return earlier && now && (now->running || now->cpuTicks != earlier->cpuTicks);
}

}
