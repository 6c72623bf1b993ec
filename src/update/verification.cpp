#include "update/verification.h"

#include "platform/code_signature.h"
#include "platform/files.h"
#include "platform/sha256.h"
#include "platform/text.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace velmora {

std::string sha256_file(const std::u16string &path, std::uint64_t *bytes)
{
    platform::File file = platform::File::open_for_reading(path);
    platform::Sha256 hash;
    if (!file.valid() || !hash.valid())
        return {};
    std::vector<unsigned char> buffer(262144);
    std::uint64_t count = 0;
    for (;;) {
        long got = file.read(buffer.data(), static_cast<unsigned long>(buffer.size()));
        if (got < 0)
            return {};
        if (got == 0)
            break;
        count += static_cast<std::uint64_t>(got);
        if (!hash.add(buffer.data(), static_cast<std::size_t>(got)))
            return {};
    }
    std::array<std::uint8_t, 32> digest;
    if (!hash.finish(digest))
        return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 15]);
    }
    if (bytes)
        *bytes = count;
    return text;
}

bool check_installer_signature(const std::u16string &path, std::string &reason)
{
    platform::SignatureCheck check = platform::check_code_signature(path);
    if (check.result != platform::trust_ok) {
        char code[32];
        (void)std::snprintf(code, sizeof code, "0x%08lx",
                            static_cast<unsigned long>(check.result)); // always fits
        reason = std::string("not trusted by Windows (") + code + ")";
        return false;
    }
    if (!check.has_signer) {
        reason = "no signer";
        return false;
    }
    if (check.signer_common_name != installer_publisher()) {
        reason = "signed by someone else (" + platform::utf16_to_utf8(check.signer_common_name) + ")";
        return false;
    }
    return true;
}

} // namespace velmora
