// The wire metadata: the JSON object inside every envelope that says what the message is ("kind" and its
// payload object), names it ("id"), dates its expiry ("exp", milliseconds) and may carry the attachment
// key. Sender, recipient and sequence number travel in the envelope header instead.
#include "MovraneMailbox/Protocol/MailboxCipher.h"

#include "MovraneMailbox/Protocol/MailboxDecodingError.h"
#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Protocol/MailboxJSONReader.h"
#include "MovraneMailbox/Protocol/MailboxProtocol.h"
#include "VellumarMacCore/Foundations/Graphemes.h"
#include "VellumarMacCore/Foundations/JSON.h"

namespace movrane::MailboxCipher {

namespace {

    using vellumar::JSON;
    using Kind = MailboxCryptoError::Kind;

    constexpr std::size_t kMaxEventNameCharacters = 64;

    [[noreturn]] void refuse() { throw MailboxCryptoError(Kind::invalidContent); }

    bool isStatus(std::int64_t status) { return status >= 100 && status <= 599; }

    JSON headersJSON(const MailboxHeaderMap& headers)
    {
        JSON::Object object;
        for (const auto& [name, value] : headers)
            object.emplace(name, JSON(value));
        return JSON(std::move(object));
    }

    using Reader = MailboxJSONReader;

    std::optional<Reader> payloadObject(const Reader& metadata, std::string_view key)
    {
        const JSON* value = metadata.optionalMember(key);
        return value ? std::optional<Reader>(std::in_place, *value) : std::nullopt;
    }

    MailboxWatch watchFrom(const Reader& reader)
    {
        return { reader.string("jobId"), reader.optionalInteger("since"), reader.boolean("background") };
    }
    MailboxJobState jobStateFrom(const Reader& reader)
    {
        return { reader.string("jobId"), reader.integer("version"), reader.boolean("finished") };
    }
    MailboxPresence presenceFrom(const Reader& reader)
    {
        return { reader.integer("mailboxVersion"), reader.integer("apiVersion"), reader.optionalString("appVersion"),
            reader.optionalString("macName") };
    }
    MailboxRelayRequest requestFrom(const Reader& reader, MailboxBytes body)
    {
        return MailboxRelayRequest::make(reader.string("method"), reader.string("path"),
            reader.optionalString("query"), reader.stringMap("headers"), std::move(body));
    }
    struct WireResponse {
        std::string replyTo;
        std::int64_t status;
        std::vector<std::pair<std::string, std::string>> headers;
    };
    WireResponse responseFrom(const Reader& reader)
    {
        return { reader.string("replyTo"), reader.integer("status"), reader.stringMap("headers") };
    }

    // Every payload object present is read, whatever the kind, so a malformed one refuses the message.
    void checkAllPayloads(const Reader& metadata)
    {
        if (auto object = payloadObject(metadata, "request"))
            requestFrom(*object, {});
        if (auto object = payloadObject(metadata, "response"))
            responseFrom(*object);
        if (auto object = payloadObject(metadata, "watch"))
            watchFrom(*object);
        if (auto object = payloadObject(metadata, "jobState"))
            jobStateFrom(*object);
        if (auto object = payloadObject(metadata, "event"))
            object->string("name");
        if (auto object = payloadObject(metadata, "presence"))
            presenceFrom(*object);
    }

    std::pair<std::string, JSON> payloadOf(const MailboxContent& content)
    {
        return std::visit(
            [](const auto& value) -> std::pair<std::string, JSON> {
                using Case = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<Case, MailboxRelayRequest>) {
                    if (!value.isValid())
                        refuse();
                    JSON::Object object { { "method", JSON(value.method) }, { "path", JSON(value.path) },
                        { "headers", headersJSON(value.headers) } };
                    if (value.query)
                        object.emplace("query", JSON(*value.query));
                    return { "request", JSON(std::move(object)) };
                } else if constexpr (std::is_same_v<Case, MailboxResponseContent>) {
                    if (!MailboxMessageID::isValid(value.replyTo) || !isStatus(value.response.status))
                        refuse();
                    return { "response",
                        JSON::object({ { "replyTo", value.replyTo }, { "status", value.response.status },
                            { "headers", headersJSON(value.response.headers) } }) };
                } else if constexpr (std::is_same_v<Case, MailboxWatch>) {
                    JSON::Object object { { "jobId", JSON(value.jobId) }, { "background", JSON(value.background) } };
                    if (value.since)
                        object.emplace("since", JSON(static_cast<long long>(*value.since)));
                    return { "watch", JSON(std::move(object)) };
                } else if constexpr (std::is_same_v<Case, MailboxJobStateContent>) {
                    return { "jobState",
                        JSON::object({ { "jobId", value.state.jobId },
                            { "version", static_cast<long long>(value.state.version) },
                            { "finished", value.state.finished } }) };
                } else if constexpr (std::is_same_v<Case, MailboxEvent>) {
                    return { "event", JSON::object({ { "name", value.name } }) };
                } else {
                    JSON::Object object { { "mailboxVersion", JSON(static_cast<long long>(value.mailboxVersion)) },
                        { "apiVersion", JSON(static_cast<long long>(value.apiVersion)) } };
                    if (value.appVersion)
                        object.emplace("appVersion", JSON(*value.appVersion));
                    if (value.macName)
                        object.emplace("macName", JSON(*value.macName));
                    return { "presence", JSON(std::move(object)) };
                }
            },
            content);
    }

    MailboxContent contentOf(const Reader& metadata, const std::string& kind, MailboxBytes body)
    {
        auto payload = payloadObject(metadata, kind);
        if (!payload)
            refuse();
        if (kind == "request") {
            auto request = requestFrom(*payload, std::move(body));
            if (!request.isValid())
                refuse();
            return request;
        }
        if (kind == "response") {
            auto wire = responseFrom(*payload);
            if (!MailboxMessageID::isValid(wire.replyTo) || !isStatus(wire.status))
                refuse();
            return MailboxResponseContent { wire.replyTo,
                MailboxRelayResponse::make(static_cast<int>(wire.status), wire.headers, std::move(body)) };
        }
        if (kind == "jobState")
            return MailboxJobStateContent { jobStateFrom(*payload), std::move(body) };
        if (kind == "event") {
            auto name = payload->string("name");
            auto characters = vellumar::characterCount(name);
            if (characters == 0 || characters > kMaxEventNameCharacters)
                refuse();
            return MailboxEvent { std::move(name), std::move(body) };
        }
        if (!body.empty())
            refuse();
        if (kind == "watch")
            return watchFrom(*payload);
        if (kind == "presence")
            return presenceFrom(*payload);
        refuse();
    }


    MailboxMessage decodedMetadata(std::string_view json, MailboxBytes body, const Header& header)
    {
        auto decoded = JSON::decode(json);
        if (!decoded)
            refuse();
        Reader metadata(*decoded);
        auto version = metadata.integer("v");
        auto id = metadata.string("id");
        auto kind = metadata.string("kind");
        auto expiry = metadata.integer("exp");
        std::optional<MailboxAttachmentKey> attachment;
        if (const JSON* key = metadata.optionalMember("attachment"))
            attachment = MailboxAttachmentKey::fromJSON(*key);
        checkAllPayloads(metadata);
        if (version != MailboxProtocol::version || !MailboxMessageID::isValid(id) || (attachment && !body.empty()))
            refuse();
        auto content = contentOf(metadata, kind, std::move(body));
        return MailboxMessage { std::move(id), header.from, header.to, header.seq, header.createdAt,
            MailboxInstant(std::chrono::milliseconds(expiry)), std::move(content), std::move(attachment) };
    }

}

std::string encodeMetadata(const MailboxMessage& message)
{
    auto [kind, payload] = payloadOf(message.content);
    JSON::Object metadata { { "v", JSON(MailboxProtocol::version) }, { "id", JSON(message.id) }, { "kind", JSON(kind) },
        { "exp", JSON(static_cast<long long>(message.expiresAt.time_since_epoch().count())) }, { kind, payload } };
    if (message.attachment)
        metadata.emplace("attachment", message.attachment->toJSON());
    return JSON(std::move(metadata)).encoded();
}

MailboxMessage decodeMetadata(std::string_view json, MailboxBytes body, const Header& header)
{
    try {
        return decodedMetadata(json, std::move(body), header);
    } catch (const MailboxDecodingError&) {
        refuse();
    }
}

}
