#pragma once
// A heap array that is overwritten with zeros before it is freed, for text
// that may be sensitive.

#include <cstddef>
#include <utility>

#include <windows.h>

template <typename Char>
class WipedBuffer {
 public:
  WipedBuffer() = default;
  // Zero-filled; allocation failure throws std::bad_alloc.
  explicit WipedBuffer(size_t units) : data_(new Char[units]()), units_(units) {}
  ~WipedBuffer() { Reset(); }
  WipedBuffer(const WipedBuffer&) = delete;
  WipedBuffer& operator=(const WipedBuffer&) = delete;
  WipedBuffer(WipedBuffer&& other) noexcept { Swap(other); }
  WipedBuffer& operator=(WipedBuffer&& other) noexcept {
    if (this != &other) {
      Reset();
      Swap(other);
    }
    return *this;
  }

  void Reset() {
    if (data_ == nullptr) return;
    SecureZeroMemory(data_, units_ * sizeof(Char));
    delete[] data_;
    data_ = nullptr;
    units_ = 0;
  }

  Char* Get() const { return data_; }
  size_t Units() const { return units_; }

 private:
  void Swap(WipedBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(units_, other.units_);
  }

  Char* data_ = nullptr;
  size_t units_ = 0;
};
