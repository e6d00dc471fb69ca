// The client's request exchange: one request envelope stored, then fetches on the poll schedule, all
// waiting callers sharing one fetch at a time, until the Mac's answer is filed; the answer's
// attachment fetched and decrypted, and the answer's record deleted.
#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Client/MailboxTemporaryFile.h"

#include <algorithm>
#include <cmath>

namespace movrane {

namespace {

    double secondsBetween(MailboxTime from, MailboxTime to)
    {
        return std::chrono::duration<double>(to - from).count();
    }

}

MailboxClient::Exchanged MailboxClient::exchange(const MailboxContent& content,
    const std::optional<std::filesystem::path>& bodyFile, double waitSeconds,
    const std::optional<std::filesystem::path>& saveTo, std::stop_token stop)
{
    auto start = m_clock->now();
    auto deadline = deadlineAfter(std::max(waitSeconds, m_configuration.minimumTimeout));
    auto kind = std::string(kindOf(content));
    auto sent = sendEnvelope(content, bodyFile, MailboxNotify::none, stop);
    {
        std::lock_guard lock(m_lock);
        m_awaiting.insert(sent.messageID);
    }
    try {
        std::optional<Answer> answer;
        if (!pollUntil(deadline, stop, [&] { return (answer = takeAnswer(sent.messageID)).has_value(); }))
            throw MailboxClientError();
        auto result = response(*answer, saveTo, stop);
        auto seconds = static_cast<long long>(std::trunc(secondsBetween(start, m_clock->now())));
        log("mailbox " + kind + " -> " + std::to_string(result.response.status) + " in "
            + std::to_string(seconds) + "s");
        std::lock_guard lock(m_lock);
        m_awaiting.erase(sent.messageID);
        return result;
    } catch (...) {
        log("mailbox " + kind + " -> " + mailboxErrorLogText(std::current_exception()));
        deleteInBackground(sent.recordName);
        std::optional<Answer> late;
        {
            std::lock_guard lock(m_lock);
            m_awaiting.erase(sent.messageID);
            // A fetch may have filed the answer since the wait gave up; nobody would ever take it.
            if (auto filed = m_answers.extract(sent.messageID))
                late = std::move(filed.mapped());
        }
        if (late)
            deleteInBackground(late->recordName);
        throw;
    }
}

MailboxTime MailboxClient::deadlineAfter(double seconds) const
{
    return m_clock->now()
        + std::chrono::duration_cast<MailboxTime::duration>(std::chrono::duration<double>(seconds));
}

bool MailboxClient::pollUntil(MailboxTime deadline, std::stop_token stop, const std::function<bool()>& found)
{
    for (std::size_t poll = 0;; ++poll) {
        if (found())
            return true;
        if (m_clock->now() >= deadline)
            return false;
        if (stop.stop_requested())
            throw MailboxCancelledError();
        auto failure = fetch(stop);
        // What an earlier page filed is the caller's even when a later page failed: the Mac has
        // already acted on it.
        if (found())
            return true;
        if (failure && !failure->isTransient())
            throw *failure;
        auto left = std::max(secondsBetween(m_clock->now(), deadline), 0.0);
        nap(std::min(m_configuration.pollInterval(poll), left), stop);
    }
}

std::optional<MailboxClient::Answer> MailboxClient::takeAnswer(const std::string& requestID)
{
    std::lock_guard lock(m_lock);
    auto filed = m_answers.find(requestID);
    if (filed == m_answers.end())
        return std::nullopt;
    auto answer = std::move(filed->second);
    m_answers.erase(filed);
    return answer;
}

std::optional<MailboxError> MailboxClient::fetch(std::stop_token stop)
{
    std::unique_lock lock(m_lock);
    auto run = m_fetching;
    if (!run) {
        run = std::make_shared<FetchRun>();
        m_fetching = run;
        lock.unlock();
        bool started = m_tasks.start([this, run](std::stop_token clientEnds) {
            std::optional<MailboxError> outcome = MailboxError(MailboxError::Kind::cancelled);
            try {
                outcome = fetchChanges(clientEnds);
            } catch (...) {
                // fetchChanges reports its failures; only running out of memory gets here.
            }
            finishFetch(run, outcome);
        });
        if (!started)
            finishFetch(run, MailboxError(MailboxError::Kind::cancelled));
        lock.lock();
    }
    if (!m_fetchEnded.wait(lock, stop, [&] { return run->outcome.has_value(); }))
        return MailboxError(MailboxError::Kind::cancelled);
    return *run->outcome;
}

void MailboxClient::finishFetch(
    const std::shared_ptr<FetchRun>& run, const std::optional<MailboxError>& outcome)
{
    {
        std::lock_guard lock(m_lock);
        run->outcome = outcome;
        if (m_fetching == run)
            m_fetching.reset();
    }
    m_fetchEnded.notify_all();
}

MailboxClient::Exchanged MailboxClient::response(
    const Answer& answer, const std::optional<std::filesystem::path>& saveTo, std::stop_token stop)
{
    const auto* content = std::get_if<MailboxResponseContent>(&answer.message.content);
    if (!content)
        throw MailboxCryptoError(MailboxCryptoError::Kind::invalidContent);
    auto response = content->response;
    const auto& key = answer.message.attachment;
    if (!key) {
        deleteInBackground(answer.recordName);
        return { std::move(response), false };
    }
    std::filesystem::path asset;
    try {
        asset = withStoreRetries(
            stop, [&] { return m_store->fetchAsset(answer.recordName, pairing().zoneName); });
    } catch (...) {
        deleteInBackground(answer.recordName);
        throw MailboxStoreRetry::mapped(std::current_exception());
    }
    MailboxTemporaryFile downloaded(asset);
    deleteInBackground(answer.recordName);
    if (saveTo && isSuccess(response.status)) {
        MailboxTemporaryFile::replace(*saveTo, [&](const std::filesystem::path& partial) {
            MailboxAttachmentCipher::decryptFile(asset, *key, partial);
        });
        return { std::move(response), true };
    }
    response.body = MailboxAttachmentCipher::decryptData(asset, *key, maxReceivedAttachmentBytes);
    return { std::move(response), false };
}

}
