#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::platform {

// An incremental SHA-256 (BCrypt on Windows, libcrypto here).
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // False when the system gave us no hash object; every call then fails.
    bool valid() const;
    bool add(const void *bytes, std::size_t length);
    bool finish(std::array<std::uint8_t, 32> &digest);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

} // namespace velmora::platform
