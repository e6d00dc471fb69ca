// The refusals of permission checks as one comparable line, for tables of expected outcomes.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <string>

namespace vellumar::test {

// "<status> <code> <message>" of the RelayHTTPError that `action` throws, or "ok".
template <typename Action> std::string refusalOf(Action action)
{
    try {
        action();
        return "ok";
    } catch (const RelayHTTPError& error) {
        return std::to_string(error.status()) + " " + error.code() + " " + error.message();
    }
}

}
