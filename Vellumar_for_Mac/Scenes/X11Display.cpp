#include "Vellumar_for_Mac/Scenes/X11Display.h"

#include <xcb/xcb.h>

namespace vellumar {

bool x11DisplayReachable(const char* display)
{
    // A failed connection is still an object to free; its error says why it failed.
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    bool reached = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reached;
}

}
