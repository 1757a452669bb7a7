// The digests the inventory makes: the SHA-256 of a file's content, as the read-ahead's looks
// compute it (platform::LookExtras), the MD5 of the import hash, and those an Authenticode
// signature names. OpenSSL's libcrypto on POSIX systems (with the processor's SHA instructions
// where it has them), the platform's BCrypt on Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

enum class DigestKind { Md5, Sha1, Sha256, Sha384, Sha512 };

// The kind an algorithm's object identifier ("2.16.840.1.101.3.4.2.1") names, and its name as
// records write it ("sha256").
std::optional<DigestKind> DigestKindOf(std::string_view oid);
const char* DigestName(DigestKind kind);

// A digest made a piece at a time.
class Digest {
  public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    bool Ready() const { return state != nullptr; }
    bool Add(const std::uint8_t* bytes, std::size_t count);
    // The digest; empty where it could not be made. Once.
    std::vector<std::uint8_t> Finish();

  private:
    void* state = nullptr;  // the library's context
};

// The digest of bytes; empty where it could not be made.
std::vector<std::uint8_t> DigestOfBytes(DigestKind kind, const std::uint8_t* bytes,
                                        std::size_t count);

// Bytes as hex digits, lower-case or upper-case.
std::string HexText(const std::vector<std::uint8_t>& bytes, bool upperCase = false);

// The digest as 64 lower-case hex digits; none when the content could not be read.
std::optional<std::string> Sha256OfContent(const platform::ReadContent& read);

// The MD5 of text as 32 lower-case hex digits, as import hashes are written; none where the
// digest could not be made.
std::optional<std::string> Md5Hex(std::string_view text);
