#include "Vellumar_for_Mac/Model/TextFormat.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(TextFormat, FillsPlaceholdersAndLeavesWrongOnesAsWritten)
{
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    const struct {
        const char* name;
        QString format;
        QList<TextArgument> arguments;
        QString expected;
    } cases[] = {
        { "text", "Paired with %s.", { QString("Pixel") }, "Paired with Pixel." },
        { "number with groups", "%d jobs", { std::int64_t(12345) }, "12,345 jobs" },
        { "negative number", "%d", { std::int64_t(-7) }, "-7" },
        { "positions swap", "%2$s before %1$s", { QString("a"), QString("b") }, "b before a" },
        { "position does not move the order", "%1$s %s %s", { QString("a"), QString("b") }, "a a b" },
        { "percent sign", "100%% done", {}, "100% done" },
        { "unknown conversion", "%x %@ %n", { QString("a") }, "%x %@ %n" },
        { "missing argument", "%s and %s", { QString("a") }, "a and %s" },
        { "number for text", "%s", { std::int64_t(3) }, "%s" },
        { "text for number", "%d", { QString("3") }, "%d" },
        { "position zero", "%0$s", { QString("a") }, "%0$s" },
        { "position past the arguments", "%3$s", { QString("a") }, "%3$s" },
        { "position too long", "%1234$s", { QString("a") }, "%1234$s" },
        { "trailing percent", "50%", {}, "50%" },
        { "argument holding a placeholder", "%s %s", { QString("%s"), QString("x") }, "%s x" },
        { "no placeholders", "Vellumar for Mac", { QString("a") }, "Vellumar for Mac" },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EXPECT_EQ(formatText(testCase.format, testCase.arguments, english), testCase.expected);
    }
}

TEST(TextFormat, NumbersFollowTheLocale)
{
    EXPECT_EQ(
        formatText("%d", { std::int64_t(1234567) }, QLocale(QLocale::German, QLocale::Germany)), "1.234.567");
}
