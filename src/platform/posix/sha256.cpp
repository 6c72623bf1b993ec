#include "platform/sha256.h"

#include <openssl/evp.h>

namespace velmora::platform {

struct Sha256::Impl {
    EVP_MD_CTX *context = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>())
{
    impl_->context = EVP_MD_CTX_new();
    if (impl_->context && EVP_DigestInit_ex(impl_->context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(impl_->context);
        impl_->context = nullptr;
    }
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(impl_->context);
}

bool Sha256::valid() const
{
    return impl_->context != nullptr;
}

bool Sha256::add(const void *bytes, std::size_t length)
{
    return valid() && EVP_DigestUpdate(impl_->context, bytes, length) == 1;
}

bool Sha256::finish(std::array<std::uint8_t, 32> &digest)
{
    unsigned int length = 0;
    return valid() && EVP_DigestFinal_ex(impl_->context, digest.data(), &length) == 1 &&
           length == digest.size();
}

} // namespace velmora::platform
