#include "Vellumar_for_Mac/Model/AppModel.h"

#include <gtest/gtest.h>

using namespace vellumar;

namespace {

// Every text is "<key>!" so that a field filled from the wrong key shows it.
Texts markedTexts(const QStringList& keys)
{
    QHash<QString, QString> table;
    for (const auto& key : keys)
        table.insert(key, key + "!");
    return Texts(std::move(table));
}

}

TEST(AppModelLabels, EachActivityFieldComesFromItsKey)
{
    const struct {
        const char* key;
        std::string ActivityLabels::*field;
    } fields[] = {
        { "mac.activity.queued", &ActivityLabels::queued },
        { "mac.activity.starting", &ActivityLabels::starting },
        { "mac.activity.thinking", &ActivityLabels::thinking },
        { "mac.activity.reading", &ActivityLabels::reading },
        { "mac.activity.searching", &ActivityLabels::searchingFiles },
        { "mac.activity.writing", &ActivityLabels::writingFiles },
        { "mac.activity.command", &ActivityLabels::runningCommand },
        { "mac.activity.web", &ActivityLabels::browsing },
        { "mac.activity.working", &ActivityLabels::working },
        { "mac.activity.done", &ActivityLabels::done },
        { "mac.activity.failed", &ActivityLabels::failed },
        { "mac.activity.canceled", &ActivityLabels::canceled },
        { "mac.activity.interrupted", &ActivityLabels::interrupted },
        { "mac.activity.preparing", &ActivityLabels::preparing },
        { "mac.activity.writingReply", &ActivityLabels::writingReply },
        { "mac.activity.compacting", &ActivityLabels::compacting },
        { "mac.activity.waitingForApproval", &ActivityLabels::waitingForApproval },
        { "mac.activity.attaching", &ActivityLabels::attaching },
    };
    QStringList keys;
    for (const auto& field : fields)
        keys << field.key;
    ActivityLabels labels = AppModel::activityLabels(markedTexts(keys));
    for (const auto& field : fields) {
        SCOPED_TRACE(field.key);
        EXPECT_EQ(labels.*field.field, std::string(field.key) + "!");
    }
}

TEST(AppModelLabels, ApprovalLabelsAreTheTwoKinds)
{
    auto labels = AppModel::approvalLabels(markedTexts({ "mac.approval.bash", "mac.approval.write" }));
    EXPECT_EQ(
        labels, (RelayData::Labels { { "bash", "mac.approval.bash!" }, { "write", "mac.approval.write!" } }));
}

TEST(AppModelLabels, AMissingKeyShowsTheKey)
{
    ActivityLabels labels = AppModel::activityLabels(markedTexts({ "mac.activity.done" }));
    EXPECT_EQ(labels.done, "mac.activity.done!");
    EXPECT_EQ(labels.failed, "mac.activity.failed");
    EXPECT_EQ(AppModel::approvalLabels(Texts({})).at("write"), "mac.approval.write");
}
