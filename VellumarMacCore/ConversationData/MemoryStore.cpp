#include "VellumarMacCore/ConversationData/MemoryStore.h"

#include "VellumarMacCore/ConversationData/StoreFile.h"
#include "VellumarMacCore/Foundations/CleanText.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/Redaction.h"
#include "VellumarMacCore/Foundations/RelayHTTPError.h"
#include "VellumarMacCore/Foundations/RelayIDs.h"
#include "VellumarMacCore/Foundations/TextScanner.h"

#include <algorithm>
#include <set>

namespace vellumar {

namespace {

    // Thousands of conversations' full lists; a larger file is not read into memory.
    constexpr std::size_t maxFileBytes = 64 * 1024 * 1024;

    // Milliseconds since 1970, rounded to the nearest with halves away from zero.
    std::int64_t milliseconds(std::chrono::system_clock::time_point time)
    {
        auto nanoseconds
            = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
        constexpr std::int64_t perMillisecond = 1'000'000;
        auto whole = nanoseconds / perMillisecond;
        auto rest = nanoseconds % perMillisecond;
        if (rest >= perMillisecond / 2)
            ++whole;
        else if (rest <= -perMillisecond / 2)
            --whole;
        return whole;
    }

    const std::string* textMember(const JSON& memory, std::string_view key)
    {
        auto* value = memory.subscript(key);
        return value ? value->stringValue() : nullptr;
    }

    // Texts compare as canonically equivalent Unicode, as the phone's own comparison does.
    bool hasTextMember(const JSON& memory, std::string_view key, const JSON& text)
    {
        auto* value = memory.subscript(key);
        return value && value->stringValue() && *value == text;
    }

}

MemoryStore::MemoryStore(std::optional<std::filesystem::path> file, Clock clock)
    : m_file(std::move(file))
    , m_clock(std::move(clock))
{
    if (m_file)
        detail::removeStoreLeftovers(*m_file);
}

std::optional<MemoryStore::Lists> MemoryStore::readLists() const
{
    if (!m_file)
        return m_memoryOnly;
    Lists lists;
    auto content = detail::readStoreJSON(*m_file, maxFileBytes, JSON::Kind::object);
    if (content.unreadable)
        return std::nullopt;
    auto* members = content.document ? content.document->objectValue() : nullptr;
    if (!members)
        return lists;
    for (auto& [key, value] : *members) {
        auto* elements = value.arrayValue();
        if (!elements)
            continue;
        auto& list = lists[key];
        std::copy_if(elements->begin(), elements->end(), std::back_inserter(list),
            [](const JSON& element) { return element.objectValue() != nullptr; });
    }
    return lists;
}

bool MemoryStore::writeLists(Lists lists)
{
    std::erase_if(lists, [](const auto& list) { return list.second.empty(); });
    if (!m_file) {
        m_memoryOnly = std::move(lists);
        return true;
    }
    JSON::Object document;
    for (auto& [key, list] : lists)
        document.emplace(key, JSON(std::move(list)));
    return detail::writeStoreJSON(JSON(std::move(document)), *m_file);
}

MemoryStore::Lists MemoryStore::listsForChange() const
{
    auto lists = readLists();
    if (!lists)
        throw RelayHTTPError::internal();
    return std::move(*lists);
}

JSON MemoryStore::newMemory(std::string text) const
{
    return JSON::object({
        { "id", JSON("m-" + hexString(Random::bytes(4))) },
        { "text", JSON(std::move(text)) },
        { "at", JSON(milliseconds(m_clock())) },
    });
}

std::vector<JSON> MemoryStore::memories(std::string_view key)
{
    std::lock_guard guard(m_lock);
    auto lists = readLists().value_or(Lists {});
    auto found = lists.find(key);
    return found == lists.end() ? std::vector<JSON> {} : std::move(found->second);
}

MemoryStore::Changes MemoryStore::apply(std::string_view key, const std::vector<Op>& operations)
{
    std::lock_guard guard(m_lock);
    auto read = readLists();
    if (!read) {
        // The reply that asked for the change has already been given; only the log can tell.
        detail::logChangeRefused(*m_file);
        return {};
    }
    auto& lists = *read;
    auto& list = lists[std::string(key)];
    Changes changes;
    for (auto& operation : operations) {
        JSON text(operation.text);
        if (operation.kind == Op::Kind::forget) {
            auto forgotten = std::stable_partition(list.begin(), list.end(),
                [&](const JSON& memory) { return !hasTextMember(memory, "id", text); });
            for (auto memory = forgotten; memory != list.end(); ++memory) {
                if (auto* removed = textMember(*memory, "text"))
                    changes.removed.push_back(*removed);
            }
            list.erase(forgotten, list.end());
            continue;
        }
        if (std::any_of(list.begin(), list.end(),
                [&](const JSON& memory) { return hasTextMember(memory, "text", text); }))
            continue;
        list.push_back(newMemory(operation.text));
        changes.added.push_back(operation.text);
        while (list.size() > maxItems) {
            auto* removed = textMember(list.front(), "text");
            changes.removed.push_back(removed ? *removed : std::string());
            list.erase(list.begin());
        }
    }
    // A failed write is not reported: the reply that asked for the change has already been given.
    if (!changes.added.empty() || !changes.removed.empty())
        writeLists(std::move(lists));
    return changes;
}

std::vector<JSON> MemoryStore::replace(std::string_view key, const std::optional<JSON>& items)
{
    auto* elements = items ? items->arrayValue() : nullptr;
    if (!elements || elements->size() > maxItems)
        throw RelayHTTPError::badRequest("items must be a list of at most " + std::to_string(maxItems) + ".");

    std::lock_guard guard(m_lock);
    auto lists = listsForChange();
    std::map<std::string, const JSON*, std::less<>> stored;
    if (auto found = lists.find(key); found != lists.end()) {
        for (auto& memory : found->second) {
            auto* members = memory.objectValue();
            auto* id = textMember(memory, "id");
            if (members && !members->empty() && id)
                stored.emplace(*id, &memory); // the first of a repeated id wins
        }
    }

    std::vector<JSON> result;
    std::set<std::string, std::less<>> usedIDs;
    for (auto& item : *elements) {
        auto* members = item.objectValue();
        bool wellFormed = members && !members->empty() && textMember(item, "text")
            && std::all_of(members->begin(), members->end(),
                [](const auto& member) { return member.first == "id" || member.first == "text"; });
        if (!wellFormed)
            throw RelayHTTPError::badRequest(R"(Each item must be {"id": "m-...", "text": "..."}.)");
        auto text = cleanText(*textMember(item, "text"));
        if (!text)
            throw RelayHTTPError::badRequest(
                "Each memory must be 1 to " + std::to_string(maxLength) + " characters.");

        auto* id = item.subscript("id");
        if (!id || id->isNull()) {
            result.push_back(newMemory(std::move(*text)));
            continue;
        }
        auto* idText = id->stringValue();
        if (!idText || !isMemoryID(*idText))
            throw RelayHTTPError::badRequest("A memory ID is not valid.");
        auto known = stored.find(*idText);
        if (known == stored.end() || usedIDs.contains(*idText)) {
            // The id came from elsewhere or was listed twice: the memory is new.
            result.push_back(newMemory(std::move(*text)));
            continue;
        }
        usedIDs.insert(*idText);
        auto* at = known->second->subscript("at");
        result.push_back(JSON::object({
            { "id", JSON(*idText) },
            { "text", JSON(std::move(*text)) },
            { "at", at ? *at : JSON(milliseconds(m_clock())) },
        }));
    }

    lists.insert_or_assign(std::string(key), result);
    if (!writeLists(std::move(lists)))
        throw RelayHTTPError::internal();
    return result;
}

void MemoryStore::clear(std::string_view key)
{
    std::lock_guard guard(m_lock);
    auto lists = listsForChange();
    auto found = lists.find(key);
    if (found == lists.end())
        return;
    lists.erase(found);
    if (!writeLists(std::move(lists)))
        throw RelayHTTPError::internal();
}

std::optional<std::string> MemoryStore::cleanText(std::string_view text)
{
    detail::TextScanner scanner(text);
    std::string folded;
    for (std::size_t offset = 0; offset < scanner.size();) {
        auto blank = scanner.skip(offset, detail::isWhiteSpace);
        auto word = scanner.skip(blank.end, [](char32_t c) { return !detail::isWhiteSpace(c); });
        if (word.end > blank.end) {
            if (!folded.empty())
                folded += ' ';
            folded.append(text.substr(blank.end, word.end - blank.end));
        }
        offset = word.end;
    }
    auto masked = Redaction::redact(folded);
    if (masked.empty() || containsControlCharacters(masked) || characterCount(masked) > maxLength)
        return std::nullopt;
    return masked;
}

bool isMemoryID(std::string_view text)
{
    return text.size() == 10 && text.starts_with("m-")
        && std::all_of(text.begin() + 2, text.end(),
            [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}
