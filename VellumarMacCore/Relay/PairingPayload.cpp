#include "VellumarMacCore/Relay/PairingPayload.h"

#include "VellumarMacCore/Foundations/HTTPPath.h"

namespace vellumar {

std::string PairingPayload::baseURL() const
{
    std::string hostPart = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "https://" + hostPart + ":" + std::to_string(port);
}

std::string PairingPayload::text() const
{
    std::string text(header);
    text.append("\n").append(baseURL());
    text.append("\npin-sha256=\"").append(publicKeyPin).append("\"");
    text.append("\nvellumar-pair=").append(code);
    text.append("\nvellumar-mac-id=").append(macID);
    text.append("\nvellumar-mac-name=").append(encodedMacName(macName));
    return text;
}

std::string PairingPayload::encodedMacName(std::string_view name)
{
    return percentEncoded(name).value_or("Mac");
}

}
