#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// Lower-case hexadecimal SHA-256 of the whole file, and its byte count in bytes when given;
// empty (and bytes untouched) when the file cannot be read.
std::string sha256_file(const std::u16string &path, std::uint64_t *bytes);

// True when the file's code signature is trusted and made by the installer's publisher. Otherwise
// reason says why: "not trusted by Windows (0x........)", "no signer" or
// "signed by someone else (<name>)".
bool check_installer_signature(const std::u16string &path, std::string &reason);

// The signer expected on installers; fixed when the module is linked.
const char16_t *installer_publisher();

} // namespace velmora
