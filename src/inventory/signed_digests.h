// A signed file's Authenticode digests, by each algorithm its signatures name, and the SHA-256 of
// its whole content where the run asks for it, all made in one read of the file.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "inventory/digests.h"
#include "platform/formats/authenticode.h"
#include "platform/platform.h"

class SignedDigests {
  public:
    SignedDigests(const platform::SignedContent& content, bool sha256Wanted);

    void Want(DigestKind kind);
    // Reads the content through read; false where a read failed or a digest could not be made.
    bool Read(const platform::ReadContent& read);
    // After Read: the digest of the stretches Authenticode covers, by kind (empty if not wanted).
    const std::vector<std::uint8_t>& Of(DigestKind kind) const;
    // After Read: the whole content's SHA-256, as 64 lower-case hex digits.
    const std::optional<std::string>& WholeSha256() const { return wholeText; }

    // Reads the content once for the digests a signature and those it nests name (each with an
    // optional algorithm), and the content's SHA-256 into digest where given; false where the
    // content could not be read. Nothing is read for a signature that names none, without digest.
    template <typename Signature>
    bool ReadFor(const Signature& primary, const platform::ReadContent& read,
                 std::optional<std::string>* digest) {
        if (primary.algorithm) {
            Want(*primary.algorithm);
            for (const auto& nested : primary.nested) {
                if (nested.algorithm) {
                    Want(*nested.algorithm);
                }
            }
        }
        if ((primary.algorithm || digest != nullptr) && !Read(read)) {
            return false;
        }
        if (digest != nullptr) {
            *digest = wholeText;
        }
        return true;
    }

  private:
    std::vector<platform::formats::FileStretch> stretches;
    std::unique_ptr<Digest> whole;
    std::optional<std::string> wholeText;
    std::vector<std::pair<DigestKind, std::unique_ptr<Digest>>> signedParts;
    std::vector<std::pair<DigestKind, std::vector<std::uint8_t>>> finished;
};
