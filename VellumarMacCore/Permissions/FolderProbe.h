// A timed look into a folder, and how its failures are told to the phone: the same sentences
// wherever a folder is opened, whether to grant it or to browse it.
#pragma once

#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Permissions/PermissionResolver.h"

#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>

namespace vellumar::detail {

// 403 "folder_blocked": the folder did not answer within the probe time-out.
RelayHTTPError folderDidNotOpenInTime(std::string_view label);
// 403 "folder_blocked": the folder's listing was refused.
RelayHTTPError folderCouldNotBeRead(std::string_view label);
// `status` "folder_not_found".
RelayHTTPError folderNotFound(int status, std::string_view label);
// The errors with which the system refuses a listing to this user.
bool isPermissionRefusal(const std::error_code& error);

// Runs `body` in the resolver's timed probe. The body returns an optional value, nullopt when
// nothing usable is at the folder's place. Returns the value, or throws RelayHTTPError: "did not
// open in time" on time-out, the body's own RelayHTTPError unchanged, "could not be read" when
// the listing was refused, and `notFoundStatus` "folder_not_found" for anything else.
template <typename Body>
auto openedInProbe(const PermissionResolver& resolver, std::string_view label, int notFoundStatus, Body body)
    -> typename std::invoke_result_t<Body&>::value_type
{
    std::optional<std::invoke_result_t<Body&>> opened;
    try {
        opened = resolver.probe(std::move(body));
    } catch (const RelayHTTPError&) {
        throw;
    } catch (const std::filesystem::filesystem_error& error) {
        if (isPermissionRefusal(error.code()))
            throw folderCouldNotBeRead(label);
        throw folderNotFound(notFoundStatus, label);
    } catch (...) {
        throw folderNotFound(notFoundStatus, label);
    }
    if (!opened)
        throw folderDidNotOpenInTime(label);
    if (!*opened)
        throw folderNotFound(notFoundStatus, label);
    return std::move(**opened);
}

}
