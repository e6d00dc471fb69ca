#include "VellumarMacCore/Permissions/FolderProbe.h"

#include <string>

namespace vellumar::detail {

RelayHTTPError folderDidNotOpenInTime(std::string_view label)
{
    return RelayHTTPError(403, "folder_blocked",
        "\"" + std::string(label)
            + "\" did not open in time. If the Mac shows a privacy prompt for Vellumar for Mac, allow it, "
              "then "
              "try again.");
}

RelayHTTPError folderCouldNotBeRead(std::string_view label)
{
    return RelayHTTPError(403, "folder_blocked",
        "\"" + std::string(label)
            + "\" could not be read. Allow Vellumar for Mac in System Settings > Privacy & Security, then "
              "try "
              "again.");
}

RelayHTTPError folderNotFound(int status, std::string_view label)
{
    return RelayHTTPError(
        status, "folder_not_found", "The folder \"" + std::string(label) + "\" was not found.");
}

bool isPermissionRefusal(const std::error_code& error)
{
    return error == std::errc::permission_denied || error == std::errc::operation_not_permitted;
}

}
