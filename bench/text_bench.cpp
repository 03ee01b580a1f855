// Measures the strings subsystem against the platform, in the same run:
// - building the MIME charset table beside a bare walk of the same keys that
//   makes the fewest calls the table's rules allow (name, open, one or two
//   value reads, close per subkey), with the registry calls of each counted;
// - ZELString's conversions of a 1 KB text (UTF-16 -> UTF-8, Windows-1252,
//   ANSI) beside WideCharToMultiByte on the same text, both as the bare
//   conversion into a ready buffer and as a first Get of the form (beside a
//   size query, allocation and conversion).
// Prints its figures; asserts nothing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "support/text/charset_table.h"
#include "support/text/utf_convert.h"
#include "support/text/windows1252.h"
#include "support/text/zel_string.h"

namespace {

// --- Registry call counting --------------------------------------------
// Every registry call of this executable goes through its import table, so
// replacing the entries of the registry functions counts all of them.

long g_registryCalls = 0;

template <int Tag, typename Result, typename... Args>
struct Counted {
  static inline Result(WINAPI* original)(Args...) = nullptr;
  static Result WINAPI Call(Args... args) {
    ++g_registryCalls;
    return original(args...);
  }
};

template <int Tag, typename Result, typename... Args>
void* Wrap(Result(WINAPI* function)(Args...), void** original) {
  Counted<Tag, Result, Args...>::original = function;
  *original = reinterpret_cast<void*>(function);
  return reinterpret_cast<void*>(&Counted<Tag, Result, Args...>::Call);
}

struct Replacement {
  const char* name;
  void* wrapper;
  void* original;
};

// Points the import-table entries of the named advapi32 functions at their
// counting wrappers; answers how many entries were replaced.
int PatchImports(std::vector<Replacement>& replacements) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int patched = 0;
  for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), "advapi32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
      for (const Replacement& replacement : replacements) {
        if (strcmp(name, replacement.name) != 0) continue;
        DWORD protection = 0;
        VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection);
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement.wrapper);
        VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
        ++patched;
      }
    }
  }
  return patched;
}

std::vector<Replacement> RegistryReplacements() {
  std::vector<Replacement> list = {
      {"RegOpenKeyExA", nullptr, nullptr},    {"RegOpenKeyExW", nullptr, nullptr},
      {"RegEnumKeyA", nullptr, nullptr},      {"RegEnumKeyExA", nullptr, nullptr},
      {"RegQueryValueExA", nullptr, nullptr}, {"RegQueryValueExW", nullptr, nullptr},
      {"RegQueryInfoKeyA", nullptr, nullptr}, {"RegCloseKey", nullptr, nullptr},
  };
  list[0].wrapper = Wrap<0>(&RegOpenKeyExA, &list[0].original);
  list[1].wrapper = Wrap<1>(&RegOpenKeyExW, &list[1].original);
  list[2].wrapper = Wrap<2>(&RegEnumKeyA, &list[2].original);
  list[3].wrapper = Wrap<3>(&RegEnumKeyExA, &list[3].original);
  list[4].wrapper = Wrap<4>(&RegQueryValueExA, &list[4].original);
  list[5].wrapper = Wrap<5>(&RegQueryValueExW, &list[5].original);
  list[6].wrapper = Wrap<6>(&RegQueryInfoKeyA, &list[6].original);
  list[7].wrapper = Wrap<7>(&RegCloseKey, &list[7].original);
  return list;
}

// --- Timing ------------------------------------------------------------

double NowMicroseconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

// Fastest time of one call of each body, over `runs` runs of `repeat` calls,
// the bodies taking turns so that all see the same load: on a shared machine
// the other processes only ever add time.
std::vector<double> Fastest(int runs, int repeat, const std::vector<std::function<void()>>& bodies) {
  for (const auto& body : bodies) body();
  std::vector<double> fastest(bodies.size(), 1e300);
  for (int run = 0; run < runs; ++run) {
    for (size_t which = 0; which < bodies.size(); ++which) {
      const double start = NowMicroseconds();
      for (int i = 0; i < repeat; ++i) bodies[which]();
      fastest[which] = std::min(fastest[which], (NowMicroseconds() - start) / repeat);
    }
  }
  return fastest;
}

// --- The bare walk -----------------------------------------------------

// The fewest calls that decide each subkey: its name, open, the encoding
// read, the alias read only when there is no encoding, close.
size_t BareWalk() {
  HKEY database = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kMimeCharsetKeyPath, 0, KEY_READ, &database) != ERROR_SUCCESS) return 0;
  size_t entries = 0;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD nameUnits = sizeof(name);
    if (RegEnumKeyExA(database, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY charset = nullptr;
    if (RegOpenKeyExA(database, name, 0, KEY_READ, &charset) != ERROR_SUCCESS) continue;
    DWORD codePage = 0;
    DWORD size = sizeof(codePage);
    wchar_t alias[257];
    DWORD aliasSize = sizeof(alias) - sizeof(wchar_t);
    if (RegQueryValueExW(charset, L"InternetEncoding", nullptr, nullptr, reinterpret_cast<BYTE*>(&codePage),
                         &size) == ERROR_SUCCESS ||
        RegQueryValueExW(charset, L"AliasForCharset", nullptr, nullptr, reinterpret_cast<BYTE*>(alias),
                         &aliasSize) == ERROR_SUCCESS) {
      ++entries;
    }
    RegCloseKey(charset);
  }
  RegCloseKey(database);
  return entries;
}

void BenchCharsetTable() {
  std::vector<Replacement> replacements = RegistryReplacements();
  const int patched = PatchImports(replacements);

  g_registryCalls = 0;
  CharsetMap table;
  BuildCharsetTable(table);
  const long tableCalls = g_registryCalls;
  g_registryCalls = 0;
  const size_t walked = BareWalk();
  const long walkCalls = g_registryCalls;

  const std::vector<double> times = Fastest(25, 1, {[] {
                                                    CharsetMap fresh;
                                                    BuildCharsetTable(fresh);
                                                  },
                                                  [] { BareWalk(); }});
  const double tableTime = times[0];
  const double walkTime = times[1];
  printf("Charset table (%d import entries counted)\n", patched);
  printf("  %-28s %9s %8s %14s\n", "", "time ms", "calls", "entries");
  printf("  %-28s %9.2f %8ld %14zu\n", "BuildCharsetTable", tableTime / 1000, tableCalls, table.size());
  printf("  %-28s %9.2f %8ld %14zu\n", "bare walk", walkTime / 1000, walkCalls, walked);
  printf("  ratio %.2fx time, %.2fx calls\n\n", tableTime / walkTime,
         static_cast<double>(tableCalls) / static_cast<double>(walkCalls));
}

// --- Conversions -------------------------------------------------------

std::wstring SampleText() {
  // Mostly ASCII prose with the accented letters and symbols of a European
  // log line: every character exists in Windows-1252.
  const std::wstring piece = L"Caf\x00E9 r\x00E9sum\x00E9 na\x00EFve \x20AC" L"42 \x2013 \x201Cquoted\x201D text; ";
  std::wstring text;
  while (text.size() < 1024) text += piece;
  text.resize(1024);
  return text;
}

void BenchConversions() {
  const std::wstring text = SampleText();
  const int units = static_cast<int>(text.size());
  const int kRuns = 31;
  const int kRepeat = 2000;
  std::vector<char> out(4 * text.size() + 1);

  struct Row {
    const char* name;
    UINT codePage;
    std::function<void()> bare;
    std::function<void()> whole;
  };
  ZELString holder;
  const std::vector<Row> rows = {
      {"UTF-16 -> UTF-8", CP_UTF8,
       [&] {
         const wchar_t* source = text.data();
         char* target = out.data();
         zel::ConvertUtf16ToUtf8(&source, source + units, &target, out.data() + out.size(),
                                 zel::ConversionMode::kLenient);
       },
       [&] {
         holder = text.c_str();
         holder.GetUtf8();
       }},
      {"UTF-16 -> Windows-1252", 1252, [&] { zel::WideToWindows1252(text.data(), text.size(), out.data()); },
       [&] {
         holder = text.c_str();
         holder.GetWindows1252();
       }},
      {"UTF-16 -> ANSI (thread ACP)", CP_THREAD_ACP,
       [&] {
         WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), units, out.data(), static_cast<int>(out.size()), nullptr,
                             nullptr);
       },
       [&] {
         holder = text.c_str();
         holder.GetNarrow();
       }},
  };
  // Setting the text (copy, wipe of the old text and forms) is timed alone and
  // taken off, so the second half compares the conversion a first Get makes.
  const auto setOnly = [&] { holder = text.c_str(); };
  printf("Conversions of %d UTF-16 units, microseconds per call (fastest of %d x %d)\n", units, kRuns, kRepeat);
  printf("  %-28s %8s %8s %7s | %8s %8s %7s\n", "", "bare", "WCTMB", "ratio", "Get", "WCTMB+", "ratio");
  double setTime = 0;
  for (const Row& row : rows) {
    const UINT codePage = row.codePage;
    const auto platform = [&] {
      WideCharToMultiByte(codePage, 0, text.data(), units, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    };
    const auto platformWhole = [&] {
      const int needed = WideCharToMultiByte(codePage, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
      std::string converted(static_cast<size_t>(needed), '\0');
      WideCharToMultiByte(codePage, 0, text.data(), units, &converted[0], needed, nullptr, nullptr);
    };
    const std::vector<double> t = Fastest(kRuns, kRepeat, {row.bare, platform, row.whole, setOnly, platformWhole});
    const double get = t[2] - t[3];
    setTime = t[3];
    printf("  %-28s %8.2f %8.2f %6.2fx | %8.2f %8.2f %6.2fx\n", row.name, t[0], t[1], t[0] / t[1], get, t[4],
           get / t[4]);
  }
  printf("  bare: the conversion into a ready buffer. Get: a ZELString's first Get of the form (allocation,\n"
         "  conversion, caching); setting the text beforehand (%.2f us) is not counted. WCTMB+: size query,\n"
         "  allocation and conversion.\n",
         setTime);
}

}  // namespace

int main() {
  BenchCharsetTable();
  BenchConversions();
  return 0;
}
