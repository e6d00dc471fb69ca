// Pushes between the processes that share one cloud folder: each listener binds a Unix datagram
// socket in the folder's "push/" subfolder, and a writer sends every listener there one datagram
// per notification. Delivery is best effort, as a push service's is: a listener that has not read
// for a while misses what came meanwhile.
#pragma once

#include "Platform/CloudRecord.h"
#include "Platform/FileDescriptor.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vellumar::platform {

// The datagram every listener gets when the account's status or user changes.
inline constexpr std::string_view cloudAccountChangedNotice = "account changed";

// The JSON a listener gets when `recordName` was created in the subscription's zone and matched it:
// {"aps":{"content-available":1,...},"ck":{"cid":container,"qry":{"sid":id,"zid":zone,"rid":record,"fo":1}}}
std::string cloudNotificationJSON(std::string_view containerIdentifier,
    const CloudQuerySubscription& subscription, std::string_view recordName);

// Sends `message` to every socket in `pushFolder`; a socket nobody listens on any more is removed.
// Never throws.
void broadcastCloudPush(const std::filesystem::path& pushFolder, std::string_view message) noexcept;

// Where a process hears the cloud database's pushes, whichever database holds the container. One
// thread receives at a time.
class CloudPushListener {
public:
    virtual ~CloudPushListener() = default;
    // The next push (a notification's JSON or `cloudAccountChangedNotice`), or absent when none came
    // within `timeout`. Never throws.
    virtual std::optional<std::string> receive(std::chrono::milliseconds timeout) = 0;
};

// One listener of the shared SQLite database; its socket is removed when it is destroyed.
class CloudSocketPushListener final : public CloudPushListener {
public:
    // Binds a new socket in `pushFolder`, which must exist. Throws std::system_error.
    explicit CloudSocketPushListener(const std::filesystem::path& pushFolder);
    ~CloudSocketPushListener() override;
    CloudSocketPushListener(const CloudSocketPushListener&) = delete;
    CloudSocketPushListener& operator=(const CloudSocketPushListener&) = delete;

    std::optional<std::string> receive(std::chrono::milliseconds timeout) override;
    const std::filesystem::path& socketPath() const { return m_path; }

private:
    FileDescriptor m_socket;
    std::filesystem::path m_path;
};

}
