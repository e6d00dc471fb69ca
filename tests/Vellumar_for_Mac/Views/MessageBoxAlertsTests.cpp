#include "Vellumar_for_Mac/Alerts/MessageBoxAlerts.h"

#include "tests/Vellumar_for_Mac/Views/ViewsFixture.h"

using namespace vellumar;
using namespace vellumar::test;

namespace {

class MessageBoxAlertsTest : public ViewsTest { };

}

TEST_F(MessageBoxAlertsTest, WhereNoOneCanAnswerTheSafeButtonCounts)
{
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    MessageBoxAlerts messageBoxes;
    for (int safe : { 0, 1 }) {
        EXPECT_EQ(messageBoxes.run({ .style = Alert::Style::warning,
                      .message = "Revoke Pixel?",
                      .buttons = { "Revoke", "Cancel" },
                      .safeButton = safe }),
            safe);
    }
}
