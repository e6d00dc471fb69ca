#include "VellumarMacCore/Foundations/TerminalSize.h"

namespace vellumar {

std::optional<TerminalSize> TerminalSize::make(
    std::optional<std::int64_t> columns, std::optional<std::int64_t> rows)
{
    if (!columns || !rows || *columns < 1 || *columns > maxColumns || *rows < 1 || *rows > maxRows)
        return std::nullopt;
    return TerminalSize { static_cast<std::int32_t>(*columns), static_cast<std::int32_t>(*rows) };
}

}
