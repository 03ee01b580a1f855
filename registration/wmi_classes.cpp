#include "registration/wmi_classes.h"

#include <cstdio>
#include <string>
#include <vector>

#include <objbase.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "registration/existing_file.h"
#include "registration/provider_catalogue.h"
#include "support/fs/code_page.h"
#include "support/fs/system_error.h"
#include "support/registry/registry.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int32_t kErrorLevel = 1;
constexpr int32_t kWarningLevel = 2;
constexpr char kCompileFunction[] = "zel_wmi::CompileMOFile";
constexpr char kRemoveFunction[] = "zel_wmi::RemoveClassFromWBEM";
constexpr char kRegistryFunction[] = "RemoveClassFromRegistry";

// The platform's MOF compiler, {6DAF9757-2E37-11D2-AEC9-00C04FB68820}.
const CLSID kMofCompilerClassId = {0x6daf9757, 0x2e37, 0x11d2, {0xae, 0xc9, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
// Print to the console and store the file for auto-recovery.
constexpr LONG kCompileOptions = WBEM_FLAG_CONSOLE_PRINT | WBEM_FLAG_STORE_FILE;
constexpr size_t kDeletionTextBytes = 1024;
constexpr char kDeletionFormat[] = "#pragma namespace(\"\\\\\\\\.\\\\Root\\\\CimV2\")\n#pragma deleteclass(\"%s\",FAIL)";

constexpr wchar_t kCimomKey[] = L"SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr wchar_t kAutoRecoverValue[] = L"Autorecover MOFs";
// The registry class cuts list items to this length; a list holding an item
// that long may have been cut and is never written back.
constexpr size_t kLongestFaithfulItem = 510;
constexpr int kWesternCodePage = 1252;

bool IsEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

std::wstring PhaseText(LONG phase) {
  static const wchar_t* const kPhaseTexts[] = {L"no error", L"argument error", L"parsing",
                                               L"errors occurred while storing the data"};
  if (phase >= 0 && phase < 4) return kPhaseTexts[phase];
  return L"unknown phase " + std::to_wstring(phase);
}

// The compiler answers S_FALSE when it stopped on an error; a failure code
// or a failure phase means the same.
bool CompileFailed(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status) {
  return result == S_FALSE || FAILED(result) || status.lPhaseError > 0;
}

HRESULT CreateMofCompiler(ComPtr<IMofCompiler>* compiler) {
  return CoCreateInstance(kMofCompilerClassId, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(compiler->GetAddressOf()));
}

// A class name goes into a MOF string between quotes: only identifier
// characters may appear, so no name can close the string and add
// statements of its own.
bool IsClassIdentifier(const wchar_t* name) {
  for (const wchar_t* unit = name; *unit != L'\0'; ++unit) {
    const wchar_t c = *unit;
    const bool identifier = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
                            c == L'_' || c >= 0x80;
    if (!identifier) return false;
  }
  return true;
}

// Compiles the deletion text; true when the class was deleted.
bool CompileDeletion(const wchar_t* className, LogCallback callback) {
  char text[kDeletionTextBytes] = {};
  std::snprintf(text, sizeof(text), kDeletionFormat, WideToNarrow(className).c_str());

  ComPtr<IMofCompiler> compiler;
  const HRESULT created = CreateMofCompiler(&compiler);
  if (created != S_OK) {
    const DWORD error = GetLastError();
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr,
                 L"Cannot initialize MOF Compiler COM interface: %d, Error %d {%ls}", static_cast<int>(created),
                 static_cast<int>(error), SystemErrorText(error).c_str());
    return false;
  }
  // The whole buffer, zeros after the text included.
  WBEM_COMPILE_STATUS_INFO status = {};
  const HRESULT result = compiler->CompileBuffer(static_cast<LONG>(sizeof(text)), reinterpret_cast<BYTE*>(text),
                                                 nullptr, nullptr, nullptr, nullptr, kCompileOptions, 0, 0, &status);
  if (CompileFailed(result, status)) {
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr,
                 L"Error [%d] MOF compilation failed with error : %ls, error code : %d, object number : %d",
                 static_cast<int>(result), PhaseText(status.lPhaseError).c_str(), static_cast<int>(status.hRes),
                 static_cast<int>(status.ObjectNum));
    return false;
  }
  return true;
}

// Upper case as code page 1252 sees the text.
std::wstring UpperWestern(const std::wstring& text) {
  std::wstring upper = NarrowToWide(WideToNarrow(text, kWesternCodePage), kWesternCodePage);
  if (!upper.empty()) CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
  return upper;
}

}  // namespace

namespace zel_wmi {

bool CompileMOFile(const wchar_t* mofPath, LogCallback callback) {
  if (IsEmpty(mofPath)) {
    LogFormatted(callback, kErrorLevel, kCompileFunction, __LINE__, nullptr, L"MOF file is empty");
    return false;
  }
  if (!IsExistingFile(mofPath)) {
    LogFormatted(callback, kErrorLevel, kCompileFunction, __LINE__, nullptr, L"Cannot find MOF file : %ls", mofPath);
    return false;
  }
  try {
    ComPtr<IMofCompiler> compiler;
    const HRESULT created = CreateMofCompiler(&compiler);
    if (created != S_OK) {
      const DWORD error = GetLastError();
      LogFormatted(callback, kErrorLevel, kCompileFunction, __LINE__, nullptr,
                   L"Cannot initialize MOF Compiler COM interface for %ls, result: [%d] Error %d {%ls}", mofPath,
                   static_cast<int>(created), static_cast<int>(error), SystemErrorText(error).c_str());
      return false;
    }
    std::wstring path(mofPath);
    WBEM_COMPILE_STATUS_INFO status = {};
    const HRESULT result =
        compiler->CompileFile(&path[0], nullptr, nullptr, nullptr, nullptr, kCompileOptions, 0, 0, &status);
    if (CompileFailed(result, status)) {
      LogFormatted(callback, kErrorLevel, kCompileFunction, __LINE__, nullptr,
                   L"Error [%d] MOF [%ls] compilation failed with error : %ls, error code : %d, object number : %d",
                   static_cast<int>(result), mofPath, PhaseText(status.lPhaseError).c_str(),
                   static_cast<int>(status.hRes), static_cast<int>(status.ObjectNum));
      return false;
    }
    return true;
  } catch (...) {
    // A callback or an allocation that throws ends the compilation as failed.
    return false;
  }
}

bool RemoveClassFromWBEM(const wchar_t* className, LogCallback callback) {
  if (IsEmpty(className)) {
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr, L"Class name is empty");
    return false;
  }
  if (!IsClassIdentifier(className)) {
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr, L"Invalid class name: [%ls]",
                 className);
    return false;
  }
  bool deleted = false;
  try {
    deleted = CompileDeletion(className, callback);
  } catch (...) {
    // As a failed deletion; the auto-recovery list is still cleaned.
  }
  RemoveClassFromRegistry(WideToNarrow(className).c_str(), callback);
  return deleted;
}

}  // namespace zel_wmi

bool RemoveClassFromRegistry(const char* className, LogCallback callback) {
  if (className == nullptr || *className == '\0') {
    LogFormatted(callback, kErrorLevel, kRegistryFunction, __LINE__, nullptr, L"Class name is empty");
    return false;
  }
  const zel_wmi::ProviderCatalogueRow* row = zel_wmi::FindCatalogueRow(className);
  if (row == nullptr) {
    LogFormatted(callback, kWarningLevel, kRegistryFunction, __LINE__, nullptr, L"Unknown class name: [%ls]",
                 NarrowToWide(className).c_str());
    return false;
  }
  Registry cimom(HKEY_LOCAL_MACHINE, kCimomKey, false);
  if (!cimom.Open(true)) return true;
  // Read and written as UTF-16, so other programs' entries come back
  // exactly as they were.
  std::vector<std::wstring> entries;
  if (!cimom.GetMultiString(kAutoRecoverValue, entries)) return true;

  const std::wstring mofFile = UpperWestern(NarrowToWide(zel_wmi::MofFileNameTail(*row), kWesternCodePage));
  std::vector<std::wstring> kept;
  for (const auto& entry : entries) {
    if (entry.size() > kLongestFaithfulItem) return true;
    if (UpperWestern(entry).find(mofFile) == std::wstring::npos) kept.push_back(entry);
  }
  if (kept.size() == entries.size()) return true;
  return cimom.SetMultiString(kAutoRecoverValue, kept);
}
