// The records in which older builds named the placeholders a process held in the user's folders: each
// absolute path followed by a NUL byte, which no path holds. The first start after an upgrade reads
// them once into the registry of live runs (`LiveRuns::OlderRecord`).
#pragma once

#include "VellumarMacCore/Foundations/LiveRuns.h"

#include <filesystem>

namespace vellumar::PathRecord {

// The absolute paths the record names, each an entry keyed by its path, read from its first 16 MiB
// without following a link; none when it cannot be read.
LiveRuns::Decoded read(const std::filesystem::path& record);

}
