#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

namespace velmora::platform {

struct Sha256::Impl {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

Sha256::Sha256() : impl_(std::make_unique<Impl>())
{
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&impl_->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
        impl_->provider = nullptr;
        return;
    }
    if (!BCRYPT_SUCCESS(BCryptCreateHash(impl_->provider, &impl_->hash, nullptr, 0, nullptr, 0, 0)))
        impl_->hash = nullptr;
}

Sha256::~Sha256()
{
    if (impl_->hash)
        BCryptDestroyHash(impl_->hash);
    if (impl_->provider)
        BCryptCloseAlgorithmProvider(impl_->provider, 0);
}

bool Sha256::valid() const
{
    return impl_->hash != nullptr;
}

bool Sha256::add(const void *bytes, std::size_t length)
{
    if (!valid())
        return false;
    auto *input = static_cast<UCHAR *>(const_cast<void *>(bytes));
    while (length > 0) {
        ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(impl_->hash, input, chunk, 0)))
            return false;
        input += chunk;
        length -= chunk;
    }
    return true;
}

bool Sha256::finish(std::array<std::uint8_t, 32> &digest)
{
    if (!valid())
        return false;
    bool done =
        BCRYPT_SUCCESS(BCryptFinishHash(impl_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
    // A finished BCrypt hash takes no more data.
    BCryptDestroyHash(impl_->hash);
    impl_->hash = nullptr;
    return done;
}

} // namespace velmora::platform
