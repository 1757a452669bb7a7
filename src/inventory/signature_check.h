// The verification of Authenticode signatures, supplied to the looks (platform::LookExtras::check):
// OpenSSL's libcrypto on Linux, against the trusted certificates given or the system's; the
// platform's CryptoAPI and WinVerifyTrust on Windows. Each look reads the file once for the
// signature's digests and the run's SHA-256 alike.
#pragma once

#include <optional>
#include <string>

#include "inventory/record.h"
#include "platform/formats/byte_view.h"
#include "platform/platform.h"

// What a check found: the record's signature.
struct CheckedSignature : platform::SignatureVerdict {
    SignatureRecord record;
};

// The signer's name (its common name, else its organisation), subject, issuer and serial, and
// its thumbprint, from the signing certificate's DER.
void DescribeSigner(platform::formats::ByteView certificate, SignatureRecord& record);

// Sets up what the checks are held against: the PEM certificates in trustFile, or (empty) the
// system's. False with problem saying why where they cannot be read.
bool PrepareSignatureChecks(const std::string& trustFile, std::string& problem);

// The check each look makes of a file with a certificate table.
std::shared_ptr<const platform::SignatureVerdict> CheckSignature(
    const platform::SignedContent& content, const platform::ReadContent& read,
    std::optional<std::string>* digest);
