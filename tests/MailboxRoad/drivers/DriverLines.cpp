#include "tests/MailboxRoad/drivers/DriverLines.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>

namespace vellumar::road {

namespace {

    std::mutex& outputLock()
    {
        static std::mutex lock;
        return lock;
    }

}

std::int64_t wallMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void writeLine(const JSON& line)
{
    auto text = line.encoded() + "\n";
    std::lock_guard lock(outputLock());
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void emitEvent(std::string_view name, JSON::Object members)
{
    members.insert_or_assign("event", JSON(name));
    members.insert_or_assign("at", JSON(static_cast<long long>(wallMilliseconds())));
    writeLine(JSON(std::move(members)));
}

std::string textMember(const JSON& object, std::string_view key)
{
    const auto* member = object.subscript(key);
    return member && member->stringValue() ? *member->stringValue() : std::string();
}

void serveCommands(const std::function<JSON::Object(const JSON& command)>& handle)
{
    std::string text;
    while (std::getline(std::cin, text)) {
        auto command = JSON::decode(text);
        JSON::Object answer;
        if (!command || !command->objectValue()) {
            answer = { { "error", "bad command" } };
        } else {
            try {
                answer = handle(*command);
            } catch (const std::exception& failure) {
                answer = { { "error", failure.what() } };
            }
            if (const auto* id = command->subscript("id"))
                answer.insert_or_assign("id", *id);
        }
        writeLine(JSON(std::move(answer)));
    }
}

}
