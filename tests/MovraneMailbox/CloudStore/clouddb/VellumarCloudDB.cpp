// vellumar-clouddb: drives the cloud database from a process of its own, for tests that need a
// second process on the same folder. It sets the account, queues failures for the store's next calls,
// and writes through the mailbox store as the other end would.
//
//   vellumar-clouddb FOLDER account [STATUS [USER]]       print (and set) the account's status and user
//   vellumar-clouddb FOLDER fail OPERATION CODE [RETRY-AFTER|- [COUNT]]
//   vellumar-clouddb FOLDER ensure-zone ZONE [mac]         make the zone, with the Mac's subscription
//   vellumar-clouddb FOLDER save-envelopes ZONE COUNT [PAYLOAD-BYTES]
//       prints "saved NAME" after each save, "busy SECONDS" for each busy answer and "network -" for
//       each lost connection, which it retries
//   vellumar-clouddb FOLDER save-presence ZONE
//
// The database is the one "cloud.json" beside FOLDER names, SQLite without it.
//
// Exits 0 on success, 1 when the store fails otherwise (the error on standard error), 2 on bad usage.
#include "MovraneMailbox/CloudStore/CloudKitMailboxStore.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "Platform/CloudDatabase.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace movrane;
using vellumar::platform::CloudAccountStatus;

std::optional<long> number(const std::string& text)
{
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

int usage()
{
    std::cerr << "usage: vellumar-clouddb FOLDER account|fail|ensure-zone|save-envelopes|save-presence ...\n";
    return 2;
}

int account(CloudKitMailboxStore& store, const std::vector<std::string>& arguments)
{
    auto& database = store.container();
    auto current = database.account();
    if (arguments.size() >= 1) {
        auto status = number(arguments[0]);
        if (!status)
            return usage();
        current.status = static_cast<CloudAccountStatus>(*status);
        if (arguments.size() >= 2)
            current.userRecordName = arguments[1];
        database.setAccount(current);
    }
    std::cout << static_cast<int>(current.status) << " " << current.userRecordName << std::endl;
    return 0;
}

int fail(CloudKitMailboxStore& store, const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2)
        return usage();
    auto code = number(arguments[1]);
    auto count = arguments.size() >= 4 ? number(arguments[3]) : std::optional<long>(1);
    std::optional<double> retryAfter;
    if (arguments.size() >= 3 && arguments[2] != "-")
        retryAfter = std::stod(arguments[2]);
    if (!code || !count)
        return usage();
    store.container().queueFailure(
        { arguments[0], static_cast<int>(*code), retryAfter, static_cast<int>(*count) });
    return 0;
}

int saveEnvelopes(CloudKitMailboxStore& store, const std::vector<std::string>& arguments)
{
    auto count = arguments.size() >= 2 ? number(arguments[1]) : std::nullopt;
    auto payloadBytes = arguments.size() >= 3 ? number(arguments[2]) : std::optional<long>(64);
    if (!count || !payloadBytes)
        return usage();
    for (long index = 0; index < *count; ++index) {
        MailboxEnvelopeRecord record(MailboxRecordName::envelope(), "mac", MailboxNotify::silent,
            std::chrono::system_clock::now(), *payloadBytes,
            MailboxBytes(static_cast<std::size_t>(*payloadBytes), 0x5A), std::nullopt);
        for (bool lostConnection = false;;) {
            try {
                store.saveEnvelope(record, arguments[0]);
                std::cout << "saved " << record.name << std::endl;
                break;
            } catch (const MailboxError& error) {
                // The save whose answer the lost connection took with it had committed after all.
                if (error.kind() == MailboxError::Kind::alreadyExists && lostConnection) {
                    std::cout << "saved " << record.name << std::endl;
                    break;
                }
                if (error.kind() == MailboxError::Kind::network) {
                    std::cout << "network -" << std::endl;
                    lostConnection = true;
                    // A server that is restarting refuses at once; the mailbox server's retry waits too.
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                    continue;
                }
                if (error.kind() != MailboxError::Kind::busy)
                    throw;
                std::cout << "busy " << error.retryAfter().value_or(-1) << std::endl;
            }
        }
    }
    return 0;
}

int run(const std::vector<std::string>& arguments)
{
    if (arguments.size() < 2)
        return usage();
    CloudKitMailboxStore store(std::string(MailboxProtocol::containerIdentifier), { .folder = arguments[0] });
    const std::string& command = arguments[1];
    std::vector<std::string> rest(arguments.begin() + 2, arguments.end());
    if (command == "account")
        return account(store, rest);
    if (command == "fail")
        return fail(store, rest);
    if (command == "save-envelopes")
        return saveEnvelopes(store, rest);
    if (rest.empty())
        return usage();
    if (command == "ensure-zone") {
        store.ensureZone(rest[0]);
        if (rest.size() >= 2 && rest[1] == "mac")
            store.saveSubscriptions({ { "vl.mac." + rest[0], "mac", std::nullopt, {} } }, rest[0]);
        return 0;
    }
    if (command == "save-presence") {
        store.savePresence({ std::chrono::system_clock::now(), MailboxBytes(32, 0x33) }, rest[0]);
        return 0;
    }
    return usage();
}

}

int main(int argc, char** argv)
{
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& error) {
        std::cerr << "vellumar-clouddb: " << error.what() << std::endl;
        return 1;
    }
}
