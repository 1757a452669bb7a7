#include "inventory/digests.h"

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
constexpr std::size_t kMd5Size = 16;
constexpr std::size_t kPieceSize = 256 * 1024;

template <std::size_t Size>
std::string HexOf(const std::array<unsigned char, Size>& digest) {
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * Size);
    for (const unsigned char byte : digest) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0F]);
    }
    return text;
}

#if defined(_WIN32)

enum class Algorithm { Sha256, Md5 };

class Hash {
  public:
    explicit Hash(Algorithm algorithm) {
        // The providers are opened once for the process: opening one is costly, using it is not.
        static const BCRYPT_ALG_HANDLE sha256 = Open(BCRYPT_SHA256_ALGORITHM);
        static const BCRYPT_ALG_HANDLE md5 = Open(BCRYPT_MD5_ALGORITHM);
        const BCRYPT_ALG_HANDLE provider = algorithm == Algorithm::Sha256 ? sha256 : md5;
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
    template <std::size_t Size>
    bool Finish(std::array<unsigned char, Size>& digest) {
        return BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0) >= 0;
    }

  private:
    static BCRYPT_ALG_HANDLE Open(LPCWSTR name) {
        BCRYPT_ALG_HANDLE opened = nullptr;
        BCryptOpenAlgorithmProvider(&opened, name, nullptr, 0);
        return opened;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
};

#else

enum class Algorithm { Sha256, Md5 };

class Hash {
  public:
    explicit Hash(Algorithm algorithm) : context(EVP_MD_CTX_new()) {
        const EVP_MD* kind = algorithm == Algorithm::Sha256 ? EVP_sha256() : EVP_md5();
        if (context != nullptr && EVP_DigestInit_ex(context, kind, nullptr) != 1) {
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
    template <std::size_t Size>
    bool Finish(std::array<unsigned char, Size>& digest) {
        unsigned int length = 0;
        return EVP_DigestFinal_ex(context, digest.data(), &length) == 1 && length == Size;
    }

  private:
    EVP_MD_CTX* context;
};

#endif

}  // namespace

std::optional<std::string> Sha256OfContent(const platform::ReadContent& read) {
    Hash hash(Algorithm::Sha256);
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

std::optional<std::string> Md5Hex(std::string_view text) {
    Hash hash(Algorithm::Md5);
    std::array<unsigned char, kMd5Size> digest{};
    if (!hash.Ready() ||
        !hash.Add(reinterpret_cast<const unsigned char*>(text.data()), text.size()) ||
        !hash.Finish(digest)) {
        return std::nullopt;
    }
    return HexOf(digest);
}
