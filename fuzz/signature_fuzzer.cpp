// Arbitrary bytes as a PE file's certificate table: the format code's reading of the
// WIN_CERTIFICATE, the indirect data, the opus info, a timestamp's TSTInfo and a certificate's
// names, and the whole check OpenSSL makes of the signature, against a small file's content.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "inventory/signature_check.h"
#include "platform/formats/authenticode.h"
#include "platform/formats/certificate.h"

namespace {

using platform::formats::ByteView;

// Every structure the format code reads, tried on bytes: none may read outside them.
void ReadStructures(ByteView bytes) {
    static_cast<void>(platform::formats::IndirectData::From(bytes));
    static_cast<void>(platform::formats::ProgramNameOf(bytes));
    static_cast<void>(platform::formats::TimestampInfo::From(bytes));
    static_cast<void>(platform::formats::ReadCertificateNames(bytes));
    if (const auto element = platform::formats::DerElement::From(bytes)) {
        if (const auto children = element->Children(64)) {
            for (const auto& child : *children) {
                static_cast<void>(platform::formats::ReadCertificateNames(child.whole));
                static_cast<void>(platform::formats::ObjectIdentifierText(child.contents));
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool prepared = [] {
        std::string problem;
        return PrepareSignatureChecks("", problem);
    }();
    static_cast<void>(prepared);
    const ByteView table(data, size);
    ReadStructures(table);
    if (const auto entry = platform::formats::WinCertificate::From(table)) {
        ReadStructures(entry->bCertificate);
    }
    // The table after a small file's content, as a look hands it over.
    constexpr std::size_t kContentSize = 4096;
    platform::SignedContent content;
    content.location = {.checkSumField = 0xD8,
                        .certificateEntryField = 0x128,
                        .tableOffset = kContentSize,
                        .tableSize = static_cast<std::uint32_t>(size)};
    content.size = kContentSize + size;
    content.table.assign(data, data + size);
    std::vector<std::uint8_t> file(kContentSize, 0x5A);
    file.insert(file.end(), data, data + size);
    std::size_t offset = 0;
    const platform::ReadContent read =
        [&](std::span<std::uint8_t> buffer) -> std::optional<std::size_t> {
        const std::size_t count = std::min(buffer.size(), file.size() - offset);
        std::memcpy(buffer.data(), file.data() + offset, count);
        offset += count;
        return count;
    };
    std::optional<std::string> digest;
    const auto verdict = CheckSignature(content, read, &digest);
    const auto* checked = dynamic_cast<const CheckedSignature*>(verdict.get());
    if (checked == nullptr || !digest || checked->record.nested.size() > 64) {
        std::abort();  // every table gets a verdict, and the digest is made alongside
    }
    return 0;
}
