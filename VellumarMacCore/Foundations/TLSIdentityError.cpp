#include "VellumarMacCore/Foundations/TLSIdentityError.h"

namespace vellumar {

const char* TLSIdentityError::what() const noexcept
{
    switch (m_kind) {
    case Kind::importFailed:
        return "The TLS identity could not be imported.";
    case Kind::opensslMissing:
        return "openssl was not found.";
    case Kind::generationFailed:
        return "The TLS identity could not be generated.";
    case Kind::unreadableCertificate:
        return "The TLS certificate could not be read.";
    case Kind::insecureFolder:
        return "The folder is not a private directory.";
    }
    return "TLS identity error";
}

}
