#include "Vellumar_for_Mac/Model/HostTimeZone.h"

#include <mutex>

namespace vellumar {

std::unique_ptr<icu::TimeZone> hostTimeZone()
{
    static std::mutex detecting;
    std::lock_guard guard(detecting);
    // ICU detects its default zone once, into that same buffer under a lock of its own. Asking for the
    // default first waits for that detection, or makes it, so none can run beside the one below.
    std::unique_ptr<icu::TimeZone> icuDefault(icu::TimeZone::createDefault());
    return std::unique_ptr<icu::TimeZone>(icu::TimeZone::detectHostTimeZone());
}

}
