#include "VellumarMacCore/Foundations/RelayHTTPError.h"

#include <utility>

namespace vellumar {

RelayHTTPError::RelayHTTPError(
    int status, std::string code, std::string message, std::optional<int> retryAfter)
    : m_status(status)
    , m_code(std::move(code))
    , m_message(std::move(message))
    , m_retryAfter(retryAfter)
{
}

RelayHTTPError RelayHTTPError::badRequest(std::string message)
{
    return RelayHTTPError(400, "bad_request", std::move(message));
}

RelayHTTPError RelayHTTPError::internal()
{
    return RelayHTTPError(500, "internal", "Something went wrong on the Mac.");
}

JSON RelayHTTPError::json() const
{
    return JSON::object({ { "code", m_code }, { "status", m_status }, { "message", m_message } });
}

bool operator==(const RelayHTTPError& lhs, const RelayHTTPError& rhs) noexcept
{
    return lhs.m_status == rhs.m_status && lhs.m_code == rhs.m_code && lhs.m_message == rhs.m_message
        && lhs.m_retryAfter == rhs.m_retryAfter;
}

}
