#include "Vellumar_for_Mac/Menu/MenuDates.h"

#include <unicode/datefmt.h>
#include <unicode/unistr.h>

#include <memory>

namespace vellumar {

QString menuDateText(std::chrono::system_clock::time_point date)
{
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort));
    if (!format)
        return {};
    auto milliseconds
        = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    format->format(static_cast<UDate>(milliseconds), text);
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

}
