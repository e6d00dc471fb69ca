// Dates as the menu shows them: the locale's medium date followed by its short time, by ICU.
#pragma once

#include <QString>

#include <chrono>

namespace vellumar {

// In the default locale and time zone (LANG and TZ as ICU reads them); any thread.
QString menuDateText(std::chrono::system_clock::time_point date);

}
