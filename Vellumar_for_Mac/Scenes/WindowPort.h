// How a view opens and closes the application's windows by identifier ("pair", "setup") without
// knowing them: the scenes fill the port.
#pragma once

#include <QString>

#include <functional>

namespace vellumar {

struct WindowPort {
    std::function<void(const QString& identifier)> openWindow;
    std::function<void(const QString& identifier)> dismissWindow;
    // Brings the application's windows to the front.
    std::function<void()> activate;
};

}
