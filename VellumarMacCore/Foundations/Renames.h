// Renaming on any file system: NFS, 9p, sshfs and other FUSE file systems refuse renameat2's flags with
// EINVAL, and what the flags promise is then had by other steps, or refused.
#pragma once

#include <string>

namespace vellumar::Renames {

// Renames `from` in the open folder `fromFD` to `to` in `toFD` (either AT_FDCWD for a path), never
// following a link at either name nor replacing what is at `to`: 0, or the errno (EEXIST where `to` is
// taken). Where the file system refuses RENAME_NOREPLACE, what is not a folder gets a hard link at `to`,
// which fails where the name is taken, and then loses its name at `from` where that still names it; a
// folder, which cannot be hard-linked, is renamed over an empty folder made at `to` for it, which fails
// where the name is taken too.
int withoutReplacing(int fromFD, const std::string& from, int toFD, const std::string& to);

// Trades the names `first` and `second`, each in its open folder, in one step: 0, or the errno; EINVAL
// where the file system cannot, and the caller takes steps of its own.
int exchanged(int firstFD, const std::string& first, int secondFD, const std::string& second);

// For tests: from now on this process's renames are refused both flags with EINVAL where `refused`, as
// on such file systems; `folderMade`, where set, is called as a command would act, once the empty folder a
// folder is to be renamed over is made.
void refuseFlagsForTests(bool refused, void (*folderMade)(int folderFD, const std::string& name) = nullptr);

}
