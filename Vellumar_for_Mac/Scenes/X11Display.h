// Whether an X display will take this program, asked before Qt tries it: Qt prints warnings of its
// own about a display it cannot reach before it falls back.
#pragma once

namespace vellumar {

// True when `display` (as DISPLAY names one) accepts a connection from this program, authorization
// included; the connection is closed again. Blocks while the display's host is slow to answer.
bool x11DisplayReachable(const char* display);

}
