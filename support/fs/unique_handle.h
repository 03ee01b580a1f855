#pragma once
// Owners of the platform's handles: each holds one kernel handle, loaded
// module, mapped view, registry key or service handle and releases it once.

#include <utility>

#include <windows.h>
#include <winsvc.h>

// Traits give the held type, what counts as "none" besides null, and the
// release call (false when it failed, the thread's last error telling why).
template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  explicit UniqueResource(Value value) : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Value get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr && Traits::IsValid(value_); }
  Value release() { return std::exchange(value_, nullptr); }
  // Releases what is held and offers the slot to a call that opens into it.
  Value* receive() {
    reset();
    return &value_;
  }
  // Releases what is held and takes `value`; false when that release failed.
  bool reset(Value value = nullptr) {
    const bool released = !*this || Traits::Release(value_);
    value_ = value;
    return released;
  }

 private:
  Value value_ = nullptr;
};

// Null and INVALID_HANDLE_VALUE both mean "no handle", since the platform's
// calls fail with one or the other.
struct KernelHandleTraits {
  using Value = HANDLE;
  static bool IsValid(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
  static bool Release(HANDLE handle) { return CloseHandle(handle) != FALSE; }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A module reference from LoadLibrary or GetModuleHandleEx.
struct LibraryTraits {
  using Value = HMODULE;
  static bool IsValid(HMODULE) { return true; }
  static bool Release(HMODULE module) { return FreeLibrary(module) != FALSE; }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

// A view from MapViewOfFile. Only an answer of exactly TRUE counts as unmapped.
struct MappedViewTraits {
  using Value = void*;
  static bool IsValid(void*) { return true; }
  static bool Release(void* view) { return UnmapViewOfFile(view) == TRUE; }
};
using UniqueView = UniqueResource<MappedViewTraits>;

// A registry key from RegOpenKeyEx or RegCreateKeyEx.
struct RegistryKeyTraits {
  using Value = HKEY;
  static bool IsValid(HKEY) { return true; }
  static bool Release(HKEY key) { return RegCloseKey(key) == ERROR_SUCCESS; }
};
using UniqueKey = UniqueResource<RegistryKeyTraits>;

// A handle from OpenSCManager or OpenService.
struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static bool IsValid(SC_HANDLE) { return true; }
  static bool Release(SC_HANDLE handle) { return CloseServiceHandle(handle) != FALSE; }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
