// The process entry: Claude Code starts this program with the permission switch to get its
// permission tool; any other start is the application's.
#include "VellumarMacCore/Permissions/PermissionMCPServer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

using namespace vellumar;

int main(int argc, char** argv)
{
    // The program path takes part: only the first exact switch counts, and the one argument after it.
    std::vector<std::string_view> arguments(argv, argv + argc);
    auto flag = std::find(arguments.begin(), arguments.end(), PermissionMCPServer::flag);
    if (flag != arguments.end()) {
        if (std::next(flag) == arguments.end())
            return 2;
        int status = PermissionMCPServer::run(std::string(*std::next(flag)));
        // Tool calls still waiting for the application run on threads of their own; ending without
        // static destructors keeps them from touching state that is being torn down.
        std::_Exit(status);
    }
    std::puts(
        "Vellumar for Mac: the reply engine is being built; the menu-bar application does not exist yet.");
    return 0;
}
