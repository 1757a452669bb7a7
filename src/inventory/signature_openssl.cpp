// Authenticode verification through OpenSSL's libcrypto: the SignedData, its signer's signature
// over the signed attributes, the chain to a trusted root, RFC 3161 and PKCS #9 timestamps and
// nested signatures. The Microsoft structures inside are read by the format code.

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "inventory/digests.h"
#include "inventory/signature_check.h"
#include "inventory/signed_digests.h"
#include "platform/formats/authenticode.h"

namespace {

using platform::formats::ByteView;

// Where the trusted roots come from (empty: the system's), and when the scan began.
std::string trustSource;
std::time_t scanTime = 0;

X509_STORE* StoreOf(const std::string& trustFile, bool checkTime);

// What the checks are held against: a store of the trusted roots for each thread, as OpenSSL
// fills caches in a store's certificates as it verifies through them. The timestamps' chains are
// checked without regard to time (a timestamping certificate that has since expired still vouches
// for the times it stamped then).
struct TrustStores {
    X509_STORE* roots = StoreOf(trustSource, true);
    X509_STORE* timestampRoots = StoreOf(trustSource, false);
    TrustStores() = default;
    TrustStores(const TrustStores&) = delete;
    TrustStores& operator=(const TrustStores&) = delete;
    ~TrustStores() {
        X509_STORE_free(roots);
        X509_STORE_free(timestampRoots);
    }
};
TrustStores& Trust() {
    thread_local TrustStores stores;
    return stores;
}

constexpr std::size_t kMostNestedSignatures = 64;

template <typename Type, void (*Free)(Type*)>
struct Freer {
    void operator()(Type* value) const { Free(value); }
};
using Pkcs7 = std::unique_ptr<PKCS7, Freer<PKCS7, PKCS7_free>>;
using SignerInfo =
    std::unique_ptr<PKCS7_SIGNER_INFO, Freer<PKCS7_SIGNER_INFO, PKCS7_SIGNER_INFO_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
using StoreContext = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;
using TstInfo = std::unique_ptr<TS_TST_INFO, Freer<TS_TST_INFO, TS_TST_INFO_free>>;
using VerifyContext = std::unique_ptr<TS_VERIFY_CTX, Freer<TS_VERIFY_CTX, TS_VERIFY_CTX_free>>;

ByteView ViewOf(const ASN1_STRING* text) {
    return ByteView(ASN1_STRING_get0_data(text),
                    static_cast<std::size_t>(ASN1_STRING_length(text)));
}

std::string OidText(const ASN1_OBJECT* object) {
    char text[128];
    const int length = OBJ_obj2txt(text, sizeof text, object, 1);
    return length > 0 && length < static_cast<int>(sizeof text) ? std::string(text, length) : "";
}

std::optional<std::time_t> TimeOf(const ASN1_TIME* time) {
    std::tm calendar{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &calendar) != 1) {
        return std::nullopt;
    }
    return timegm(&calendar);
}

// The first value of the attribute named by oid among attributes, as its DER, or none.
std::optional<ByteView> AttributeValue(const STACK_OF(X509_ATTRIBUTE) * attributes, const char* oid,
                                       int index = 0) {
    for (int at = 0; at < sk_X509_ATTRIBUTE_num(attributes); ++at) {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, at);
        if (OidText(X509_ATTRIBUTE_get0_object(attribute)) != oid) {
            continue;
        }
        const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, index);
        if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
            return std::nullopt;
        }
        return ViewOf(value->value.sequence);
    }
    return std::nullopt;
}

// Every value of every attribute named by oid, as DER, up to most.
std::vector<ByteView> AttributeValues(const STACK_OF(X509_ATTRIBUTE) * attributes, const char* oid,
                                      std::size_t most) {
    std::vector<ByteView> values;
    for (int at = 0; at < sk_X509_ATTRIBUTE_num(attributes); ++at) {
        X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, at);
        if (OidText(X509_ATTRIBUTE_get0_object(attribute)) != oid) {
            continue;
        }
        for (int index = 0; index < X509_ATTRIBUTE_count(attribute) && values.size() < most;
             ++index) {
            const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, index);
            if (value != nullptr && value->type == V_ASN1_SEQUENCE) {
                values.push_back(ViewOf(value->value.sequence));
            }
        }
    }
    return values;
}

std::optional<std::vector<unsigned char>> DigestOf(const EVP_MD* algorithm, ByteView bytes) {
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, algorithm, nullptr) != 1) {
        return std::nullopt;
    }
    digest.resize(length);
    return digest;
}

bool SameBytes(const std::vector<unsigned char>& digest, ByteView bytes) {
    return digest.size() == bytes.size() &&
           std::memcmp(digest.data(), bytes.data(), bytes.size()) == 0;
}

// A signer's signature over its signed attributes, with the message digest they name being that
// of content: whether both hold.
bool SignerSignatureHolds(PKCS7_SIGNER_INFO* signer, X509* certificate, ByteView content) {
    const EVP_MD* algorithm = EVP_get_digestbyobj(signer->digest_alg->algorithm);
    const ASN1_OCTET_STRING* named = PKCS7_digest_from_attributes(signer->auth_attr);
    const auto digest = algorithm != nullptr ? DigestOf(algorithm, content) : std::nullopt;
    if (named == nullptr || !digest || !SameBytes(*digest, ViewOf(named))) {
        return false;
    }
    unsigned char* attributes = nullptr;
    const int length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(signer->auth_attr), &attributes,
                                     ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (length <= 0) {
        return false;
    }
    DigestContext context(EVP_MD_CTX_new());
    const bool holds = context != nullptr &&
                       EVP_DigestVerifyInit(context.get(), nullptr, algorithm, nullptr,
                                            X509_get0_pubkey(certificate)) == 1 &&
                       EVP_DigestVerify(context.get(), signer->enc_digest->data,
                                        static_cast<std::size_t>(signer->enc_digest->length),
                                        attributes, static_cast<std::size_t>(length)) == 1;
    OPENSSL_free(attributes);
    return holds;
}

enum class Chain { Trusted, Expired, Untrusted };

// Whether certificate's chain, through the intermediates given, leads to one of store's roots at
// time, or would but for the time.
Chain ChainOf(X509_STORE* store, X509* certificate, STACK_OF(X509) * intermediates,
              std::time_t time) {
    const auto verify = [&](bool checkTime) {
        StoreContext context(X509_STORE_CTX_new());
        if (!context ||
            X509_STORE_CTX_init(context.get(), store, certificate, intermediates) != 1) {
            return std::pair(false, 0);
        }
        // A time set would be checked however the flags say not to.
        X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context.get());
        if (checkTime) {
            X509_VERIFY_PARAM_set_time(parameters, time);
        } else {
            X509_VERIFY_PARAM_set_flags(parameters, X509_V_FLAG_NO_CHECK_TIME);
        }
        const bool valid = X509_verify_cert(context.get()) == 1;
        return std::pair(valid, X509_STORE_CTX_get_error(context.get()));
    };
    const auto [valid, error] = verify(true);
    if (valid) {
        return Chain::Trusted;
    }
    if (error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID) {
        return verify(false).first ? Chain::Expired : Chain::Untrusted;
    }
    return Chain::Untrusted;
}

X509* CertificateOf(const PKCS7* signedData, const PKCS7_SIGNER_INFO* signer) {
    return X509_find_by_issuer_and_serial(signedData->d.sign->cert,
                                          signer->issuer_and_serial->issuer,
                                          signer->issuer_and_serial->serial);
}

// The time an RFC 3161 timestamp vouches for, where its token's signature holds, its chain leads
// to a trusted root, and it stamps this signer's signature.
std::optional<std::time_t> Rfc3161Time(ByteView der, const PKCS7_SIGNER_INFO* signer) {
    const unsigned char* at = der.data();
    Pkcs7 token(d2i_PKCS7(nullptr, &at, static_cast<long>(der.size())));
    if (!token || !PKCS7_type_is_signed(token.get())) {
        return std::nullopt;
    }
    TstInfo info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        return std::nullopt;
    }
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const EVP_MD* algorithm = EVP_get_digestbyobj(TS_MSG_IMPRINT_get_algo(imprint)->algorithm);
    const auto stamped =
        algorithm != nullptr ? DigestOf(algorithm, ViewOf(signer->enc_digest)) : std::nullopt;
    if (!stamped || !SameBytes(*stamped, ViewOf(TS_MSG_IMPRINT_get_msg(imprint)))) {
        return std::nullopt;
    }
    VerifyContext context(TS_VERIFY_CTX_new());
    X509_STORE* timestampRoots = Trust().timestampRoots;
    if (!context || timestampRoots == nullptr || X509_STORE_up_ref(timestampRoots) != 1) {
        return std::nullopt;
    }
    TS_VERIFY_CTX_set_store(context.get(), timestampRoots);  // the context's to free
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE);
    if (TS_RESP_verify_token(context.get(), token.get()) != 1) {
        return std::nullopt;
    }
    return TimeOf(TS_TST_INFO_get_time(info.get()));
}

// The time a PKCS #9 countersignature vouches for, on the same terms.
std::optional<std::time_t> CountersignatureTime(ByteView der, const PKCS7* signedData,
                                                const PKCS7_SIGNER_INFO* signer) {
    const unsigned char* at = der.data();
    SignerInfo counter(d2i_PKCS7_SIGNER_INFO(nullptr, &at, static_cast<long>(der.size())));
    X509* certificate = counter ? CertificateOf(signedData, counter.get()) : nullptr;
    if (certificate == nullptr ||
        !SignerSignatureHolds(counter.get(), certificate, ViewOf(signer->enc_digest))) {
        return std::nullopt;
    }
    const ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
    const auto time = signingTime != nullptr && signingTime->type == V_ASN1_UTCTIME
                          ? TimeOf(signingTime->value.utctime)
                          : std::nullopt;
    if (!time || ChainOf(Trust().timestampRoots, certificate, signedData->d.sign->cert, *time) !=
                     Chain::Trusted) {
        return std::nullopt;
    }
    return time;
}

std::optional<std::string> IsoTimeOf(std::time_t time) {
    std::tm calendar{};
    if (gmtime_r(&time, &calendar) == nullptr) {
        return std::nullopt;
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &calendar);
    return text;
}

void DescribeSigner(X509* certificate, SignatureRecord& record) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length > 0) {
        DescribeSigner(ByteView(der, static_cast<std::size_t>(length)), record);
    }
    OPENSSL_free(der);
}

// One SignedData read from the table, ready to be held against the file's digest.
struct Signature {
    Pkcs7 signedData;
    PKCS7_SIGNER_INFO* signer = nullptr;
    X509* certificate = nullptr;
    std::optional<DigestKind> algorithm;  // of the file's digest
    platform::formats::IndirectData indirect;
    ByteView indirectContents;  // what the signed attributes' message digest covers
    SignatureRecord record;     // status malformed until checked
    std::vector<Signature> nested;
};

// The signature in der, read as far as it can be; record.status says "malformed" where it is not
// a readable Authenticode signature.
Signature ReadSignature(ByteView der, bool withNested) {
    Signature signature;
    signature.record.status = "malformed";
    const unsigned char* at = der.data();
    signature.signedData.reset(d2i_PKCS7(nullptr, &at, static_cast<long>(der.size())));
    PKCS7* data = signature.signedData.get();
    if (data == nullptr || !PKCS7_type_is_signed(data) || data->d.sign->contents == nullptr ||
        OidText(data->d.sign->contents->type) != platform::formats::kIndirectDataOid ||
        data->d.sign->contents->d.other == nullptr ||
        data->d.sign->contents->d.other->type != V_ASN1_SEQUENCE) {
        return signature;
    }
    const ByteView content = ViewOf(data->d.sign->contents->d.other->value.sequence);
    const auto indirect = platform::formats::IndirectData::From(content);
    const auto element = platform::formats::DerElement::From(content);
    STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(data);
    if (!indirect || !element || sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
        return signature;
    }
    signature.indirect = *indirect;
    signature.indirectContents = element->contents;
    signature.signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);
    signature.certificate = CertificateOf(data, signature.signer);
    signature.algorithm = DigestKindOf(indirect->digestAlgorithm);
    if (signature.algorithm) {
        signature.record.digestAlgorithm = DigestName(*signature.algorithm);
    }
    if (signature.certificate == nullptr || !signature.algorithm ||
        signature.signer->auth_attr == nullptr) {
        return signature;
    }
    DescribeSigner(signature.certificate, signature.record);
    if (const auto opus =
            AttributeValue(signature.signer->auth_attr, platform::formats::kOpusInfoOid)) {
        signature.record.programName = platform::formats::ProgramNameOf(*opus);
    }
    signature.record.status = "unchecked";
    if (withNested) {
        for (const ByteView nested :
             AttributeValues(signature.signer->unauth_attr, platform::formats::kNestedSignatureOid,
                             kMostNestedSignatures)) {
            signature.nested.push_back(ReadSignature(nested, false));
        }
    }
    return signature;
}

// The verdict on a signature read whole, given the file's digest by its algorithm.
void Judge(Signature& signature, const std::vector<std::uint8_t>& fileDigest) {
    SignatureRecord& record = signature.record;
    if (!SameBytes(fileDigest, signature.indirect.digest)) {
        record.status = "bad_digest";
        return;
    }
    if (!SignerSignatureHolds(signature.signer, signature.certificate,
                              signature.indirectContents)) {
        record.status = "bad_signature";
        return;
    }
    std::optional<std::time_t> stamped;
    if (const auto token = AttributeValue(signature.signer->unauth_attr,
                                          platform::formats::kRfc3161TimestampOid)) {
        stamped = Rfc3161Time(*token, signature.signer);
    } else if (const auto counter =
                   AttributeValue(signature.signer->unauth_attr, "1.2.840.113549.1.9.6")) {
        stamped = CountersignatureTime(*counter, signature.signedData.get(), signature.signer);
    }
    if (stamped) {
        record.signingTime = IsoTimeOf(*stamped);
    }
    switch (ChainOf(Trust().roots, signature.certificate, signature.signedData->d.sign->cert,
                    stamped.value_or(scanTime))) {
        case Chain::Trusted:
            record.status = "trusted";
            break;
        case Chain::Expired:
            record.status = "expired";
            break;
        case Chain::Untrusted:
            record.status = "untrusted";
            break;
    }
}

X509_STORE* StoreOf(const std::string& trustFile, bool checkTime) {
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) {
        return nullptr;
    }
    const bool loaded = trustFile.empty() ? X509_STORE_set_default_paths(store) == 1
                                          : X509_STORE_load_file(store, trustFile.c_str()) == 1;
    if (!loaded) {
        X509_STORE_free(store);
        return nullptr;
    }
    if (!checkTime) {
        X509_VERIFY_PARAM_set_flags(X509_STORE_get0_param(store), X509_V_FLAG_NO_CHECK_TIME);
    }
    return store;
}

}  // namespace

bool PrepareSignatureChecks(const std::string& trustFile, std::string& problem) {
    scanTime = std::time(nullptr);
    trustSource = trustFile;
    // Read once here, that a file that cannot be read ends the run before its walk.
    if (Trust().roots == nullptr || Trust().timestampRoots == nullptr) {
        problem = trustFile.empty() ? "cannot read the system's trusted certificates"
                                    : "cannot read trusted certificates from " + trustFile;
        return false;
    }
    return true;
}

std::shared_ptr<const platform::SignatureVerdict> CheckSignature(
    const platform::SignedContent& content, const platform::ReadContent& read,
    std::optional<std::string>* digest) {
    auto verdict = std::make_shared<CheckedSignature>();
    const auto entry = platform::formats::WinCertificate::From(
        ByteView(content.table.data(), content.table.size()));
    Signature primary = entry ? ReadSignature(entry->bCertificate, true) : Signature{};
    SignedDigests digests(content, digest != nullptr);
    if (!digests.ReadFor(primary, read, digest)) {
        return nullptr;
    }
    if (std::strcmp(primary.record.status, "unchecked") != 0) {
        verdict->record.status = "malformed";
        verdict->record.digestAlgorithm = primary.record.digestAlgorithm;
        return verdict;
    }
    Judge(primary, digests.Of(*primary.algorithm));
    for (Signature& nested : primary.nested) {
        if (std::strcmp(nested.record.status, "unchecked") == 0) {
            Judge(nested, digests.Of(*nested.algorithm));
        }
        primary.record.nested.push_back(std::move(nested.record));
    }
    verdict->record = std::move(primary.record);
    return verdict;
}
