// Readable failure messages for tests that compare RelayHTTPError values.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <ostream>

namespace vellumar {

inline void PrintTo(const RelayHTTPError& error, std::ostream* stream)
{
    *stream << error.status() << " " << error.code() << " \"" << error.message() << "\"";
}

}
