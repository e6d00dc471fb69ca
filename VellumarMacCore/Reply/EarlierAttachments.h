// The three replacements that turn attachment details of earlier turns into markers. Each gives what
// ICU's replaceAll gives for its pattern in Prompts.h, but in time linear in the text: the patterns begin
// with a starred class, so the regular expression engine backtracks over every long run of blanks or
// word characters again from each position in it, and a stored summary of a few hundred kilobytes would
// hold a turn for minutes. Bytes that are not UTF-8 are copied through and match nothing.
#pragma once

#include <string>
#include <string_view>

namespace vellumar::detail {

// `videoFramesLinePattern` replaced by "$1(video frames left out)".
std::string replaceVideoFramesLines(std::string_view text);
// `jpegCopyLinePattern` removed.
std::string removeJPEGCopyLines(std::string_view text);
// `framePathPattern` replaced by "(video frame)".
std::string replaceFramePaths(std::string_view text);

}
