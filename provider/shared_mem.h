#pragma once
// Opens (or, for the writer, creates) a named page-file-backed mapping exactly
// as large as a record type and maps a view of it.
//
// Readers (the polling thread, WMI's threads) take the view address without a
// lock. A view that gets replaced is never unmapped before Release, so a reader
// still holding the previous address keeps reading valid memory. Replacing,
// mapping and releasing are serialised among themselves.

#include <atomic>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

#include <windows.h>

#include "provider/admin_security.h"
#include "provider/router_block.h"
#include "support/fs/critical_section_lock.h"
#include "support/fs/system_error.h"
#include "support/fs/unique_handle.h"
#include "support/log_callback.h"

// The access types a caller may ask for: map for reading, or for reading and writing.
constexpr int kSharedMemRead = FILE_MAP_READ;
constexpr int kSharedMemReadWrite = FILE_MAP_READ | FILE_MAP_WRITE;

// Qualified function names the log messages carry, per record type.
template <typename T>
struct SharedMemLogNames;

template <>
struct SharedMemLogNames<wmirouter_perf_t> {
  static constexpr const char* kInitialize = "WMISharedMem<struct wmirouter_perf_t>::Initialize";
  static constexpr const char* kAcquire = "WMISharedMem<struct wmirouter_perf_t>::Acquire";
  static constexpr const char* kRelease = "WMISharedMem<struct wmirouter_perf_t>::Release";
};

inline ErrorRecord g_sharedMemErrorRecord;

template <typename T>
class WMISharedMem {
 public:
  static constexpr size_t kNameUnits = 260;

  explicit WMISharedMem(bool secure) : secure_(secure) {}
  // At unload the log function's state may already be gone: release quietly.
  ~WMISharedMem() {
    callback_ = nullptr;
    Release();
  }
  WMISharedMem(const WMISharedMem&) = delete;
  WMISharedMem& operator=(const WMISharedMem&) = delete;

  bool Initialize(const wchar_t* name, int count, int access, LogCallback callback);
  bool Acquire(const wchar_t* name, int count, int access);
  bool Release();

  const T* View() const { return view_.load(std::memory_order_acquire); }
  T* MutableView() { return view_.load(std::memory_order_acquire); }
  bool IsMapped() const { return View() != nullptr; }
  // Bytes of the mapping when this object created it, else 0.
  size_t MappedSize() const { return mappedSize_; }

  int ActiveSessionCount() const {
    const T* view = View();
    return view != nullptr ? view->ActiveSessionCount() : 0;
  }
  int FirstSession() const {
    const T* view = View();
    return view != nullptr ? view->FirstSession() : -1;
  }
  int NextSession(int slot) const {
    const T* view = View();
    return view != nullptr ? view->NextSession(slot) : -1;
  }

 private:
  using Names = SharedMemLogNames<T>;
  static constexpr const wchar_t* kNoPointerMessage = L"Could not get pointer to shared memory: [%ls]";
  // The view is declared last so that it is unmapped before its handle closes.
  struct Mapping {
    UniqueHandle handle;
    UniqueView view;
  };

  template <typename... Args>
  void Log(int level, const char* function, int line, const wchar_t* format, Args... args) {
    LogFormatted(callback_, level, function, line, &g_sharedMemErrorRecord, format, args...);
  }
  bool HasName(const wchar_t* name) const { return wcsncmp(name_, name, kNameUnits) == 0; }
  void LogLastError(int level, const char* function, int line, const wchar_t* format, const wchar_t* name);
  bool CreateMapping(const wchar_t* name);
  // Keeps the current pair, if any, mapped among the retired ones and leaves
  // none current. False, with the pair still current, when there is no room.
  bool RetireCurrent(const char* function, const wchar_t* name);

  CriticalSectionLock lock_;
  // The latest pair; view_ publishes its view to the readers.
  Mapping current_;
  wchar_t name_[kNameUnits] = {};
  size_t mappedSize_ = 0;
  LogCallback callback_ = nullptr;
  bool secure_;
  std::atomic<T*> view_{nullptr};
  // Earlier pairs, kept mapped for readers that may still hold their address.
  std::vector<Mapping> retired_;
};

template <typename T>
void WMISharedMem<T>::LogLastError(int level, const char* function, int line, const wchar_t* format,
                                   const wchar_t* name) {
  const DWORD error = GetLastError();
  Log(level, function, line, format, name, static_cast<int>(error), SystemErrorText(error).c_str());
}

template <typename T>
bool WMISharedMem<T>::Initialize(const wchar_t* name, int count, int access, LogCallback callback) {
  ScopedLock guard(lock_);
  callback_ = callback;
  if (access != kSharedMemRead && access != kSharedMemReadWrite) {
    Log(1, Names::kInitialize, __LINE__, L"Invalid type of accees to shared memory: %d for [%ls]", access,
        name != nullptr ? name : L"");
    return false;
  }
  if (name == nullptr || name[0] == L'\0' || count == 0) {
    Log(1, Names::kInitialize, __LINE__, L"Initialization name is empty");
    return false;
  }
  Log(4, Names::kInitialize, __LINE__, L"Set shared memory %ls %d access: %d", name, count, access);
  T* current = view_.load(std::memory_order_acquire);
  // Holding our handle keeps the named block alive, so a router that restarts
  // reopens this very block: mapping it again would only pile up views.
  if (current != nullptr && HasName(name)) return true;
  // Without room to keep the earlier pair for its readers, keep serving it.
  if (!RetireCurrent(Names::kInitialize, name)) return current != nullptr;
  return Acquire(name, count, access);
}

template <typename T>
bool WMISharedMem<T>::RetireCurrent(const char* function, const wchar_t* name) {
  if (current_.handle.get() == nullptr && current_.view.get() == nullptr) return true;
  try {
    retired_.reserve(retired_.size() + 1);
  } catch (const std::bad_alloc&) {
    Log(1, function, __LINE__, L"Out of memory while mapping shared memory [%ls]", name);
    return false;
  }
  view_.store(nullptr, std::memory_order_release);
  retired_.push_back(std::move(current_));
  return true;
}

template <typename T>
bool WMISharedMem<T>::CreateMapping(const wchar_t* name) {
  AdministratorsOnlySecurity security;
  SECURITY_ATTRIBUTES* attributes = nullptr;
  if (secure_) {
    if (!security.Build()) {
      static const wchar_t* const kMessages[] = {
          L"", L"[%ls] Could not initialize security descriptor: %d - %ls", L"[%ls] Could not initialize SID: %d - %ls",
          L"[%ls] Could not add the ACL to the security descriptor: %d - %ls"};
      const DWORD error = security.errorNumber();
      Log(1, Names::kAcquire, __LINE__, kMessages[static_cast<int>(security.failedStep())], name,
          static_cast<int>(error), SystemErrorText(error).c_str());
      return false;
    }
    attributes = security.Attributes();
  }
  current_.handle.reset(
      CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0, static_cast<DWORD>(sizeof(T)), name));
  if (current_.handle.get() == nullptr) {
    LogLastError(1, Names::kAcquire, __LINE__, L"Cannot create memory share for %ls: %d - %ls", name);
    return false;
  }
  mappedSize_ = sizeof(T);
  return true;
}

template <typename T>
bool WMISharedMem<T>::Acquire(const wchar_t* name, int count, int access) {
  ScopedLock guard(lock_);
  if (name == nullptr || name[0] == L'\0' || count == 0) {
    Log(1, Names::kAcquire, __LINE__, L"Bad input parameters");
    return false;
  }
  // Called again while holding a pair: keep that one for its readers too.
  if (!RetireCurrent(Names::kAcquire, name)) return IsMapped();
  mappedSize_ = 0;
  current_.handle.reset(OpenFileMappingW(static_cast<DWORD>(access), FALSE, name));
  if (current_.handle.get() == nullptr) {
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      // A block that exists but cannot be opened (typically access denied for
      // a caller that is no administrator) is reported with the text
      // administrators search for; the system's reason follows as detail.
      Log(1, Names::kAcquire, __LINE__, kNoPointerMessage, name);
      Log(4, Names::kAcquire, __LINE__, L"Cannot open memory share for %ls: %d - %ls", name, static_cast<int>(error),
          SystemErrorText(error).c_str());
      return false;
    }
    if (access == kSharedMemRead) {
      Log(3, Names::kAcquire, __LINE__, L"Shared memory [%ls] for performance provider not created yet", name);
      return false;
    }
    if (!CreateMapping(name)) return false;
  }
  T* view = static_cast<T*>(MapViewOfFile(current_.handle.get(), static_cast<DWORD>(access), 0, 0, sizeof(T)));
  if (view == nullptr) {
    current_.handle.reset();
    Log(1, Names::kAcquire, __LINE__, kNoPointerMessage, name);
    return false;
  }
  current_.view.reset(view);
  wcsncpy(name_, name, kNameUnits);
  view_.store(view, std::memory_order_release);
  return true;
}

template <typename T>
bool WMISharedMem<T>::Release() {
  ScopedLock guard(lock_);
  // Each retired pair unmaps its view, then closes its handle.
  retired_.clear();

  bool result = true;
  view_.store(nullptr, std::memory_order_release);
  if (!current_.view.reset()) {
    LogLastError(2, Names::kRelease, __LINE__, L"Cannot unmap file for [%ls]: %d - %ls", name_);
    result = false;
  }
  if (!current_.handle.reset()) {
    LogLastError(2, Names::kRelease, __LINE__, L"Could not close handle of [%ls]: %d - %ls", name_);
  }
  return result;
}
