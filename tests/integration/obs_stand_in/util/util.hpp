#pragma once

#include "bmem.h"

// OBS's owner of memory from its allocator.
template <typename T> class BPtr {
  public:
    BPtr(T *pointer = nullptr) : pointer_(pointer) {}
    ~BPtr() { bfree(pointer_); }
    BPtr(const BPtr &) = delete;
    BPtr &operator=(const BPtr &) = delete;
    operator T *() const { return pointer_; }
    T *Get() const { return pointer_; }

  private:
    T *pointer_;
};
