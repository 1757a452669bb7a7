#include "inventory/digests.h"

#include <array>

#if defined(_WIN32)
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace {

constexpr std::size_t kPieceSize = 256 * 1024;

struct KnownDigest {
    DigestKind kind;
    const char* oid;
    const char* name;
};
constexpr std::array<KnownDigest, 5> kKnownDigests = {{
    {DigestKind::Md5, "1.2.840.113549.2.5", "md5"},
    {DigestKind::Sha1, "1.3.14.3.2.26", "sha1"},
    {DigestKind::Sha256, "2.16.840.1.101.3.4.2.1", "sha256"},
    {DigestKind::Sha384, "2.16.840.1.101.3.4.2.2", "sha384"},
    {DigestKind::Sha512, "2.16.840.1.101.3.4.2.3", "sha512"},
}};

#if defined(_WIN32)

// The providers are opened once for the process: opening one is costly, using it is not.
BCRYPT_ALG_HANDLE ProviderOf(DigestKind kind) {
    const auto open = [](LPCWSTR name) {
        BCRYPT_ALG_HANDLE opened = nullptr;
        BCryptOpenAlgorithmProvider(&opened, name, nullptr, 0);
        return opened;
    };
    static const std::array<BCRYPT_ALG_HANDLE, 5> providers = {
        open(BCRYPT_MD5_ALGORITHM), open(BCRYPT_SHA1_ALGORITHM), open(BCRYPT_SHA256_ALGORITHM),
        open(BCRYPT_SHA384_ALGORITHM), open(BCRYPT_SHA512_ALGORITHM)};
    return providers[static_cast<std::size_t>(kind)];
}

struct HashState {
    BCRYPT_HASH_HANDLE hash = nullptr;
    DWORD size = 0;
};

#endif

}  // namespace

std::optional<DigestKind> DigestKindOf(std::string_view oid) {
    for (const KnownDigest& known : kKnownDigests) {
        if (oid == known.oid) {
            return known.kind;
        }
    }
    return std::nullopt;
}

const char* DigestName(DigestKind kind) {
    return kKnownDigests[static_cast<std::size_t>(kind)].name;
}

#if defined(_WIN32)

Digest::Digest(DigestKind kind) {
    const BCRYPT_ALG_HANDLE provider = ProviderOf(kind);
    HashState made;
    ULONG written = 0;
    if (provider == nullptr ||
        BCryptGetProperty(provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&made.size),
                          sizeof made.size, &written, 0) < 0 ||
        BCryptCreateHash(provider, &made.hash, nullptr, 0, nullptr, 0, 0) < 0) {
        return;
    }
    state = new HashState(made);
}

Digest::~Digest() {
    if (auto* hash = static_cast<HashState*>(state)) {
        BCryptDestroyHash(hash->hash);
        delete hash;
    }
}

bool Digest::Add(const std::uint8_t* bytes, std::size_t count) {
    auto* hash = static_cast<HashState*>(state);
    return hash != nullptr && BCryptHashData(hash->hash, const_cast<PUCHAR>(bytes),
                                             static_cast<ULONG>(count), 0) >= 0;
}

std::vector<std::uint8_t> Digest::Finish() {
    auto* hash = static_cast<HashState*>(state);
    std::vector<std::uint8_t> digest(hash != nullptr ? hash->size : 0);
    if (hash == nullptr ||
        BCryptFinishHash(hash->hash, digest.data(), static_cast<ULONG>(digest.size()), 0) < 0) {
        return {};
    }
    return digest;
}

#else

Digest::Digest(DigestKind kind) {
    const EVP_MD* algorithms[] = {EVP_md5(), EVP_sha1(), EVP_sha256(), EVP_sha384(), EVP_sha512()};
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context != nullptr &&
        EVP_DigestInit_ex(context, algorithms[static_cast<std::size_t>(kind)], nullptr) != 1) {
        EVP_MD_CTX_free(context);
        context = nullptr;
    }
    state = context;
}

Digest::~Digest() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state));
}

bool Digest::Add(const std::uint8_t* bytes, std::size_t count) {
    return state != nullptr &&
           EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state), bytes, count) == 1;
}

std::vector<std::uint8_t> Digest::Finish() {
    std::vector<std::uint8_t> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (state == nullptr ||
        EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(state), digest.data(), &length) != 1) {
        return {};
    }
    digest.resize(length);
    return digest;
}

#endif

std::vector<std::uint8_t> DigestOfBytes(DigestKind kind, const std::uint8_t* bytes,
                                        std::size_t count) {
    Digest digest(kind);
    return digest.Add(bytes, count) ? digest.Finish() : std::vector<std::uint8_t>();
}

std::string HexText(const std::vector<std::uint8_t>& bytes, bool upperCase) {
    const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

std::optional<std::string> Sha256OfContent(const platform::ReadContent& read) {
    Digest digest(DigestKind::Sha256);
    if (!digest.Ready()) {
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
        if (!digest.Add(piece.data(), *got)) {
            return std::nullopt;
        }
    }
    const std::vector<std::uint8_t> bytes = digest.Finish();
    if (bytes.empty()) {
        return std::nullopt;
    }
    return HexText(bytes);
}

std::optional<std::string> Md5Hex(std::string_view text) {
    const std::vector<std::uint8_t> bytes = DigestOfBytes(
        DigestKind::Md5, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (bytes.empty()) {
        return std::nullopt;
    }
    return HexText(bytes);
}
