#pragma once
// Interlocked operations with a full barrier. The compare-exchange forms take
// (target, exchange value, comparand) and return the previous value.

#include <cstdint>
#include <windows.h>

inline int32_t AtomicIncrement(volatile int32_t* target) {
  return InterlockedIncrement(reinterpret_cast<volatile LONG*>(target));
}

inline int32_t AtomicDecrement(volatile int32_t* target) {
  return InterlockedDecrement(reinterpret_cast<volatile LONG*>(target));
}

inline int32_t AtomicExchange(volatile int32_t* target, int32_t value) {
  return InterlockedExchange(reinterpret_cast<volatile LONG*>(target), value);
}

inline int32_t AtomicExchangeAdd(volatile int32_t* target, int32_t value) {
  return InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(target), value);
}

inline int32_t AtomicCompareExchange(volatile int32_t* target, int32_t exchange, int32_t comparand) {
  return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(target), exchange, comparand);
}

inline int64_t AtomicCompareExchange64(volatile int64_t* target, int64_t exchange, int64_t comparand) {
  return InterlockedCompareExchange64(reinterpret_cast<volatile LONG64*>(target), exchange, comparand);
}

inline void* AtomicCompareExchangePointer(void* volatile* target, void* exchange, void* comparand) {
  return InterlockedCompareExchangePointer(target, exchange, comparand);
}
