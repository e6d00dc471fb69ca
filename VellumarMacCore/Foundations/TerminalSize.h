// The size of a terminal window in character cells, with the bounds every size asked for must keep.
#pragma once

#include <cstdint>
#include <optional>

namespace vellumar {

struct TerminalSize {
    static constexpr std::int32_t maxColumns = 1000;
    static constexpr std::int32_t maxRows = 500;

    std::int32_t columns = 80;
    std::int32_t rows = 24;

    static const TerminalSize standard;

    // A size only when both counts are given and within 1...max.
    static std::optional<TerminalSize> make(
        std::optional<std::int64_t> columns, std::optional<std::int64_t> rows);

    friend bool operator==(const TerminalSize&, const TerminalSize&) = default;
};

inline constexpr TerminalSize TerminalSize::standard { 80, 24 };

}
