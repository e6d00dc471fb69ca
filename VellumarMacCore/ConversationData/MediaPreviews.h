// The derived images that Claude Code looks at in place of an upload it cannot read: a JPEG copy
// of a HEIC or HEIF photo and four still frames spread over a video.
// Stateless; calls on different files may run at the same time on any threads.
#pragma once

#include "VellumarMacCore/Foundations/FolderTree.h"

#include <string>
#include <vector>

namespace vellumar::MediaPreviews {

inline constexpr double photoQuality = 0.85;
inline constexpr int frameCount = 4;
// Frames are scaled down to fit this square, keeping their proportions.
inline constexpr int maxFrameSize = 768;
inline constexpr double frameQuality = 0.7;
// Frame times are rounded to this many units per second.
inline constexpr int timeScale = 600;
// A frame this far before or after its requested time will do.
inline constexpr double frameToleranceSeconds = 0.5;

// "frame-" + number + ".jpg".
std::string frameFileName(int number);

// Writes a JPEG copy of the HEIC or HEIF photo `photoName` of the open folder `folder` as `copyName`
// beside it, replacing any file there, with mode 0600. False when the source is no photo it can read
// (nothing is written then) or the copy could not be written (no copy is left). Both files are
// reached only through the folder's descriptor and never through a link, so a folder swapped for a
// link meanwhile leads neither the read nor the write elsewhere. Runs on the caller's thread.
bool jpegCopy(const FolderTree& folder, const std::string& photoName, const std::string& copyName);

// Writes up to `frameCount` upright frames of the video `videoName` of the open folder `folder`,
// taken at 12.5 %, 37.5 %, 62.5 % and 87.5 % of its duration, as frame-1.jpg to frame-4.jpg (mode
// 0600) in its folder `framesName`, which is made private (a link in its place is removed first),
// reached as `jpegCopy` reaches its files. Gives the names of the files written, in time order; a
// frame that cannot be taken or written is skipped and leaves an older file of its name alone. Gives
// none and creates no folder when the video cannot be opened or has no positive duration. Never
// fails; runs on the caller's thread, one frame after another.
std::vector<std::string> videoFrames(
    const FolderTree& folder, const std::string& videoName, const std::string& framesName);

}
