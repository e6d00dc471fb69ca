// A Bonjour advertiser that reaches no daemon and only records what it was asked to publish.
#pragma once

#include "Platform/ServiceDiscovery.h"

#include <memory>
#include <mutex>
#include <vector>

namespace vellumar::test {

class RecordingServiceDiscovery final : public platform::ServiceDiscovery {
public:
    // Shared by every advertiser one factory makes; any thread.
    struct Record {
        std::vector<platform::ServiceAdvertisement> published() const
        {
            std::lock_guard lock(mutex);
            return services;
        }

        mutable std::mutex mutex;
        std::vector<platform::ServiceAdvertisement> services;
    };

    explicit RecordingServiceDiscovery(std::shared_ptr<Record> record)
        : m_record(std::move(record))
    {
    }

    void publish(platform::ServiceAdvertisement service) override
    {
        std::lock_guard lock(m_record->mutex);
        m_record->services.push_back(std::move(service));
    }
    void withdraw() override { }

    // A factory for a host's configuration, recording into `record`.
    static auto factory(std::shared_ptr<Record> record)
    {
        return [record]() -> std::unique_ptr<platform::ServiceDiscovery> {
            return std::make_unique<RecordingServiceDiscovery>(record);
        };
    }

private:
    std::shared_ptr<Record> m_record;
};

}
