#pragma once
// A hardware (structured) exception raised as a C++ exception, for the
// threads that ask for translation (see structured_exception_translation.h).

#include <cstdint>
#include <windows.h>

class StructuredException {
 public:
  StructuredException(uint32_t code, EXCEPTION_POINTERS* info) : code_(code), info_(info) {}

  uint32_t GetCode() const { return code_; }
  // Valid on the thread that faulted until its next translated fault.
  EXCEPTION_POINTERS* GetInfo() const { return info_; }

 private:
  uint32_t code_;
  EXCEPTION_POINTERS* info_;
};
