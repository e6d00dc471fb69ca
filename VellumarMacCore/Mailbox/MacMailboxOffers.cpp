// How the Mac's mailbox answers a phone's pairing offer: what it feeds the shared pairing rules (its
// key, its account state and its account's record name, each within the pairing time bound), and the
// two answers it gives without them.
#include "VellumarMacCore/Mailbox/MacMailbox.h"

#include "MovraneMailbox/Protocol/MailboxIdentifiers.h"
#include "MovraneMailbox/Server/MailboxServerTime.h"

namespace vellumar {

namespace {

    using movrane::MailboxAccountState;
    using movrane::MailboxPairingAnswer;

    // How long a stored account state may answer an offer without asking iCloud.
    constexpr double kAccountAnswerFreshSeconds = 60;

    MailboxPairingAnswer lanOnlyAnswer(
        MailboxPairingAnswer::Reason reason, std::optional<movrane::MailboxPublicKey> macKey)
    {
        return { .v = 1,
            .status = MailboxPairingAnswer::Status::lanOnly,
            .reason = reason,
            .zone = std::nullopt,
            .macKey = std::move(macKey),
            .account = std::nullopt };
    }

}

MailboxPairingAnswer MacMailbox::registerDevice(
    const movrane::MailboxPairingOffer& offer, const std::optional<std::string>& earlierZone)
{
    auto identity = loadIdentity();
    if (!identity)
        return lanOnlyAnswer(MailboxPairingAnswer::Reason::macICloudUnavailable, std::nullopt);
    auto state = currentAccountState();
    auto macAccount = state == MailboxAccountState::available ? currentRecordName() : std::nullopt;
    return movrane::MailboxPairingRules::answer(
        offer, state, macAccount, identity->publicKey(), earlierZone, movrane::MailboxZoneName::make);
}

MailboxPairingAnswer MacMailbox::unsupportedOfferAnswer()
{
    auto identity = loadIdentity();
    return lanOnlyAnswer(MailboxPairingAnswer::Reason::unsupportedVersion,
        identity ? std::optional(identity->publicKey()) : std::nullopt);
}

MailboxAccountState MacMailbox::currentAccountState()
{
    {
        Lock lock(m_lock);
        if (m_account
            && movrane::MailboxServerTime::secondsSince(m_setup.clock->now(), m_accountCheckedAt)
                < kAccountAnswerFreshSeconds)
            return *m_account;
    }
    auto state = m_accountQuestion.first(m_setup.pairingTimeout, *m_setup.clock)
                     .value_or(MailboxAccountState::couldNotDetermine);
    Lock lock(m_lock);
    bool changed = m_account != state;
    m_account = state;
    m_accountCheckedAt = m_setup.clock->now();
    lock.unlock();
    // The answer does not wait for the server to follow the new state.
    if (changed)
        m_tasks.start([this](const std::stop_token&) { refreshAccount(); });
    return state;
}

std::optional<std::string> MacMailbox::currentRecordName()
{
    {
        Lock lock(m_lock);
        if (m_recordName)
            return m_recordName;
    }
    auto name = m_recordNameQuestion.first(m_setup.pairingTimeout, *m_setup.clock).value_or(std::nullopt);
    if (name) {
        Lock lock(m_lock);
        m_recordName = name;
    }
    return name;
}

}
