// Measures what loading the provider module costs a WMI host:
// - LoadLibrary to the first successful provider Initialize through the host
//   stand-in, and FreeLibrary, beside a trivial C DLL and a trivial C++ DLL
//   linked like the provider (static C++ run time), with the system DLLs the
//   provider imports already loaded, as they are in the WMI host;
// - the charset table's construction, which the module does at load.
// Prints its figures; asserts nothing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <windows.h>

#include "support/text/charset_table.h"
#include "tools/wmihost/host_session.h"
#include "tools/wmihost/sinks.h"

namespace {

constexpr int kRuns = 30;

double NowMilliseconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::wstring BesideExecutable(const wchar_t* fileName) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L'\\') + 1) + fileName;
}

// Names of the DLLs a PE file imports, read from the file's import directory.
std::vector<std::string> ImportedDlls(const std::wstring& path) {
  std::vector<char> image;
  if (FILE* file = _wfopen(path.c_str(), L"rb")) {
    char chunk[65536];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), file)) > 0;) image.insert(image.end(), chunk, chunk + got);
    fclose(file);
  }
  std::vector<std::string> names;
  if (image.size() < sizeof(IMAGE_DOS_HEADER)) return names;
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image.data() + dos->e_lfanew);
  const auto* sections = IMAGE_FIRST_SECTION(nt);
  const auto offsetOf = [&](DWORD rva) -> size_t {
    for (WORD index = 0; index < nt->FileHeader.NumberOfSections; ++index) {
      const IMAGE_SECTION_HEADER& section = sections[index];
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return 0;
  };
  const DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  const size_t first = offsetOf(importRva);
  if (first == 0) return names;
  for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.data() + first); entry->Name != 0;
       ++entry) {
    names.emplace_back(image.data() + offsetOf(entry->Name));
  }
  return names;
}

struct LoadFigures {
  double load;  // LoadLibrary, or LoadLibrary to the first Initialize
  double unload;
};

// LoadLibrary and FreeLibrary of a DLL that is not otherwise loaded.
LoadFigures TimeBareLoad(const std::wstring& path) {
  std::vector<double> loads;
  std::vector<double> unloads;
  for (int run = 0; run < kRuns; ++run) {
    const double start = NowMilliseconds();
    HMODULE module = LoadLibraryW(path.c_str());
    const double loaded = NowMilliseconds();
    if (module == nullptr) {
      std::printf("cannot load %ls (%lu)\n", path.c_str(), GetLastError());
      return {0, 0};
    }
    FreeLibrary(module);
    loads.push_back(loaded - start);
    unloads.push_back(NowMilliseconds() - loaded);
  }
  return {Median(loads), Median(unloads)};
}

// LoadLibrary through the provider's first successful Initialize, as the WMI
// host does it; then the release of the provider and the FreeLibrary.
LoadFigures TimeProviderToInitialize(const std::wstring& path) {
  std::vector<double> loads;
  std::vector<double> unloads;
  for (int run = 0; run < kRuns; ++run) {
    wmihost::HostSession host;
    const double start = NowMilliseconds();
    const bool served = host.Load(path) == S_OK && host.Initialize() == S_OK &&
                        !host.HostInitSink().Statuses().empty() &&
                        host.HostInitSink().Statuses().front().status == WBEM_S_INITIALIZED;
    const double initialized = NowMilliseconds();
    host.Close();
    if (!served) {
      std::printf("the provider did not initialise\n");
      return {0, 0};
    }
    loads.push_back(initialized - start);
    unloads.push_back(NowMilliseconds() - initialized);
  }
  return {Median(loads), Median(unloads)};
}

double MedianOf(const std::function<void()>& body) {
  body();
  std::vector<double> samples;
  for (int run = 0; run < kRuns; ++run) {
    const double start = NowMilliseconds();
    body();
    samples.push_back(NowMilliseconds() - start);
  }
  return Median(samples);
}

}  // namespace

int main() {
  const std::wstring provider = wmihost::ProviderPathBesideExecutable();
  for (const std::string& name : ImportedDlls(provider)) LoadLibraryA(name.c_str());
  // The WMI host runs COM before it loads a provider: the host stand-in's own
  // initialisation then only counts up, and COM's start-up stays out of the
  // figures.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);

  const LoadFigures c = TimeBareLoad(BesideExecutable(L"TrivialC.dll"));
  const LoadFigures cpp = TimeBareLoad(BesideExecutable(L"TrivialCpp.dll"));
  const LoadFigures bare = TimeBareLoad(provider);
  const LoadFigures served = TimeProviderToInitialize(provider);
  std::printf("module load, median of %d, imports preloaded (ms)      load    unload\n", kRuns);
  std::printf("  trivial C DLL                                       %6.2f  %6.2f\n", c.load, c.unload);
  std::printf("  trivial C++ DLL (static run time)                   %6.2f  %6.2f\n", cpp.load, cpp.unload);
  std::printf("  provider, LoadLibrary / FreeLibrary                 %6.2f  %6.2f\n", bare.load, bare.unload);
  std::printf("  provider, LoadLibrary to first Initialize / Close   %6.2f  %6.2f\n", served.load, served.unload);

  // The table's construction against a bare walk of its keys is TextBench's;
  // here it is timed in the same run, as the part of a load it would be
  // while the module carries the table.
  const double table = MedianOf([] {
    CharsetMap map;
    BuildCharsetTable(map);
  });
  std::printf("charset table construction %.2f ms\n", table);
  std::printf("provider's own share (first Initialize - trivial C++ DLL): %.2f ms, apart from the table %.2f ms\n",
              served.load - cpp.load, served.load - cpp.load - table);
  if (SUCCEEDED(com)) CoUninitialize();
  return 0;
}
