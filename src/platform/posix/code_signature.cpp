#include "platform/code_signature.h"

#include "platform/posix/trust_anchors.h"
#include "platform/text.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <optional>
#include <cstring>
#include <memory>
#include <vector>

// Authenticode as Windows checks it: the PE file's certificate table holds a PKCS#7 SignedData
// whose content (SpcIndirectDataContent) carries a digest of the file without its checksum, its
// certificate table entry and the table itself.
namespace velmora::platform {

namespace {

template <auto Free> struct Freer {
    template <typename T> void operator()(T *object) const { Free(object); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Freer<PKCS7_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Freer<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX_free>>;
using BioChainPtr = std::unique_ptr<BIO, Freer<BIO_free_all>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX_free>>;
using TsVerifyPtr = std::unique_ptr<TS_VERIFY_CTX, Freer<TS_VERIFY_CTX_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Freer<TS_TST_INFO_free>>;

constexpr std::uint64_t largest_certificate_table = std::uint64_t{16} * 1024 * 1024;

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

bool read_at(int fd, std::uint64_t offset, void *buffer, std::size_t length)
{
    auto *out = static_cast<unsigned char *>(buffer);
    while (length > 0) {
        ssize_t got = ::pread(fd, out, length, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        out += got;
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::size_t>(got);
    }
    return true;
}

std::uint32_t little32(const unsigned char *at)
{
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

std::uint16_t little16(const unsigned char *at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

struct PeLayout {
    std::uint64_t checksum_offset = 0;
    std::uint64_t table_entry_offset = 0;
    std::uint64_t table_offset = 0;
    std::uint64_t table_size = 0;
};

// trust_ok with the layout filled in, or the reason the file has no readable signature.
std::uint32_t read_layout(int fd, std::uint64_t file_size, PeLayout &layout)
{
    unsigned char dos[64];
    if (file_size < sizeof dos || !read_at(fd, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
        return trust_subject_form_unknown;
    std::uint64_t pe_offset = little32(dos + 0x3c);
    unsigned char coff[24];
    if (pe_offset + sizeof coff > file_size || !read_at(fd, pe_offset, coff, sizeof coff) ||
        std::memcmp(coff, "PE\0\0", 4) != 0)
        return trust_subject_form_unknown;
    std::uint16_t optional_size = little16(coff + 20);
    std::uint64_t optional_offset = pe_offset + sizeof coff;
    std::vector<unsigned char> optional(optional_size);
    if (optional_size < 2 || optional_offset + optional_size > file_size ||
        !read_at(fd, optional_offset, optional.data(), optional.size()))
        return trust_subject_form_unknown;

    std::uint16_t magic = little16(optional.data());
    std::size_t count_at = 0, directories_at = 0;
    if (magic == 0x10b) {
        count_at = 92;
        directories_at = 96;
    } else if (magic == 0x20b) {
        count_at = 108;
        directories_at = 112;
    } else {
        return trust_subject_form_unknown;
    }
    constexpr std::size_t security_entry = 4;
    std::size_t entry_at = directories_at + security_entry * 8;
    if (optional.size() < count_at + 4 || little32(optional.data() + count_at) <= security_entry ||
        optional.size() < entry_at + 8)
        return trust_no_signature;

    layout.checksum_offset = optional_offset + 64;
    layout.table_entry_offset = optional_offset + entry_at;
    layout.table_offset = little32(optional.data() + entry_at);
    layout.table_size = little32(optional.data() + entry_at + 4);
    if (layout.table_offset == 0 || layout.table_size == 0)
        return trust_no_signature;
    if (layout.table_offset < layout.table_entry_offset + 8 ||
        layout.table_size > largest_certificate_table || layout.table_offset + layout.table_size > file_size)
        return trust_no_signature;
    // Bytes after the table would be covered by no digest.
    if (layout.table_offset + layout.table_size != file_size)
        return trust_bad_digest;
    return trust_ok;
}

// Steps into one DER element at data; returns its content and moves data past the element.
bool der_element(const unsigned char *&data, long &left, int expected_tag, const unsigned char *&content,
                 long &length)
{
    const unsigned char *at = data;
    int tag = 0, kind = 0;
    int flags = ASN1_get_object(&at, &length, &tag, &kind, left);
    if ((flags & 0x80) || tag != expected_tag || kind != V_ASN1_UNIVERSAL)
        return false;
    content = at;
    left -= (at - data) + length;
    data = at + length;
    return left >= 0;
}

struct SignedContent {
    const unsigned char *bytes = nullptr; // what the signer signed: the content without its header
    long length = 0;
    const EVP_MD *digest_type = nullptr;
    std::vector<unsigned char> digest;
};

std::uint32_t read_signed_content(PKCS7 *p7, SignedContent &signed_content)
{
    if (!PKCS7_type_is_signed(p7) || !p7->d.sign || !p7->d.sign->contents)
        return trust_no_signature;
    PKCS7 *contents = p7->d.sign->contents;
    char type[64] = {};
    OBJ_obj2txt(type, sizeof type, contents->type, 1);
    if (std::strcmp(type, "1.3.6.1.4.1.311.2.1.4") != 0 || !contents->d.other ||
        contents->d.other->type != V_ASN1_SEQUENCE)
        return trust_no_signature;

    const ASN1_STRING *sequence = contents->d.other->value.sequence;
    const unsigned char *data = sequence->data, *content = nullptr;
    long left = sequence->length, length = 0;
    if (!der_element(data, left, V_ASN1_SEQUENCE, content, length))
        return trust_bad_digest;
    signed_content.bytes = content;
    signed_content.length = length;

    // SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
    const unsigned char *inner = content, *skipped = nullptr, *digest_info = nullptr;
    long inner_left = length, skipped_length = 0, info_length = 0;
    if (!der_element(inner, inner_left, V_ASN1_SEQUENCE, skipped, skipped_length) ||
        !der_element(inner, inner_left, V_ASN1_SEQUENCE, digest_info, info_length))
        return trust_bad_digest;
    const unsigned char *info = digest_info, *algorithm = nullptr, *digest = nullptr, *oid = nullptr;
    long info_left = info_length, algorithm_length = 0, digest_length = 0, oid_length = 0;
    if (!der_element(info, info_left, V_ASN1_SEQUENCE, algorithm, algorithm_length) ||
        !der_element(info, info_left, V_ASN1_OCTET_STRING, digest, digest_length))
        return trust_bad_digest;
    const unsigned char *oid_start = algorithm;
    long algorithm_left = algorithm_length;
    if (!der_element(algorithm, algorithm_left, V_ASN1_OBJECT, oid, oid_length))
        return trust_bad_digest;
    ASN1_OBJECT *object = d2i_ASN1_OBJECT(nullptr, &oid_start, algorithm_length);
    int nid = object ? OBJ_obj2nid(object) : NID_undef;
    ASN1_OBJECT_free(object);
    if (nid != NID_sha1 && nid != NID_sha256 && nid != NID_sha384 && nid != NID_sha512)
        return trust_bad_algorithm;
    signed_content.digest_type = EVP_get_digestbynid(nid);
    if (!signed_content.digest_type || digest_length != EVP_MD_get_size(signed_content.digest_type))
        return trust_bad_digest;
    signed_content.digest.assign(digest, digest + digest_length);
    return trust_ok;
}

bool hash_range(int fd, EVP_MD_CTX *context, std::uint64_t from, std::uint64_t to,
                std::vector<unsigned char> &buffer)
{
    while (from < to) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - from));
        if (!read_at(fd, from, buffer.data(), chunk) || EVP_DigestUpdate(context, buffer.data(), chunk) != 1)
            return false;
        from += chunk;
    }
    return true;
}

bool file_digest_matches(int fd, const PeLayout &layout, const SignedContent &signed_content)
{
    DigestContextPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), signed_content.digest_type, nullptr) != 1)
        return false;
    std::vector<unsigned char> buffer(std::size_t{256} * 1024);
    if (!hash_range(fd, context.get(), 0, layout.checksum_offset, buffer) ||
        !hash_range(fd, context.get(), layout.checksum_offset + 4, layout.table_entry_offset, buffer) ||
        !hash_range(fd, context.get(), layout.table_entry_offset + 8, layout.table_offset, buffer))
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context.get(), digest, &length) == 1 &&
           length == signed_content.digest.size() &&
           std::memcmp(digest, signed_content.digest.data(), length) == 0;
}

std::uint32_t trust_result_of(int verify_error)
{
    switch (verify_error) {
    case X509_V_OK:
        return trust_ok;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return trust_expired;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_CERT_UNTRUSTED:
        return trust_untrusted_root;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        return trust_cert_signature;
    default:
        return trust_chaining;
    }
}

bool usable_for_code_signing(X509 *certificate)
{
    // Windows requires the code-signing purpose where a certificate limits its purposes.
    if (!(X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE))
        return true;
    return (X509_get_extended_key_usage(certificate) & (XKU_CODE_SIGN | XKU_ANYEKU)) != 0;
}

StorePtr trust_anchors()
{
    StorePtr store(X509_STORE_new());
    // Without the bundle nothing is trusted, which the verifications report.
    if (store)
        X509_STORE_load_file(store.get(), trust_anchor_file());
    return store;
}

// The chain as it was at signed_at when given (a timestamp's time), otherwise as it is now.
std::uint32_t verify_chain(PKCS7 *p7, X509 *signer, std::optional<std::time_t> signed_at = std::nullopt)
{
    StorePtr store = trust_anchors();
    if (!store)
        return trust_chaining;
    StoreContextPtr context(X509_STORE_CTX_new());
    if (!context || X509_STORE_CTX_init(context.get(), store.get(), signer, p7->d.sign->cert) != 1)
        return trust_chaining;
    if (signed_at)
        X509_STORE_CTX_set_time(context.get(), 0, *signed_at);
    if (X509_verify_cert(context.get()) != 1)
        return trust_result_of(X509_STORE_CTX_get_error(context.get()));
    STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(context.get());
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        if (!usable_for_code_signing(sk_X509_value(chain, i)))
            return trust_wrong_usage;
    }
    return trust_ok;
}

// The time an RFC 3161 timestamp countersignature vouches the signature existed at, when the
// timestamp is intact, covers this signature and its signer chains to our anchors for timestamping.
std::optional<std::time_t> timestamp_time(PKCS7 *p7)
{
    PKCS7_SIGNER_INFO *signer_info = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7), 0);
    if (!signer_info || !signer_info->enc_digest)
        return std::nullopt;
    ASN1_OBJECT *oid = OBJ_txt2obj("1.3.6.1.4.1.311.3.3.1", 1);
    int index = oid ? X509at_get_attr_by_OBJ(signer_info->unauth_attr, oid, -1) : -1;
    ASN1_OBJECT_free(oid);
    ASN1_TYPE *value =
        index >= 0 ? X509_ATTRIBUTE_get0_type(X509at_get_attr(signer_info->unauth_attr, index), 0) : nullptr;
    if (!value || value->type != V_ASN1_SEQUENCE)
        return std::nullopt;
    const unsigned char *der = value->value.sequence->data;
    Pkcs7Ptr token(d2i_PKCS7(nullptr, &der, value->value.sequence->length));
    TsVerifyPtr verify(TS_VERIFY_CTX_new());
    StorePtr store = trust_anchors();
    // What a timestamp covers is the signature's value.
    BIO *stamped = BIO_new_mem_buf(signer_info->enc_digest->data, signer_info->enc_digest->length);
    if (!token || !verify || !store || !stamped) {
        BIO_free(stamped);
        return std::nullopt;
    }
    TS_VERIFY_CTX_set_flags(verify.get(), TS_VFY_VERSION | TS_VFY_SIGNER | TS_VFY_SIGNATURE | TS_VFY_DATA);
    // The context owns both from here; OpenSSL 3.4 renamed the setters to say so.
#if OPENSSL_VERSION_NUMBER >= 0x30400000L
    TS_VERIFY_CTX_set0_data(verify.get(), stamped);
    TS_VERIFY_CTX_set0_store(verify.get(), store.release());
#else
    TS_VERIFY_CTX_set_data(verify.get(), stamped);
    TS_VERIFY_CTX_set_store(verify.get(), store.release());
#endif
    if (TS_RESP_verify_token(verify.get(), token.get()) != 1)
        return std::nullopt;
    TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    std::tm when{};
    if (!info || ASN1_TIME_to_tm(TS_TST_INFO_get_time(info.get()), &when) != 1)
        return std::nullopt;
    return timegm(&when);
}

std::u16string common_name_of(X509 *certificate)
{
    X509_NAME *subject = X509_get_subject_name(certificate);
    int index = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
    if (index < 0)
        return {};
    unsigned char *utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0)
        return {};
    std::u16string name =
        utf8_to_utf16(std::string_view(reinterpret_cast<char *>(utf8), static_cast<std::size_t>(length)));
    OPENSSL_free(utf8);
    // Windows reads the name into 256 units, the last one the terminating zero.
    if (name.size() > 255)
        name.resize(255);
    return name;
}

SignatureCheck check_open_file(int fd)
{
    SignatureCheck check;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        check.result = trust_file_error;
        return check;
    }
    PeLayout layout;
    if ((check.result = read_layout(fd, static_cast<std::uint64_t>(status.st_size), layout)) != trust_ok)
        return check;

    std::vector<unsigned char> table(layout.table_size);
    if (!read_at(fd, layout.table_offset, table.data(), table.size())) {
        check.result = trust_file_error;
        return check;
    }
    // WIN_CERTIFICATE: length, revision 2.0, type PKCS#7 SignedData; its header read only once the
    // table is known to hold one.
    if (table.size() < 8) {
        check.result = trust_no_signature;
        return check;
    }
    std::uint32_t entry_length = little32(table.data());
    if (entry_length < 8 || entry_length > table.size() || little16(table.data() + 4) != 0x0200 ||
        little16(table.data() + 6) != 0x0002) {
        check.result = trust_no_signature;
        return check;
    }
    const unsigned char *der = table.data() + 8;
    Pkcs7Ptr p7(d2i_PKCS7(nullptr, &der, entry_length - 8));
    if (!p7) {
        check.result = trust_bad_digest;
        return check;
    }
    SignedContent signed_content;
    if ((check.result = read_signed_content(p7.get(), signed_content)) != trust_ok)
        return check;
    if (!file_digest_matches(fd, layout, signed_content)) {
        check.result = trust_bad_digest;
        return check;
    }

    STACK_OF(X509) *signers = PKCS7_get0_signers(p7.get(), nullptr, 0);
    X509 *signer = sk_X509_num(signers) == 1 ? sk_X509_value(signers, 0) : nullptr;
    // Behind a pass-through filter: PKCS7_verify copies a memory BIO it is given, and leaks the copy
    // when the signature names a digest it cannot set up.
    BioChainPtr content(BIO_new(BIO_f_null()));
    if (content) {
        BIO *bytes = BIO_new_mem_buf(signed_content.bytes, static_cast<int>(signed_content.length));
        if (bytes)
            BIO_push(content.get(), bytes);
        else
            content.reset();
    }
    if (!signer || !content) {
        sk_X509_free(signers);
        check.result = trust_no_signature;
        return check;
    }
    // The signature over the content; the chain is checked apart to tell why it fails.
    if (PKCS7_verify(p7.get(), nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) != 1) {
        sk_X509_free(signers);
        check.result = trust_bad_digest;
        return check;
    }
    check.result = verify_chain(p7.get(), signer);
    // A certificate that has expired since is fine when a timestamp shows it signed in time.
    if (check.result == trust_expired) {
        if (std::optional<std::time_t> signed_at = timestamp_time(p7.get()))
            check.result = verify_chain(p7.get(), signer, signed_at);
    }
    if (check.result == trust_ok) {
        check.has_signer = true;
        check.signer_common_name = common_name_of(signer);
    }
    sk_X509_free(signers);
    return check;
}

} // namespace

SignatureCheck check_code_signature(const std::u16string &path)
{
    Descriptor file(::open(utf16_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        SignatureCheck check;
        check.result = trust_file_error;
        return check;
    }
    SignatureCheck check = check_open_file(file.get());
    ERR_clear_error();
    return check;
}

} // namespace velmora::platform
