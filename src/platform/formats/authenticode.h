// The parts of an Authenticode signature that are the PE format's rather than PKCS #7's: the
// certificate table's entry (WIN_CERTIFICATE), which bytes of the file the signed digest covers,
// and the two Microsoft structures inside the SignedData that a general library does not know:
// the indirect data (SpcIndirectDataContent: the file's digest) and the opus info (SpcSpOpusInfo:
// the program's name). Read by a small, bounded DER reader.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/formats/byte_view.h"
#include "platform/formats/image_facts.h"

namespace platform::formats {

// The largest certificate table read: real ones, with every certificate and nested signature,
// stay within a few hundred kilobytes; a larger one is taken as damaged.
inline constexpr std::uint32_t kLargestCertificateTable = 16u << 20;

// The first entry of the certificate table, when it is a PKCS #7 SignedData as Authenticode
// writes it (revision 2.0, type PKCS_SIGNED_DATA) and lies wholly in the table.
struct WinCertificate {
    static constexpr std::size_t kHeaderSize = 8;
    static std::optional<WinCertificate> From(ByteView table);
    ByteView bCertificate;  // the DER of the ContentInfo
};

// A stretch of the file, [begin, end).
struct FileStretch {
    std::uint64_t begin;
    std::uint64_t end;
};

// The stretches of a file of size bytes that the Authenticode digest covers, in file order: all
// but the optional header's CheckSum, the certificate table's directory entry and the table.
std::vector<FileStretch> SignedStretches(const SignatureLocation& location, std::uint64_t size);

// One DER element: its tag byte, and its contents (and its whole encoding) inside the bytes it
// was read from. Only definite lengths of up to four bytes are taken, as DER has them.
struct DerElement {
    std::uint8_t tag;
    ByteView contents;
    ByteView whole;
    // The element at the start of bytes; none where it is cut short or badly encoded.
    static std::optional<DerElement> From(ByteView bytes);
    // The elements its contents hold, in order, up to most of them; none where one is bad.
    std::optional<std::vector<DerElement>> Children(std::size_t most = 16) const;
};

// The dotted text of an OBJECT IDENTIFIER's contents ("1.3.6.1.4.1.311.2.1.4"); none where it is
// badly encoded or unreasonably long.
std::optional<std::string> ObjectIdentifierText(ByteView contents);

// SpcIndirectDataContent: what the signer says the file's digest is.
struct IndirectData {
    std::string digestAlgorithm;  // its OID, dotted
    ByteView digest;
    // From the content's DER (the SEQUENCE); none where it is not one.
    static std::optional<IndirectData> From(ByteView der);
};

// The program name of an SpcSpOpusInfo (the DER of the SEQUENCE), as UTF-8; none without one.
std::optional<std::string> ProgramNameOf(ByteView der);

// An RFC 3161 timestamp's TSTInfo: the digest it stamps and when.
struct TimestampInfo {
    std::string imprintAlgorithm;  // its OID, dotted
    ByteView imprint;
    std::string time;  // its genTime, ISO 8601 UTC to the second
    // From the TSTInfo's DER (the SEQUENCE, or an OCTET STRING holding it).
    static std::optional<TimestampInfo> From(ByteView der);
};

// Object identifiers of the structures above, and of the attributes that hold them.
inline constexpr const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
inline constexpr const char* kOpusInfoOid = "1.3.6.1.4.1.311.2.1.12";
inline constexpr const char* kNestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";
inline constexpr const char* kRfc3161TimestampOid = "1.3.6.1.4.1.311.3.3.1";

}  // namespace platform::formats
