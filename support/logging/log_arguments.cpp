#include "support/logging/log_arguments.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "support/logging/debug_logger.h"
#include "support/logging/readable_memory.h"
#include "support/text/zel_string.h"

namespace {

// Formats and string arguments are accepted up to this length.
constexpr size_t kStringLimit = 1024;

// Every argument takes one 8-byte slot of the list, whatever its type. The
// list is a pointer to its next slot (with both compilers of the 64-bit
// platform), which gives the slot's address to check.
constexpr size_t kSlotSize = 8;

enum class ArgType {
  kChar, kWchar, kInt, kUnsigned, kLong, kUnsignedLong, kShort, kUnsignedShort,
  kInt64, kUnsignedInt64, kDouble, kLongDouble, kIntPointer, kVoidPointer, kCharString, kWideString,
};

const wchar_t* TypeName(ArgType type) {
  static const wchar_t* const names[] = {
      L"char",  L"wchar_t",  L"int",          L"unsigned int",     L"long int",    L"long unsigned int",
      L"short int", L"unsigned short int", L"__int64", L"unsigned __int64", L"double", L"long double",
      L"int*",  L"void*",    L"char*",        L"wchar_t*"};
  return names[static_cast<int>(type)];
}

enum class Prefix { kNone, kShort, kLong, kInt64 };

enum class Conversion { kArgument, kNone, kInvalid };

// The type a conversion character consumes, by the platform formatter's
// rules: in a wide call "c" and "s" are wide and "C" and "S" narrow.
Conversion Classify(wchar_t conversion, Prefix prefix, bool wideCall, ArgType& type) {
  const bool sized = prefix == Prefix::kShort || prefix == Prefix::kLong;
  const auto pick = [&](ArgType plain, ArgType shortType, ArgType longType, ArgType int64Type) {
    switch (prefix) {
      case Prefix::kShort: return shortType;
      case Prefix::kLong: return longType;
      case Prefix::kInt64: return int64Type;
      default: return plain;
    }
  };
  switch (conversion) {
    case L'd':
    case L'i':
      type = pick(ArgType::kInt, ArgType::kShort, ArgType::kLong, ArgType::kInt64);
      return Conversion::kArgument;
    case L'u':
    case L'o':
    case L'x':
    case L'X':
      type = pick(ArgType::kUnsigned, ArgType::kUnsignedShort, ArgType::kUnsignedLong, ArgType::kUnsignedInt64);
      return Conversion::kArgument;
    case L'c':
    case L'C': {
      const bool wide = sized ? prefix == Prefix::kLong : (conversion == L'c') == wideCall;
      type = wide ? ArgType::kWchar : ArgType::kChar;
      return Conversion::kArgument;
    }
    case L's':
    case L'S': {
      const bool wide = sized ? prefix == Prefix::kLong : (conversion == L's') == wideCall;
      type = wide ? ArgType::kWideString : ArgType::kCharString;
      return Conversion::kArgument;
    }
    case L'e':
    case L'E':
    case L'g':
    case L'G':
      type = ArgType::kDouble;
      return Conversion::kArgument;
    case L'f':
      type = prefix == Prefix::kLong ? ArgType::kLongDouble : ArgType::kDouble;
      return Conversion::kArgument;
    case L'n':
      type = ArgType::kIntPointer;
      return Conversion::kArgument;
    case L'p':
      type = ArgType::kVoidPointer;
      return Conversion::kArgument;
    case L'%':
      return Conversion::kNone;
    default:
      return Conversion::kInvalid;
  }
}

std::wstring Printed(const wchar_t* format, ...) {
  wchar_t text[64];
  va_list args;
  va_start(args, format);
  const int length = _vsnwprintf(text, 63, format, args);
  va_end(args);
  text[63] = L'\0';
  return std::wstring(text, length < 0 ? wcslen(text) : static_cast<size_t>(length));
}

std::wstring BadPointer(const void* address) { return Printed(L"BAD_PTR(%p)", address); }

std::wstring NarrowText(const char* text) {
  const ZELString converted(text, Windows1252Flag);
  return converted.GetWide() != nullptr ? converted.GetWide() : L"";
}

// One walk over a format and the argument list. Without a report it only
// checks; with one it also describes every argument it examined.
class ArgumentWalk {
 public:
  ArgumentWalk(va_list args, bool wideCall, std::wstring* report)
      : wideCall_(wideCall), report_(report) {
    va_copy(args_, args);
  }
  ~ArgumentWalk() { va_end(args_); }
  ArgumentWalk(const ArgumentWalk&) = delete;
  ArgumentWalk& operator=(const ArgumentWalk&) = delete;

  bool Walk(const wchar_t* format);
  int examined() const { return examined_; }

 private:
  bool Consume(ArgType type);
  bool Check(ArgType type, uint64_t slot, std::wstring& value);

  va_list args_;
  bool wideCall_;
  std::wstring* report_;
  int examined_ = 0;
};

bool ArgumentWalk::Walk(const wchar_t* format) {
  for (const wchar_t* at = wcschr(format, L'%'); at != nullptr; at = wcschr(at, L'%')) {
    ++at;
    while (*at == L' ' || *at == L'#' || *at == L'+' || *at == L'-') ++at;
    for (; (*at >= L'0' && *at <= L'9') || *at == L'.' || *at == L'*'; ++at) {
      if (*at == L'*' && !Consume(ArgType::kInt)) return false;
    }
    Prefix prefix = Prefix::kNone;
    if (*at == L'h') {
      prefix = Prefix::kShort;
      ++at;
    } else if (*at == L'l') {
      prefix = Prefix::kLong;
      ++at;
    } else if (*at == L'I') {
      if (at[1] != L'6' || at[2] != L'4') return false;
      prefix = Prefix::kInt64;
      at += 3;
    }
    ArgType type = ArgType::kInt;
    switch (Classify(*at, prefix, wideCall_, type)) {
      case Conversion::kInvalid:
        return false;
      case Conversion::kArgument:
        if (!Consume(type)) return false;
        break;
      case Conversion::kNone:
        break;
    }
    ++at;
  }
  return true;
}

bool ArgumentWalk::Consume(ArgType type) {
  ++examined_;
  const char* slotAddress = args_;
  std::wstring value;
  // A format with more conversions than arguments reads on up the caller's
  // stack; past its end the slot itself is unreadable.
  bool good = IsReadable(slotAddress, kSlotSize);
  if (!good) {
    value = BadPointer(slotAddress);
  } else {
    good = Check(type, va_arg(args_, uint64_t), value);
  }
  if (report_ != nullptr) {
    *report_ += Printed(L"arg[%d](%s)=", examined_, TypeName(type));
    *report_ += value;
    *report_ += L' ';
  }
  return good;
}

bool ArgumentWalk::Check(ArgType type, uint64_t slot, std::wstring& value) {
  const auto* pointer = reinterpret_cast<const void*>(static_cast<uintptr_t>(slot));
  bool good = true;
  switch (type) {
    case ArgType::kCharString:
    case ArgType::kWideString: {
      if (pointer == nullptr) {
        if (report_ != nullptr) value = L"null";
        return true;
      }
      const bool wide = type == ArgType::kWideString;
      // Read to the terminator, as the formatter will: a long text is then
      // cut to the entry's limit rather than lost.
      good = wide ? IsReadableString(static_cast<const wchar_t*>(pointer))
                  : IsReadableString(static_cast<const char*>(pointer));
      if (good && report_ != nullptr) {
        value = wide ? static_cast<const wchar_t*>(pointer) : NarrowText(static_cast<const char*>(pointer));
      }
      break;
    }
    case ArgType::kIntPointer:
      // The formatter stores through it.
      good = IsWritable(pointer, 8);
      if (good && report_ != nullptr) value = Printed(L"%p", pointer);
      break;
    default:
      break;
  }
  if (!good) {
    value = BadPointer(pointer);
    return false;
  }
  if (report_ == nullptr) return true;
  switch (type) {
    case ArgType::kChar: {
      const char narrow[2] = {static_cast<char>(slot), '\0'};
      value = NarrowText(narrow);
      break;
    }
    case ArgType::kWchar:
      value.assign(1, static_cast<wchar_t>(slot));
      break;
    case ArgType::kInt:
    case ArgType::kLong:
      value = Printed(L"%i", static_cast<int32_t>(slot));
      break;
    case ArgType::kUnsigned:
    case ArgType::kUnsignedLong:
      value = Printed(L"%u", static_cast<uint32_t>(slot));
      break;
    case ArgType::kShort:
      value = Printed(L"%i", static_cast<int16_t>(slot));
      break;
    case ArgType::kUnsignedShort:
      value = Printed(L"%u", static_cast<uint16_t>(slot));
      break;
    case ArgType::kInt64:
      value = Printed(L"%I64i", static_cast<int64_t>(slot));
      break;
    case ArgType::kUnsignedInt64:
      value = Printed(L"%I64u", slot);
      break;
    case ArgType::kDouble:
    case ArgType::kLongDouble: {
      double number;
      memcpy(&number, &slot, sizeof number);
      value = Printed(L"%f", number);
      break;
    }
    case ArgType::kVoidPointer:
      value = Printed(L"%p", pointer);
      break;
    default:
      break;  // described above
  }
  return true;
}

// Whether a format or user tag can be read, terminated within the limit.
bool IsSoundText(const void* text, bool wide) {
  return wide ? TerminatedLength(static_cast<const wchar_t*>(text), kStringLimit) >= 0
              : TerminatedLength(static_cast<const char*>(text), kStringLimit) >= 0;
}

bool IsSoundUserTag(const void* tag, bool wide) {
  return wide ? ReadablePrefixLength(static_cast<const wchar_t*>(tag), kUserTagLimit) >= 0
              : ReadablePrefixLength(static_cast<const char*>(tag), kUserTagLimit) >= 0;
}

// How the report shows a format or user tag: "<null>", the address that
// could not be read, or the text (a user tag cut to its limit).
std::wstring Shown(const void* text, bool sound, bool wide) {
  if (text == nullptr) return L"<null>";
  if (!sound) return BadPointer(text);
  if (wide) {
    const auto* units = static_cast<const wchar_t*>(text);
    return std::wstring(units, wcsnlen(units, kUserTagLimit));
  }
  const auto* bytes = static_cast<const char*>(text);
  return NarrowText(std::string(bytes, strnlen(bytes, kUserTagLimit)).c_str());
}

void QueueReport(int32_t level, uint32_t eventId, const std::wstring& format, const std::wstring& user, int examined,
                 const std::wstring& report) {
  DebugLogger& logger = GetDebugLogger();
  if (!logger.IsReady()) return;
  logger.Admit(kAlwaysLoggedLevel, 0, ZELString(), [&](ZELString& text) {
    text.Format(L"Invalid log entry - Level:%d, EventId:%d(0x%08X), Format:%s, User:%s, ArgCount:%d, Args:%s", level,
                static_cast<int>(eventId & 0xFFFF), eventId, format.c_str(), user.c_str(), examined,
                examined == 0 ? L"<null>" : report.c_str());
  });
}

}  // namespace

bool ValidateLogArguments(int32_t level, const void* format, va_list args, uint32_t eventId, const void* userTag,
                          bool wideCall) {
  const bool formatGood = IsSoundText(format, wideCall);
  // Every output shows the user tag: it must be as sound as a string argument.
  const bool userGood = userTag == nullptr || IsSoundUserTag(userTag, wideCall);
  // The walk reads a narrow format converted, as the report shows it.
  ZELString converted;
  const wchar_t* walked = L"";
  if (formatGood) {
    if (wideCall) {
      walked = static_cast<const wchar_t*>(format);
    } else {
      converted = ZELString(static_cast<const char*>(format), Windows1252Flag);
      if (converted.GetWide() != nullptr) walked = converted.GetWide();
    }
  }
  if (formatGood && userGood) {
    ArgumentWalk check(args, wideCall, nullptr);
    if (check.Walk(walked)) return true;
  }
  std::wstring report;
  int examined = 0;
  if (formatGood) {
    ArgumentWalk describe(args, wideCall, &report);
    describe.Walk(walked);
    examined = describe.examined();
  }
  QueueReport(level, eventId, Shown(format, formatGood, wideCall), Shown(userTag, userGood, wideCall), examined,
              report);
  return false;
}
