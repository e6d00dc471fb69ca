// The menu's server and open-terminals lines.
#include "Vellumar_for_Mac/Model/AppModel.h"

namespace vellumar {

QString AppModel::serverStatusText() const
{
    if (std::holds_alternative<ServerStarting>(m_serverState))
        return m_texts.text(QStringLiteral("mac.menu.starting"));
    if (const auto* failed = std::get_if<ServerFailed>(&m_serverState))
        return m_texts.text(QStringLiteral("mac.menu.failed"), { QString::fromStdString(failed->text) });
    const QString port = QString::number(std::get<ServerRunning>(m_serverState).port);
    auto address = m_useTailscale && m_tailscaleAddress ? m_tailscaleAddress
        : m_lanAddress                                  ? m_lanAddress
                                                        : m_tailscaleAddress;
    if (!address)
        return m_texts.text(QStringLiteral("mac.menu.listeningPortOnly"), { port });
    return m_texts.text(
        QStringLiteral("mac.menu.listening"), { QString::fromStdString(*address) + u':' + port });
}

std::optional<QString> AppModel::terminalsText() const
{
    if (m_terminals.empty())
        return std::nullopt;
    QStringList pieces;
    for (const auto& summary : m_terminals) {
        QString piece = QString::fromStdString(summary.deviceName);
        if (summary.count >= 2)
            piece += QStringLiteral(" (%1)").arg(summary.count);
        pieces.append(piece);
    }
    return m_texts.text(QStringLiteral("mac.menu.terminal.active"), { pieces.join(QStringLiteral(", ")) });
}

}
