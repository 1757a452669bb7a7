// The signing certificate as the records name it, from its DER: the same on both builds, whatever
// each platform's library would print.

#include "inventory/digests.h"
#include "inventory/signature_check.h"
#include "platform/formats/certificate.h"

void DescribeSigner(platform::formats::ByteView certificate, SignatureRecord& record) {
    if (const auto names = platform::formats::ReadCertificateNames(certificate)) {
        record.signer = names->commonName ? names->commonName : names->organization;
        record.signerSubject = names->subject;
        record.issuer = names->issuer;
        record.serial = names->serial;
    }
    const auto thumbprint = DigestOfBytes(DigestKind::Sha1, certificate.data(), certificate.size());
    if (!thumbprint.empty()) {
        record.thumbprint = HexText(thumbprint, true);
    }
}
