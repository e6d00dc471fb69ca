// The one bridge from the application delegate's push callbacks to the model, which may not exist
// yet when the first answer comes.
#pragma once

#include <functional>
#include <optional>

namespace vellumar {

// Main thread only; no lock.
class PushRelay {
public:
    static PushRelay& shared();

    // None until the push registration was answered; then whether it succeeded.
    std::optional<bool> registered;
    std::function<void()> onPush;
    std::function<void(bool)> onRegistration;
};

}
