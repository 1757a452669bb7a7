// Authenticode verification through the platform: the SignedData decoded and its signer's
// signature checked by the CryptoAPI, the trust verdict WinVerifyTrust's (no user interface, no
// revocation), nested signatures' chains by the chain engine's Authenticode policy, and files
// without an embedded signature looked up in the system's catalogs. The catalog calls are loaded
// at run time: the import library mingw-w64 ships lacks the newer of them.

#include <windows.h>
// After windows.h, which they need.
#include <mscat.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "inventory/digests.h"
#include "inventory/signature_check.h"
#include "inventory/signed_digests.h"
#include "platform/formats/authenticode.h"

namespace {

using platform::formats::ByteView;

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::size_t kMostNestedSignatures = 64;
constexpr const char* kCountersignatureOid = "1.2.840.113549.1.9.6";

std::wstring Wide(const std::string& text) {
    const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<std::size_t>(units) : 1, L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), units);
    }
    wide.resize(wide.size() - 1);
    return wide;
}

struct MessageCloser {
    void operator()(void* message) const { CryptMsgClose(message); }
};
using Message = std::unique_ptr<void, MessageCloser>;
struct StoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using Store = std::unique_ptr<void, StoreCloser>;
struct CertificateFreer {
    void operator()(const CERT_CONTEXT* certificate) const {
        CertFreeCertificateContext(certificate);
    }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;

// A message parameter's bytes; empty where it has none.
std::vector<std::uint8_t> Parameter(HCRYPTMSG message, DWORD type, DWORD index = 0) {
    DWORD size = 0;
    if (!CryptMsgGetParam(message, type, index, nullptr, &size) || size == 0) {
        return {};
    }
    std::vector<std::uint8_t> bytes(size);
    if (!CryptMsgGetParam(message, type, index, bytes.data(), &size)) {
        return {};
    }
    bytes.resize(size);
    return bytes;
}

Message Decode(ByteView der) {
    Message message(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!message ||
        !CryptMsgUpdate(message.get(), der.data(), static_cast<DWORD>(der.size()), TRUE)) {
        return nullptr;
    }
    return message;
}

// The signer's certificate, from the message's own certificates.
Certificate SignerCertificate(HCRYPTMSG message, HCERTSTORE store) {
    std::vector<std::uint8_t> info = Parameter(message, CMSG_SIGNER_CERT_INFO_PARAM);
    if (info.empty()) {
        return nullptr;
    }
    return Certificate(CertGetSubjectCertificateFromStore(
        store, kEncoding, reinterpret_cast<CERT_INFO*>(info.data())));
}

// The first value of the attribute named by oid, as its DER.
std::optional<ByteView> AttributeValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
    for (DWORD index = 0; index < attributes.cAttr; ++index) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[index];
        if (std::strcmp(attribute.pszObjId, oid) == 0 && attribute.cValue > 0) {
            return ByteView(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData);
        }
    }
    return std::nullopt;
}

std::vector<ByteView> AttributeValues(const CRYPT_ATTRIBUTES& attributes, const char* oid,
                                      std::size_t most) {
    std::vector<ByteView> values;
    for (DWORD index = 0; index < attributes.cAttr; ++index) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[index];
        for (DWORD value = 0; std::strcmp(attribute.pszObjId, oid) == 0 &&
                              value < attribute.cValue && values.size() < most;
             ++value) {
            values.emplace_back(attribute.rgValue[value].pbData, attribute.rgValue[value].cbData);
        }
    }
    return values;
}

void DescribeSigner(const CERT_CONTEXT* certificate, SignatureRecord& record) {
    DescribeSigner(ByteView(certificate->pbCertEncoded, certificate->cbCertEncoded), record);
}

// The status a trust provider's or a chain policy's answer stands for.
const char* StatusOf(LONG answer) {
    switch (static_cast<HRESULT>(answer)) {
        case ERROR_SUCCESS:
            return "trusted";
        case TRUST_E_BAD_DIGEST:
            return "bad_digest";
        case CERT_E_EXPIRED:
            return "expired";
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
        case CRYPT_E_ASN1_BADTAG:
        case CRYPT_E_ASN1_EOD:
        case CRYPT_E_BAD_ENCODE:
            return "malformed";
        case NTE_BAD_SIGNATURE:
        case CRYPT_E_HASH_VALUE:
        case TRUST_E_CERT_SIGNATURE:
            return "bad_signature";
        default:
            return "untrusted";
    }
}

// The platform's verdict on the file's (or, with catalog, a catalog's) signature.
const char* TrustVerdict(const std::string& path, const WINTRUST_CATALOG_INFO* catalog) {
    const std::wstring file = Wide(path);
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = file.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    if (catalog != nullptr) {
        data.dwUnionChoice = WTD_CHOICE_CATALOG;
        data.pCatalog = const_cast<WINTRUST_CATALOG_INFO*>(catalog);
    } else {
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
    }
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG answer = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return StatusOf(answer);
}

// A chain's verdict under a policy of the chain engine's, at time (or now).
const char* ChainVerdict(const CERT_CONTEXT* certificate, HCERTSTORE store,
                         const std::optional<FILETIME>& time, LPCSTR policyOid) {
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    FILETIME at = time.value_or(FILETIME{});
    if (!CertGetCertificateChain(nullptr, certificate, time ? &at : nullptr, store, &parameters, 0,
                                 nullptr, &chain)) {
        return "untrusted";
    }
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    const bool checked = CertVerifyCertificateChainPolicy(policyOid, chain, &policy, &status);
    CertFreeCertificateChain(chain);
    return checked ? StatusOf(static_cast<LONG>(status.dwError)) : "untrusted";
}

std::optional<std::string> IsoTimeOf(const FILETIME& time) {
    SYSTEMTIME calendar{};
    if (!FileTimeToSystemTime(&time, &calendar)) {
        return std::nullopt;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", unsigned{calendar.wYear},
                  unsigned{calendar.wMonth}, unsigned{calendar.wDay}, unsigned{calendar.wHour},
                  unsigned{calendar.wMinute}, unsigned{calendar.wSecond});
    return text;
}

std::optional<FILETIME> FileTimeOf(const std::string& iso) {
    SYSTEMTIME calendar{};
    if (std::sscanf(iso.c_str(), "%4hu-%2hu-%2huT%2hu:%2hu:%2hu", &calendar.wYear, &calendar.wMonth,
                    &calendar.wDay, &calendar.wHour, &calendar.wMinute, &calendar.wSecond) != 6) {
        return std::nullopt;
    }
    FILETIME time{};
    if (!SystemTimeToFileTime(&calendar, &time)) {
        return std::nullopt;
    }
    return time;
}

// The time an RFC 3161 timestamp stamps the signer's signature with, where its token's signature
// holds and its chain leads to a trusted root.
std::optional<std::string> Rfc3161Time(ByteView token, const CRYPT_DATA_BLOB& stamped) {
    Message message = Decode(token);
    if (!message) {
        return std::nullopt;
    }
    Store store(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
    Certificate signer = store ? SignerCertificate(message.get(), store.get()) : nullptr;
    const std::vector<std::uint8_t> content = Parameter(message.get(), CMSG_CONTENT_PARAM);
    const auto info =
        platform::formats::TimestampInfo::From(ByteView(content.data(), content.size()));
    const auto kind = info ? DigestKindOf(info->imprintAlgorithm) : std::nullopt;
    if (!signer || !kind ||
        !CryptMsgControl(message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE,
                         const_cast<CERT_INFO*>(signer->pCertInfo))) {
        return std::nullopt;
    }
    const auto digest = DigestOfBytes(*kind, stamped.pbData, stamped.cbData);
    if (digest.size() != info->imprint.size() ||
        std::memcmp(digest.data(), info->imprint.data(), digest.size()) != 0 ||
        std::strcmp(
            ChainVerdict(signer.get(), store.get(), FileTimeOf(info->time), CERT_CHAIN_POLICY_BASE),
            "trusted") != 0) {
        return std::nullopt;
    }
    return info->time;
}

// The time a PKCS #9 countersignature vouches for, where its signature over the signer's holds.
std::optional<std::string> CountersignatureTime(HCRYPTMSG message, HCERTSTORE store,
                                                ByteView countersignature) {
    DWORD size = 0;
    if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, countersignature.data(),
                           static_cast<DWORD>(countersignature.size()), 0, nullptr, &size)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> decoded(size);
    if (!CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, countersignature.data(),
                           static_cast<DWORD>(countersignature.size()), 0, decoded.data(), &size)) {
        return std::nullopt;
    }
    const auto* counter = reinterpret_cast<const CMSG_SIGNER_INFO*>(decoded.data());
    CERT_INFO wanted{};
    wanted.Issuer = counter->Issuer;
    wanted.SerialNumber = counter->SerialNumber;
    Certificate signer(CertGetSubjectCertificateFromStore(store, kEncoding, &wanted));
    std::vector<std::uint8_t> encodedSigner = Parameter(message, CMSG_ENCODED_SIGNER);
    if (!signer || encodedSigner.empty() ||
        !CryptMsgVerifyCountersignatureEncoded(
            0, kEncoding, encodedSigner.data(), static_cast<DWORD>(encodedSigner.size()),
            const_cast<BYTE*>(countersignature.data()), static_cast<DWORD>(countersignature.size()),
            signer->pCertInfo)) {
        return std::nullopt;
    }
    const auto signingTime = AttributeValue(counter->AuthAttrs, szOID_RSA_signingTime);
    FILETIME time{};
    DWORD timeSize = sizeof time;
    if (!signingTime ||
        !CryptDecodeObject(kEncoding, szOID_RSA_signingTime, signingTime->data(),
                           static_cast<DWORD>(signingTime->size()), 0, &time, &timeSize)) {
        return std::nullopt;
    }
    return IsoTimeOf(time);
}

// The time the signer's timestamp (RFC 3161, or a PKCS #9 countersignature) vouches for.
std::optional<std::string> SigningTimeOf(HCRYPTMSG message, HCERTSTORE store,
                                         const CMSG_SIGNER_INFO& signer) {
    if (const auto token =
            AttributeValue(signer.UnauthAttrs, platform::formats::kRfc3161TimestampOid)) {
        return Rfc3161Time(*token, signer.EncryptedHash);
    }
    if (const auto counter = AttributeValue(signer.UnauthAttrs, kCountersignatureOid)) {
        return CountersignatureTime(message, store, *counter);
    }
    return std::nullopt;
}

// A catalog's signer and timestamp, from the catalog file's SignedData.
void DescribeCatalogSigner(const wchar_t* catalogFile, SignatureRecord& record) {
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    if (!CryptQueryObject(
            CERT_QUERY_OBJECT_FILE, catalogFile,
            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
            nullptr)) {
        return;
    }
    const Message ownedMessage(message);
    const Store ownedStore(store);
    const Certificate certificate = SignerCertificate(message, store);
    const std::vector<std::uint8_t> signer = Parameter(message, CMSG_SIGNER_INFO_PARAM);
    if (certificate) {
        DescribeSigner(certificate.get(), record);
    }
    if (!signer.empty()) {
        record.signingTime = SigningTimeOf(
            message, store, *reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data()));
    }
}

// One SignedData read from the table, ready to be held against the file's digest.
struct Signature {
    Message message;
    Store store;
    Certificate certificate;
    std::vector<std::uint8_t> signerInfo;  // CMSG_SIGNER_INFO
    std::optional<DigestKind> algorithm;
    std::vector<std::uint8_t> digest;  // what the signer says the file's digest is
    SignatureRecord record;            // malformed until read whole
    bool readable = false;
    std::vector<Signature> nested;

    const CMSG_SIGNER_INFO& Signer() const {
        return *reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    }
};

Signature ReadSignature(ByteView der, bool withNested) {
    Signature signature;
    signature.record.status = "malformed";
    signature.message = Decode(der);
    if (!signature.message) {
        return signature;
    }
    HCRYPTMSG message = signature.message.get();
    const std::vector<std::uint8_t> type = Parameter(message, CMSG_INNER_CONTENT_TYPE_PARAM);
    const std::vector<std::uint8_t> content = Parameter(message, CMSG_CONTENT_PARAM);
    const auto indirect =
        platform::formats::IndirectData::From(ByteView(content.data(), content.size()));
    DWORD signers = 0;
    DWORD size = sizeof signers;
    if (type.empty() ||
        std::strcmp(reinterpret_cast<const char*>(type.data()),
                    platform::formats::kIndirectDataOid) != 0 ||
        !indirect || !CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) ||
        signers != 1) {
        return signature;
    }
    signature.digest.assign(indirect->digest.data(),
                            indirect->digest.data() + indirect->digest.size());
    signature.algorithm = DigestKindOf(indirect->digestAlgorithm);
    if (signature.algorithm) {
        signature.record.digestAlgorithm = DigestName(*signature.algorithm);
    }
    signature.store.reset(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message));
    signature.signerInfo = Parameter(message, CMSG_SIGNER_INFO_PARAM);
    if (signature.store) {
        signature.certificate = SignerCertificate(message, signature.store.get());
    }
    if (!signature.certificate || !signature.algorithm || signature.signerInfo.empty()) {
        return signature;
    }
    DescribeSigner(signature.certificate.get(), signature.record);
    if (const auto opus =
            AttributeValue(signature.Signer().AuthAttrs, platform::formats::kOpusInfoOid)) {
        signature.record.programName = platform::formats::ProgramNameOf(*opus);
    }
    signature.readable = true;
    if (withNested) {
        for (const ByteView nested :
             AttributeValues(signature.Signer().UnauthAttrs, platform::formats::kNestedSignatureOid,
                             kMostNestedSignatures)) {
            signature.nested.push_back(ReadSignature(nested, false));
        }
    }
    return signature;
}

// The checks of a signature read whole that the platform's verdict does not tell apart from
// another: its digest, its signer's signature, and its timestamp's time. False with the status
// set where one fails.
bool Intact(Signature& signature, const std::vector<std::uint8_t>& fileDigest) {
    if (fileDigest != signature.digest) {
        signature.record.status = "bad_digest";
        return false;
    }
    if (!CryptMsgControl(signature.message.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE,
                         const_cast<CERT_INFO*>(signature.certificate->pCertInfo))) {
        signature.record.status = "bad_signature";
        return false;
    }
    signature.record.signingTime =
        SigningTimeOf(signature.message.get(), signature.store.get(), signature.Signer());
    return true;
}

// The catalog calls, loaded once from wintrust.dll: SHA-256 where the platform has the newer
// calls, else the older calls' SHA-1.
struct CatalogCalls {
    decltype(&CryptCATAdminAcquireContext) acquire = nullptr;
    decltype(&CryptCATAdminAcquireContext2) acquire2 = nullptr;
    decltype(&CryptCATAdminCalcHashFromFileHandle) hash = nullptr;
    decltype(&CryptCATAdminCalcHashFromFileHandle2) hash2 = nullptr;
    decltype(&CryptCATAdminEnumCatalogFromHash) find = nullptr;
    decltype(&CryptCATCatalogInfoFromContext) info = nullptr;
    decltype(&CryptCATAdminReleaseCatalogContext) releaseCatalog = nullptr;
    decltype(&CryptCATAdminReleaseContext) release = nullptr;

    static const CatalogCalls& Loaded() {
        static const CatalogCalls calls = [] {
            CatalogCalls loaded;
            HMODULE library = LoadLibraryW(L"wintrust.dll");
            if (library == nullptr) {
                return loaded;
            }
            const auto load = [library](auto& call, const char* name) {
                call = reinterpret_cast<std::remove_reference_t<decltype(call)>>(
                    reinterpret_cast<void*>(GetProcAddress(library, name)));
            };
            load(loaded.acquire, "CryptCATAdminAcquireContext");
            load(loaded.acquire2, "CryptCATAdminAcquireContext2");
            load(loaded.hash, "CryptCATAdminCalcHashFromFileHandle");
            load(loaded.hash2, "CryptCATAdminCalcHashFromFileHandle2");
            load(loaded.find, "CryptCATAdminEnumCatalogFromHash");
            load(loaded.info, "CryptCATCatalogInfoFromContext");
            load(loaded.releaseCatalog, "CryptCATAdminReleaseCatalogContext");
            load(loaded.release, "CryptCATAdminReleaseContext");
            return loaded;
        }();
        return calls;
    }
    bool Usable() const {
        return acquire != nullptr && hash != nullptr && find != nullptr && info != nullptr &&
               releaseCatalog != nullptr && release != nullptr;
    }
};

// The catalog that signs the file, where one does: its verdict and its signer.
std::optional<SignatureRecord> CatalogSignature(const std::string& path) {
    const CatalogCalls& calls = CatalogCalls::Loaded();
    if (!calls.Usable()) {
        return std::nullopt;
    }
    const std::wstring file = Wide(path);
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    HCATADMIN admin = nullptr;
    const bool sha256 = calls.acquire2 != nullptr && calls.hash2 != nullptr;
    GUID driverAction = DRIVER_ACTION_VERIFY;
    const bool acquired =
        sha256 ? calls.acquire2(&admin, &driverAction, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != FALSE
               : calls.acquire(&admin, &driverAction, 0) != FALSE;
    std::vector<BYTE> hash(64);
    DWORD hashSize = static_cast<DWORD>(hash.size());
    const bool hashed =
        acquired && (sha256 ? calls.hash2(admin, handle, &hashSize, hash.data(), 0)
                            : calls.hash(handle, &hashSize, hash.data(), 0)) != FALSE;
    CloseHandle(handle);
    std::optional<SignatureRecord> found;
    HCATINFO catalog = hashed ? calls.find(admin, hash.data(), hashSize, 0, nullptr) : nullptr;
    CATALOG_INFO info{};
    info.cbStruct = sizeof info;
    if (catalog != nullptr && calls.info(catalog, &info, 0)) {
        std::wstring member;
        for (DWORD index = 0; index < hashSize; ++index) {
            wchar_t pair[3];
            swprintf(pair, 3, L"%02X", hash[index]);
            member += pair;
        }
        WINTRUST_CATALOG_INFO catalogInfo{};
        catalogInfo.cbStruct = sizeof catalogInfo;
        catalogInfo.pcwszCatalogFilePath = info.wszCatalogFile;
        catalogInfo.pcwszMemberFilePath = file.c_str();
        catalogInfo.pcwszMemberTag = member.c_str();
        catalogInfo.pbCalculatedFileHash = hash.data();
        catalogInfo.cbCalculatedFileHash = hashSize;
        catalogInfo.hCatAdmin = admin;
        SignatureRecord record;
        record.status = TrustVerdict(path, &catalogInfo);
        record.catalog = true;
        record.digestAlgorithm = sha256 ? "sha256" : "sha1";
        DescribeCatalogSigner(info.wszCatalogFile, record);
        found = record;
    }
    if (catalog != nullptr) {
        calls.releaseCatalog(admin, catalog, 0);
    }
    if (admin != nullptr) {
        calls.release(admin, 0);
    }
    return found;
}

}  // namespace

bool PrepareSignatureChecks(const std::string& trustFile, std::string& problem) {
    if (!trustFile.empty()) {
        problem = "--trust is for the Linux build: on Windows, the system's trust decides";
        return false;
    }
    return true;
}

std::shared_ptr<const platform::SignatureVerdict> CheckSignature(
    const platform::SignedContent& content, const platform::ReadContent& read,
    std::optional<std::string>* digest) {
    auto verdict = std::make_shared<CheckedSignature>();
    SignedDigests digests(content, digest != nullptr);
    const auto entry = platform::formats::WinCertificate::From(
        ByteView(content.table.data(), content.table.size()));
    Signature primary = entry ? ReadSignature(entry->bCertificate, true) : Signature{};
    if (!digests.ReadFor(primary, read, digest)) {
        return nullptr;
    }
    if (content.location.tableSize == 0) {
        // No embedded signature: a catalog's, or none.
        verdict->record = CatalogSignature(content.path).value_or(SignatureRecord{});
        return verdict;
    }
    if (!primary.readable) {
        verdict->record.status = "malformed";
        verdict->record.digestAlgorithm = primary.record.digestAlgorithm;
        return verdict;
    }
    if (Intact(primary, digests.Of(*primary.algorithm))) {
        primary.record.status = TrustVerdict(content.path, nullptr);
    }
    for (Signature& nested : primary.nested) {
        if (nested.readable && Intact(nested, digests.Of(*nested.algorithm))) {
            const auto stamped =
                nested.record.signingTime ? FileTimeOf(*nested.record.signingTime) : std::nullopt;
            nested.record.status = ChainVerdict(nested.certificate.get(), nested.store.get(),
                                                stamped, CERT_CHAIN_POLICY_AUTHENTICODE);
        }
        primary.record.nested.push_back(std::move(nested.record));
    }
    verdict->record = std::move(primary.record);
    return verdict;
}
