// The machine's time zone as the application hands it to the core.
#pragma once

#include <unicode/timezone.h>

#include <memory>

namespace vellumar {

// The zone the host is set to now (TZ, else the /etc/localtime link), asked anew on every call so that
// a change while the application runs is seen; ICU's own default keeps the zone it found first. Any
// thread: ICU reads the host's zone into one buffer of its own, so the reads are taken one at a time.
std::unique_ptr<icu::TimeZone> hostTimeZone();

}
