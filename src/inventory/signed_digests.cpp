#include "inventory/signed_digests.h"

#include <algorithm>

namespace {
constexpr std::size_t kPieceSize = 256 * 1024;
}  // namespace

SignedDigests::SignedDigests(const platform::SignedContent& content, bool sha256Wanted)
    : stretches(platform::formats::SignedStretches(content.location, content.size)) {
    if (sha256Wanted) {
        whole = std::make_unique<Digest>(DigestKind::Sha256);
    }
}

void SignedDigests::Want(DigestKind kind) {
    const bool known = std::any_of(signedParts.begin(), signedParts.end(),
                                   [kind](const auto& part) { return part.first == kind; });
    if (!known) {
        signedParts.emplace_back(kind, std::make_unique<Digest>(kind));
    }
}

bool SignedDigests::Read(const platform::ReadContent& read) {
    // One piece per thread, kept: every look of a run reads through it.
    thread_local std::vector<std::uint8_t> piece(kPieceSize);
    for (std::uint64_t offset = 0;;) {
        const auto got = read(piece);
        if (!got) {
            return false;
        }
        if (*got == 0) {
            break;
        }
        if (whole && !whole->Add(piece.data(), *got)) {
            return false;
        }
        for (const platform::formats::FileStretch& stretch : stretches) {
            const std::uint64_t begin = std::max(stretch.begin, offset);
            const std::uint64_t end = std::min(stretch.end, offset + *got);
            for (auto& [kind, digest] : signedParts) {
                if (begin < end && !digest->Add(piece.data() + (begin - offset), end - begin)) {
                    return false;
                }
            }
        }
        offset += *got;
    }
    for (auto& [kind, digest] : signedParts) {
        finished.emplace_back(kind, digest->Finish());
    }
    if (whole) {
        const std::vector<std::uint8_t> digest = whole->Finish();
        if (digest.empty()) {
            return false;
        }
        wholeText = HexText(digest);
    }
    return true;
}

const std::vector<std::uint8_t>& SignedDigests::Of(DigestKind kind) const {
    static const std::vector<std::uint8_t> none;
    for (const auto& [known, digest] : finished) {
        if (known == kind) {
            return digest;
        }
    }
    return none;
}
