// Checks that must see the file modes root ignores. Tests run as root, so such a check runs in a
// peer process: this test executable started again, which loads its libraries as root, closes
// itself into the test's folder with chroot (this machine's own root folder may be closed to other
// users, so no outside path would resolve), drops to user and group 65534 and only then runs the
// check, before any test or thread starts, so no sanitizer sees threads cross a fork.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

namespace vellumar::test {

using UnprivilegedCheck = std::string (*)(const std::string& argument);

// Call from a namespace-scope initializer. In a peer started for `name`, enters the root, drops
// privileges, writes check(argument) to standard output and exits ("setup failed" when it could
// not drop). Anywhere else it does nothing. Returns true.
bool registerUnprivilegedCheck(const char* name, UnprivilegedCheck check);

// Runs the check registered as `name` on `argument` in a peer confined to `root` as user 65534,
// and returns what it wrote. Paths in `argument` are seen from inside `root`.
std::string runUnprivileged(const char* name, const std::filesystem::path& root, const std::string& argument);

// A root for `runUnprivileged` in the temporary folder `temporary`, its links resolved, that user 65534
// may enter, holding `folders` that anyone may write.
std::filesystem::path sharedRoot(const std::filesystem::path& temporary, std::initializer_list<const char*> folders);

}
