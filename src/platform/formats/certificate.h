// What an X.509 certificate's DER says of who it names: its serial number and its subject's and
// issuer's distinguished names as RFC 4514 text. Read by the format code on both builds, so that
// both write a signer alike, whatever their cryptographic library would print.
#pragma once

#include <optional>
#include <string>

#include "platform/formats/byte_view.h"

namespace platform::formats {

struct CertificateNames {
    std::string serial;   // upper-case hex of its bytes, leading zero bytes left out
    std::string subject;  // RFC 4514: the last RDN first, "O=Contoso Ltd.,CN=Contoso"
    std::string issuer;
    std::optional<std::string> commonName;    // the subject's first, as UTF-8
    std::optional<std::string> organization;  // the subject's first
};

// From a certificate's DER; none where it is not one.
std::optional<CertificateNames> ReadCertificateNames(ByteView der);

}  // namespace platform::formats
