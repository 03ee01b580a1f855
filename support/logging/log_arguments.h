#pragma once
// The check of a log entry's format and arguments before anything reads them.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// A longer user tag is cut to this many characters; the entry is kept.
constexpr size_t kUserTagLimit = 1024;

// `format` and `userTag` are wide when `wideCall`, narrow otherwise. When the
// entry is not sound, queues the invalid-entry report at level 5 (if the
// logger is ready) and returns false. `args` is left untouched.
// A user tag is sound when it is readable up to its terminator or its
// first kUserTagLimit characters.
bool ValidateLogArguments(int32_t level, const void* format, va_list args, uint32_t eventId, const void* userTag,
                          bool wideCall);
