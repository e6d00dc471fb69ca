// The cloud database's failure a request threw, for the cloud database suites.
#pragma once

#include "Platform/CloudRecord.h"

#include <functional>
#include <optional>

namespace vellumar::test {

struct CloudFailure {
    // 0 when the request succeeded.
    int code = 0;
    std::optional<double> retryAfter;
};

// The code of an item's error, 0 when it has none, so that a check of it never reads an absent one.
inline int itemErrorCode(const std::optional<platform::CloudDatabaseError>& error)
{
    return error ? error->code() : 0;
}

inline CloudFailure cloudFailureOf(const std::function<void()>& request)
{
    try {
        request();
    } catch (const platform::CloudDatabaseError& error) {
        return { error.code(), error.retryAfterSeconds() };
    }
    return {};
}

}
