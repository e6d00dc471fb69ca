// The phone's URL requests through the mailbox: a request, an upload from a file or a download to a
// file becomes a relay request in an envelope, and the Mac's answer comes back as the body and HTTP
// response a URL-loading call gives, failures as URL errors.
#include "MovraneMailbox/Client/MailboxClient.h"

#include "MovraneMailbox/Client/MailboxTemporaryFile.h"

#include <fstream>
#include <iterator>

namespace movrane {

namespace {

    MailboxRelayRequest relayRequest(const MailboxURLRequest& request, std::optional<MailboxBytes> body)
    {
        if (!body)
            return MailboxRelayRequest::fromURLRequest(request);
        auto overridden = request;
        overridden.body = std::move(body);
        return MailboxRelayRequest::fromURLRequest(overridden);
    }

    MailboxBytes readSmallFile(const std::filesystem::path& file)
    {
        std::ifstream input(file, std::ios::binary);
        if (!input)
            throw MailboxAttachmentError(MailboxAttachmentError::Kind::file);
        MailboxBytes contents((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
        if (input.bad())
            throw MailboxAttachmentError(MailboxAttachmentError::Kind::file);
        return contents;
    }

    void writeFile(const MailboxBytes& body, const std::filesystem::path& file)
    {
        std::ofstream output(file, std::ios::binary | std::ios::trunc);
        output.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
        output.close();
        if (!output)
            throw MailboxAttachmentError(MailboxAttachmentError::Kind::file);
    }

}

MailboxClient::URLResult MailboxClient::send(const MailboxURLRequest& request, std::stop_token stop)
{
    return urlResult(request, [&]() -> std::pair<MailboxRelayResponse, MailboxBytes> {
        auto relayed = relayRequest(request, std::nullopt);
        MailboxRelayResponse response = [&] {
            if (auto watch = relayed.jobWatch())
                return longPollJob(watch->jobId, watch->since, watch->wait, stop);
            return exchange(relayed, std::nullopt, request.timeoutInterval, std::nullopt, stop).response;
        }();
        auto body = response.body;
        return { std::move(response), std::move(body) };
    });
}

MailboxClient::URLResult MailboxClient::upload(
    const MailboxURLRequest& request, const std::filesystem::path& file, std::stop_token stop)
{
    return urlResult(request, [&]() -> std::pair<MailboxRelayResponse, MailboxBytes> {
        std::error_code error;
        auto size = std::filesystem::file_size(file, error);
        if (error)
            throw std::filesystem::filesystem_error("upload", file, error);
        auto response = size > MailboxProtocol::maxInlineBytes
            ? exchange(
                relayRequest(request, MailboxBytes {}), file, request.timeoutInterval, std::nullopt, stop)
            : exchange(relayRequest(request, readSmallFile(file)), std::nullopt, request.timeoutInterval,
                std::nullopt, stop);
        auto body = response.response.body;
        return { std::move(response.response), std::move(body) };
    });
}

MailboxClient::URLResult MailboxClient::download(
    const MailboxURLRequest& request, const std::filesystem::path& destination, std::stop_token stop)
{
    return urlResult(request, [&]() -> std::pair<MailboxRelayResponse, MailboxBytes> {
        auto exchanged = exchange(
            relayRequest(request, std::nullopt), std::nullopt, request.timeoutInterval, destination, stop);
        auto& response = exchanged.response;
        if (!isSuccess(response.status)) {
            auto body = response.body;
            return { std::move(response), std::move(body) };
        }
        if (!exchanged.wroteDestination)
            MailboxTemporaryFile::replace(destination,
                [&](const std::filesystem::path& partial) { writeFile(response.body, partial); });
        return { std::move(response), MailboxBytes {} };
    });
}

MailboxRelayResponse MailboxClient::send(
    const MailboxRelayRequest& request, double timeoutSeconds, std::stop_token stop)
{
    return exchange(request, std::nullopt, timeoutSeconds, std::nullopt, std::move(stop)).response;
}

MailboxClient::URLResult MailboxClient::urlResult(const MailboxURLRequest& request,
    const std::function<std::pair<MailboxRelayResponse, MailboxBytes>()>& call)
{
    try {
        auto [response, data] = call();
        auto http = response.httpURLResponse(request.url, static_cast<std::int64_t>(data.size()));
        return { std::move(data), std::move(http) };
    } catch (...) {
        std::rethrow_exception(urlError(std::current_exception()));
    }
}

}
