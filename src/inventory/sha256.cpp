#include "inventory/sha256.h"

#include <array>
#include <memory>
#include <vector>

#if defined(_WIN32)
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace {

constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kPieceSize = 256 * 1024;

std::string HexOf(const std::array<unsigned char, kDigestSize>& digest) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * kDigestSize);
    for (const unsigned char byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

#if defined(_WIN32)

class Hash {
  public:
    Hash() {
        // The provider is opened once for the process: opening it is costly, using it is not.
        static const BCRYPT_ALG_HANDLE provider = [] {
            BCRYPT_ALG_HANDLE opened = nullptr;
            BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
            return opened;
        }();
        if (provider != nullptr) {
            BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0);
        }
    }
    ~Hash() {
        if (hash != nullptr) {
            BCryptDestroyHash(hash);
        }
    }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool Ready() const { return hash != nullptr; }
    bool Add(const unsigned char* bytes, std::size_t count) {
        return BCryptHashData(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(count), 0) >= 0;
    }
    bool Finish(std::array<unsigned char, kDigestSize>& digest) {
        return BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0;
    }

  private:
    BCRYPT_HASH_HANDLE hash = nullptr;
};

#else

class Hash {
  public:
    Hash() : context(EVP_MD_CTX_new()) {
        if (context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(context);
            context = nullptr;
        }
    }
    ~Hash() { EVP_MD_CTX_free(context); }
    Hash(const Hash&) = delete;
    Hash& operator=(const Hash&) = delete;
    bool Ready() const { return context != nullptr; }
    bool Add(const unsigned char* bytes, std::size_t count) {
        return EVP_DigestUpdate(context, bytes, count) == 1;
    }
    bool Finish(std::array<unsigned char, kDigestSize>& digest) {
        unsigned int length = 0;
        return EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == kDigestSize;
    }

  private:
    EVP_MD_CTX* context;
};

#endif

}  // namespace

std::optional<std::string> Sha256OfContent(const platform::ReadContent& read) {
    Hash hash;
    if (!hash.Ready()) {
        return std::nullopt;
    }
    // One piece per thread, kept: every look of a run hashes through it.
    thread_local std::vector<std::uint8_t> piece(kPieceSize);
    for (;;) {
        const auto got = read(piece);
        if (!got) {
            return std::nullopt;
        }
        if (*got == 0) {
            break;
        }
        if (!hash.Add(piece.data(), *got)) {
            return std::nullopt;
        }
    }
    std::array<unsigned char, kDigestSize> digest{};
    if (!hash.Finish(digest)) {
        return std::nullopt;
    }
    return HexOf(digest);
}
