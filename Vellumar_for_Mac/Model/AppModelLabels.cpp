// The texts the core writes into job progress and approval cards, localised once at launch.
#include "Vellumar_for_Mac/Model/AppModel.h"

namespace vellumar {

namespace {

    std::string textOf(const Texts& texts, const char* key)
    {
        return texts.text(QString::fromLatin1(key)).toStdString();
    }

}

ActivityLabels AppModel::activityLabels(const Texts& texts)
{
    return {
        .queued = textOf(texts, "mac.activity.queued"),
        .starting = textOf(texts, "mac.activity.starting"),
        .thinking = textOf(texts, "mac.activity.thinking"),
        .reading = textOf(texts, "mac.activity.reading"),
        .searchingFiles = textOf(texts, "mac.activity.searching"),
        .writingFiles = textOf(texts, "mac.activity.writing"),
        .runningCommand = textOf(texts, "mac.activity.command"),
        .browsing = textOf(texts, "mac.activity.web"),
        .working = textOf(texts, "mac.activity.working"),
        .done = textOf(texts, "mac.activity.done"),
        .failed = textOf(texts, "mac.activity.failed"),
        .canceled = textOf(texts, "mac.activity.canceled"),
        .interrupted = textOf(texts, "mac.activity.interrupted"),
        .preparing = textOf(texts, "mac.activity.preparing"),
        .writingReply = textOf(texts, "mac.activity.writingReply"),
        .compacting = textOf(texts, "mac.activity.compacting"),
        .waitingForApproval = textOf(texts, "mac.activity.waitingForApproval"),
        .attaching = textOf(texts, "mac.activity.attaching"),
    };
}

RelayData::Labels AppModel::approvalLabels(const Texts& texts)
{
    return {
        { "bash", textOf(texts, "mac.approval.bash") },
        { "write", textOf(texts, "mac.approval.write") },
    };
}

}
