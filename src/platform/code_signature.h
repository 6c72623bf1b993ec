#pragma once

#include <cstdint>
#include <string>

namespace velmora::platform {

// Result codes of a signature check, as Windows' trust provider reports them.
inline constexpr std::uint32_t trust_ok = 0;
inline constexpr std::uint32_t trust_subject_form_unknown = 0x800b0003; // not an executable we can read
inline constexpr std::uint32_t trust_no_signature = 0x800b0100;
inline constexpr std::uint32_t trust_expired = 0x800b0101;
inline constexpr std::uint32_t trust_untrusted_root = 0x800b0109;
inline constexpr std::uint32_t trust_chaining = 0x800b010a;
inline constexpr std::uint32_t trust_wrong_usage = 0x800b0110;
inline constexpr std::uint32_t trust_bad_digest = 0x80096010;
inline constexpr std::uint32_t trust_cert_signature = 0x80096004;
inline constexpr std::uint32_t trust_bad_algorithm = 0x80090008;
inline constexpr std::uint32_t trust_file_error = 0x80092003;

struct SignatureCheck {
    // trust_ok when the executable's embedded signature is intact and its certificate chains to a
    // trusted root for code signing (no revocation, nothing fetched from the network).
    std::uint32_t result = trust_no_signature;
    // When trusted: whether the signing certificate could be read, and its subject's common name,
    // at most 255 UTF-16 units.
    bool has_signer = false;
    std::u16string signer_common_name;
};

SignatureCheck check_code_signature(const std::u16string &path);

} // namespace velmora::platform
