#include "VellumarMacCore/ConversationData/SessionStore.h"

#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"

#include <algorithm>
#include <new>
#include <utility>

namespace vellumar {

namespace {

    // Far beyond what bounded entries reach for any plausible number of conversations; a larger file
    // is not read into memory.
    constexpr std::size_t maxFileBytes = 256 * 1024 * 1024;

    std::int64_t wholeSeconds(std::chrono::system_clock::time_point time)
    {
        // duration_cast truncates towards zero.
        return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
    }

    // Nullptr when there is no entry or no such member.
    const JSON* member(const SessionStore::Entry* entry, std::string_view key)
    {
        if (!entry)
            return nullptr;
        auto found = entry->find(key);
        return found == entry->end() ? nullptr : &found->second;
    }

    const JSON::Array* arrayMember(const SessionStore::Entry* entry, std::string_view key)
    {
        auto* value = member(entry, key);
        return value ? value->arrayValue() : nullptr;
    }

    // A member that is not an array counts as an empty list.
    JSON::Array storedArray(const SessionStore::Entry& entry, std::string_view key)
    {
        auto* stored = arrayMember(&entry, key);
        return stored ? *stored : JSON::Array {};
    }

    JSON appendingKeepingLast(JSON::Array elements, JSON element, std::size_t limit)
    {
        elements.push_back(std::move(element));
        if (elements.size() > limit)
            elements.erase(elements.begin(), elements.end() - static_cast<std::ptrdiff_t>(limit));
        return JSON(std::move(elements));
    }

    // The conversation's entry when it is not empty and belongs to the bot. Texts compare as
    // canonically equivalent Unicode, so a bot id in another normal form still matches.
    template <typename Data>
    auto findEntryForBot(Data& data, std::string_view conversationID, std::string_view botID)
        -> decltype(&data.begin()->second)
    {
        auto found = data.find(conversationID);
        if (found == data.end() || found->second.empty())
            return nullptr;
        auto* bot = member(&found->second, "botId");
        if (!bot || !bot->stringValue() || !(*bot == JSON(botID)))
            return nullptr;
        return &found->second;
    }

    // A day turn counts while its time is a whole number of seconds after the cutoff.
    bool isDayTurnAfter(const JSON& turn, std::int64_t cutoff)
    {
        auto* object = turn.objectValue();
        if (!object || object->empty())
            return false;
        auto* at = turn.subscript("at");
        auto seconds = at ? at->intValue() : std::nullopt;
        return seconds && *seconds > cutoff;
    }

    std::string stringMember(const JSON& object, std::string_view key)
    {
        auto* value = object.subscript(key);
        auto* text = value ? value->stringValue() : nullptr;
        return text ? *text : std::string();
    }

    // `,"<id>":<entry>`. Throws std::bad_alloc when memory runs out, which the encoder would answer
    // with "null" in place of the entry.
    std::string encodedMember(std::string_view conversationID, const SessionStore::Entry& entry)
    {
        auto key = JSON(conversationID).encoded();
        auto value = JSON(entry).encoded();
        if (!key.starts_with('"') || !value.starts_with('{'))
            throw std::bad_alloc();
        std::string member;
        member.reserve(1 + key.size() + 1 + value.size());
        member.append(",").append(key).append(":").append(value);
        return member;
    }

    // Absent while the file cannot be read.
    std::optional<std::map<std::string, SessionStore::Entry, std::less<>>> loadEntries(
        const std::filesystem::path& file)
    {
        std::map<std::string, SessionStore::Entry, std::less<>> entries;
        auto content = detail::readStoreJSON(file, maxFileBytes, JSON::Kind::object);
        if (content.unreadable)
            return std::nullopt;
        auto* members = content.document ? content.document->objectValue() : nullptr;
        if (!members)
            return entries;
        for (auto& [conversationID, value] : *members) {
            auto* entry = value.objectValue();
            if (entry && RelayIDs::isValidConversationID(conversationID))
                entries.emplace(conversationID, *entry);
        }
        return entries;
    }

}

SessionStore::SessionStore(std::optional<std::filesystem::path> file, Clock clock)
    : m_file(std::move(file))
    , m_clock(std::move(clock))
{
    if (m_file)
        detail::removeStoreLeftovers(*m_file);
    else
        m_loaded = true;
    loadUnlessLoaded();
}

void SessionStore::loadUnlessLoaded()
{
    if (m_loaded)
        return;
    if (auto entries = loadEntries(*m_file)) {
        m_data = std::move(*entries);
        m_loaded = true;
        m_allUnencoded = true;
        encodeChangedMembers();
    }
}

bool SessionStore::encodeChangedMembers() noexcept
{
    try {
        if (m_allUnencoded) {
            m_encodedMembers.clear();
            m_unencoded.clear();
            for (const auto& [conversationID, entry] : m_data)
                m_encodedMembers.emplace_hint(
                    m_encodedMembers.end(), conversationID, encodedMember(conversationID, entry));
            m_allUnencoded = false;
        }
        while (!m_unencoded.empty()) {
            auto conversationID = m_unencoded.begin();
            auto entry = m_data.find(*conversationID);
            if (entry != m_data.end())
                m_encodedMembers.insert_or_assign(
                    *conversationID, encodedMember(*conversationID, entry->second));
            else if (auto gone = m_encodedMembers.find(*conversationID); gone != m_encodedMembers.end())
                m_encodedMembers.erase(gone);
            m_unencoded.erase(conversationID);
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool SessionStore::Locked::refusedWhileUnread() const
{
    if (m_store.m_loaded)
        return false;
    detail::logChangeRefused(*m_store.m_file);
    return true;
}

const SessionStore::Entry* SessionStore::Locked::entryForBot(
    std::string_view conversationID, std::string_view botID) const
{
    return findEntryForBot(std::as_const(m_store.m_data), conversationID, botID);
}

SessionStore::Entry& SessionStore::Locked::entryForWriting(
    std::string_view conversationID, std::string_view botID)
{
    if (auto* existing = findEntryForBot(m_store.m_data, conversationID, botID))
        return *existing;
    auto& entry = m_store.m_data[std::string(conversationID)];
    entry = Entry { { "botId", JSON(botID) } };
    return entry;
}

std::int64_t SessionStore::Locked::nowSeconds() const { return wholeSeconds(m_store.m_clock()); }

SessionStore::Locked::~Locked() { saveIfChanged(); }

void SessionStore::Locked::changed(std::string_view conversationID) noexcept
{
    m_changed = true;
    if (!m_store.m_file)
        return;
    try {
        m_store.m_unencoded.emplace(conversationID);
    } catch (const std::bad_alloc&) {
        m_store.m_allUnencoded = true;
    }
}

void SessionStore::Locked::saveIfChanged() const noexcept
{
    // A failed write, or a member that could not be encoded, keeps the change in memory; the next
    // successful save writes everything.
    if (!m_changed || !m_store.m_file || !m_store.encodeChangedMembers())
        return;
    try {
        // The members as they are, in the order and form the encoder gives the whole object, so that
        // a large store is neither encoded again nor copied once more as a document.
        std::vector<std::string_view> pieces;
        pieces.reserve(m_store.m_encodedMembers.size() + 2);
        pieces.emplace_back("{");
        for (const auto& [conversationID, member] : m_store.m_encodedMembers)
            pieces.push_back(std::string_view(member).substr(pieces.size() == 1 ? 1 : 0));
        pieces.emplace_back("}");
        detail::writeStorePieces(pieces, *m_store.m_file);
    } catch (const std::bad_alloc&) {
        // No memory for the list of pieces: the change stays in memory and the next write takes it.
    }
}

std::optional<std::string> SessionStore::Locked::sessionID(
    std::string_view conversationID, std::string_view botID) const
{
    auto* stored = member(entryForBot(conversationID, botID), "sessionId");
    auto* text = stored ? stored->stringValue() : nullptr;
    if (!text || !isValidSessionID(*text))
        return std::nullopt;
    return *text;
}

std::optional<SessionStore::Entry> SessionStore::Locked::entry(
    std::string_view conversationID, std::string_view botID) const
{
    auto* entry = entryForBot(conversationID, botID);
    return entry ? std::optional(*entry) : std::nullopt;
}

std::optional<double> SessionStore::Locked::lastSession(
    std::string_view conversationID, std::string_view botID) const
{
    auto* entry = entryForBot(conversationID, botID);
    // Any session id counts here, even one that `sessionID` would not hand out.
    auto* updatedAt = member(entry, "sessionId") ? member(entry, "updatedAt") : nullptr;
    auto seconds = updatedAt ? updatedAt->intValue() : std::nullopt;
    if (!seconds)
        return std::nullopt;
    return static_cast<double>(nowSeconds() - *seconds);
}

std::optional<SessionStore::State> SessionStore::Locked::state(
    std::string_view conversationID, std::string_view botID) const
{
    auto* stored = member(entryForBot(conversationID, botID), "state");
    auto* members = stored ? stored->objectValue() : nullptr;
    if (!members)
        return std::nullopt;
    State state;
    for (auto& [key, value] : *members) {
        if (auto* text = value.stringValue())
            state.emplace(key, *text);
    }
    return state;
}

std::optional<std::int64_t> SessionStore::Locked::contextTokens(
    std::string_view conversationID, std::string_view botID) const
{
    auto* stored = member(entryForBot(conversationID, botID), "contextTokens");
    return stored ? stored->intValue() : std::nullopt;
}

bool SessionStore::Locked::actions(std::string_view conversationID, std::string_view botID) const
{
    auto* stored = member(entryForBot(conversationID, botID), "actions");
    return stored && stored->boolValue().value_or(false);
}

SessionStore::SummaryAndRecent SessionStore::Locked::summaryAndRecent(
    std::string_view conversationID, std::string_view botID) const
{
    auto* entry = entryForBot(conversationID, botID);
    SummaryAndRecent result;
    if (auto* summary = member(entry, "summary"); summary && summary->stringValue())
        result.summary = *summary->stringValue();
    if (auto* recent = arrayMember(entry, "recent"))
        result.recent = *recent;
    return result;
}

std::vector<SessionStore::PostedResult> SessionStore::Locked::postedResults(
    std::string_view conversationID, std::string_view botID) const
{
    std::vector<PostedResult> results;
    if (auto* posted = arrayMember(entryForBot(conversationID, botID), "posted")) {
        // One pair per element, whatever its shape, so that a count of results handed over matches
        // what `dropPosted` removes.
        for (auto& element : *posted)
            results.push_back({ stringMember(element, "routine"), stringMember(element, "reply") });
    }
    return results;
}

std::vector<SessionStore::Turn> SessionStore::Locked::todayTurns(
    std::string_view conversationID, std::string_view botID) const
{
    std::int64_t cutoff = nowSeconds() - todayWindow.count();
    std::vector<Turn> turns;
    auto* today = arrayMember(entryForBot(conversationID, botID), "today");
    if (!today)
        return turns;
    for (auto& element : *today) {
        if (!isDayTurnAfter(element, cutoff))
            continue;
        std::chrono::seconds at { *element.subscript("at")->intValue() };
        turns.push_back({ std::chrono::system_clock::time_point(at), stringMember(element, "user"),
            stringMember(element, "reply") });
    }
    return turns;
}

void SessionStore::Locked::recordReply(std::string_view conversationID, std::string_view botID,
    std::string_view sessionID, const ReplyDetails& details)
{
    if (refusedWhileUnread())
        return;
    Entry entry {
        { "sessionId", JSON(sessionID) },
        { "botId", JSON(botID) },
        { "updatedAt", JSON(nowSeconds()) },
    };
    // Another bot's handover material is not this bot's to see.
    if (auto* previous = entryForBot(conversationID, botID)) {
        for (std::string_view key : { "summary", "recent", "posted", "today" }) {
            if (auto* value = member(previous, key))
                entry.insert_or_assign(std::string(key), *value);
        }
    }
    if (details.summary) {
        entry.insert_or_assign("summary", JSON(*details.summary));
        // The turns the summary covers are no longer recent.
        entry.erase("recent");
    }
    if (details.state) {
        JSON::Object state;
        for (auto& [key, value] : *details.state)
            state.emplace(key, JSON(value));
        entry.insert_or_assign("state", JSON(std::move(state)));
    }
    if (details.actions)
        entry.insert_or_assign("actions", JSON(*details.actions));
    if (details.contextTokens)
        entry.insert_or_assign("contextTokens", JSON(*details.contextTokens));
    m_store.m_data.insert_or_assign(std::string(conversationID), std::move(entry));
    changed(conversationID);
}

void SessionStore::Locked::recordTurn(
    std::string_view conversationID, std::string_view botID, std::string_view user, std::string_view reply)
{
    if (refusedWhileUnread())
        return;
    auto userText = prefixCharacters(user, maxTurnCharacters);
    auto replyText = prefixCharacters(reply, maxTurnCharacters);
    auto& entry = entryForWriting(conversationID, botID);
    entry.insert_or_assign("recent",
        appendingKeepingLast(storedArray(entry, "recent"),
            JSON::object({ { "user", JSON(userText) }, { "reply", JSON(replyText) } }), maxRecent));

    std::int64_t cutoff = nowSeconds() - todayWindow.count();
    auto today = storedArray(entry, "today");
    std::erase_if(today, [cutoff](const JSON& turn) { return !isDayTurnAfter(turn, cutoff); });
    entry.insert_or_assign("today",
        appendingKeepingLast(std::move(today),
            JSON::object({ { "at", JSON(nowSeconds()) }, { "user", JSON(std::move(userText)) },
                { "reply", JSON(std::move(replyText)) } }),
            maxToday));
    changed(conversationID);
}

void SessionStore::Locked::recordRoutineResult(
    std::string_view conversationID, std::string_view botID, std::string_view routine, std::string_view reply)
{
    if (refusedWhileUnread())
        return;
    auto& entry = entryForWriting(conversationID, botID);
    entry.insert_or_assign("posted",
        appendingKeepingLast(storedArray(entry, "posted"),
            JSON::object({ { "routine", JSON(routine) },
                { "reply", JSON(prefixCharacters(reply, maxPostedCharacters)) } }),
            maxPosted));
    // Routine results reach the recent turns but never the day turns, which hold chat only.
    entry.insert_or_assign("recent",
        appendingKeepingLast(storedArray(entry, "recent"),
            JSON::object({ { "routine", JSON(routine) },
                { "reply", JSON(prefixCharacters(reply, maxTurnCharacters)) } }),
            maxRecent));
    changed(conversationID);
}

void SessionStore::Locked::dropPosted(
    std::string_view conversationID, std::string_view botID, std::int64_t count)
{
    if (refusedWhileUnread())
        return;
    auto* entry = findEntryForBot(m_store.m_data, conversationID, botID);
    auto* posted = arrayMember(entry, "posted");
    if (count <= 0 || !posted)
        return;
    if (static_cast<std::uint64_t>(count) >= posted->size())
        entry->erase("posted");
    else
        entry->insert_or_assign("posted", JSON(JSON::Array(posted->begin() + count, posted->end())));
    changed(conversationID);
}

void SessionStore::Locked::endSession(std::string_view conversationID)
{
    if (refusedWhileUnread())
        return;
    auto found = m_store.m_data.find(conversationID);
    if (found == m_store.m_data.end())
        return;
    erase_if(found->second, [](const auto& member) {
        return std::find(handoverKeys.begin(), handoverKeys.end(), member.first) == handoverKeys.end();
    });
    if (found->second.size() <= 1)
        m_store.m_data.erase(found);
    changed(conversationID);
}

bool SessionStore::Locked::forgetSession(std::string_view conversationID)
{
    if (refusedWhileUnread())
        return false;
    auto found = m_store.m_data.find(conversationID);
    if (found == m_store.m_data.end())
        return false;
    bool hadSession = found->second.contains("sessionId");
    m_store.m_data.erase(found);
    changed(conversationID);
    return hadSession;
}

std::optional<std::string> SessionStore::sessionID(std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.sessionID(conversationID, botID); });
}

std::optional<SessionStore::Entry> SessionStore::entry(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.entry(conversationID, botID); });
}

std::optional<double> SessionStore::lastSession(std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.lastSession(conversationID, botID); });
}

std::optional<SessionStore::State> SessionStore::state(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.state(conversationID, botID); });
}

std::optional<std::int64_t> SessionStore::contextTokens(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.contextTokens(conversationID, botID); });
}

bool SessionStore::actions(std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.actions(conversationID, botID); });
}

SessionStore::SummaryAndRecent SessionStore::summaryAndRecent(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.summaryAndRecent(conversationID, botID); });
}

std::vector<SessionStore::PostedResult> SessionStore::postedResults(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.postedResults(conversationID, botID); });
}

std::vector<SessionStore::Turn> SessionStore::todayTurns(
    std::string_view conversationID, std::string_view botID)
{
    return withLock([&](Locked& store) { return store.todayTurns(conversationID, botID); });
}

void SessionStore::recordReply(std::string_view conversationID, std::string_view botID,
    std::string_view sessionID, const ReplyDetails& details)
{
    withLock([&](Locked& store) { store.recordReply(conversationID, botID, sessionID, details); });
}

void SessionStore::recordTurn(
    std::string_view conversationID, std::string_view botID, std::string_view user, std::string_view reply)
{
    withLock([&](Locked& store) { store.recordTurn(conversationID, botID, user, reply); });
}

void SessionStore::recordRoutineResult(
    std::string_view conversationID, std::string_view botID, std::string_view routine, std::string_view reply)
{
    withLock([&](Locked& store) { store.recordRoutineResult(conversationID, botID, routine, reply); });
}

void SessionStore::dropPosted(std::string_view conversationID, std::string_view botID, std::int64_t count)
{
    if (count <= 0)
        return;
    withLock([&](Locked& store) { store.dropPosted(conversationID, botID, count); });
}

void SessionStore::endSession(std::string_view conversationID)
{
    withLock([&](Locked& store) { store.endSession(conversationID); });
}

bool SessionStore::forgetSession(std::string_view conversationID)
{
    return withLock([&](Locked& store) { return store.forgetSession(conversationID); });
}

}
