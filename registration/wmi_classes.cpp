#include "registration/wmi_classes.h"

#include <cstdio>
#include <cstring>
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
// statements of its own. The test runs on the narrow bytes that go into the
// MOF text; a byte of a multi-byte character may not be a quote or a
// backslash either.
bool IsClassIdentifier(const std::string& name) {
  for (const char unit : name) {
    const unsigned char c = static_cast<unsigned char>(unit);
    const bool identifier =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
    if (!identifier) return false;
  }
  return true;
}

// The deletion text for the class in the whole buffer the compiler gets,
// zeros after the text; a name too long for it leaves the string open, and
// the compiler refuses the text.
std::string DeletionText(const std::string& className) {
  std::string text(kDeletionTextBytes, '\0');
  std::snprintf(&text[0], text.size(), kDeletionFormat, className.c_str());
  return text;
}

// Compiles the deletion text; true when the class was deleted.
bool CompileDeletion(std::string text, LogCallback callback) {
  ComPtr<IMofCompiler> compiler;
  const HRESULT created = CreateMofCompiler(&compiler);
  if (created != S_OK) {
    const DWORD error = GetLastError();
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr,
                 L"Cannot initialize MOF Compiler COM interface: %d, Error %d {%ls}", static_cast<int>(created),
                 static_cast<int>(error), SystemErrorText(error).c_str());
    return false;
  }
  WBEM_COMPILE_STATUS_INFO status = {};
  const HRESULT result = compiler->CompileBuffer(static_cast<LONG>(text.size()), reinterpret_cast<BYTE*>(&text[0]),
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

// No key, no value, or a value that is no list: nothing to remove. Any
// other failure to read the list is a failure of the removal.
bool IsListAbsent(const Registry& cimom) {
  return cimom.GetErrorCode() == ERROR_FILE_NOT_FOUND || cimom.GetErrorCode() == 0;
}

// Whether the stored list holds exactly the items read, as the registry
// class writes them: the read cuts long items and skips empty ones, and an
// empty item ends the list for its readers, so a rewrite would turn the
// entries after it into live ones.
bool IsStoredAsRead(Registry& cimom, const std::vector<std::wstring>& entries) {
  std::wstring text;
  for (const auto& entry : entries) text += entry + L'\0';
  text += L'\0';
  DWORD type = REG_NONE;
  std::vector<BYTE> stored;
  return cimom.GetRawValue(kAutoRecoverValue, &type, &stored) && type == REG_MULTI_SZ &&
         stored.size() == text.size() * sizeof(wchar_t) && std::memcmp(stored.data(), text.data(), stored.size()) == 0;
}

// Logs why the auto-recovery list could not be read or written; false.
bool ReportListFailure(const Registry& cimom, LogCallback callback) {
  const DWORD error = static_cast<DWORD>(cimom.GetErrorCode());
  LogFormatted(callback, kErrorLevel, kRegistryFunction, __LINE__, nullptr, L"Cannot update %ls: %d - %ls",
               kAutoRecoverValue, static_cast<int>(error), SystemErrorText(error).c_str());
  return false;
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
  // Checked as it will be used: the exact narrow form (no best-fit
  // look-alike of a quote or a parenthesis), in the text the compiler gets.
  std::string narrowName;
  if (!WideToNarrowExact(className, &narrowName) || !IsClassIdentifier(narrowName)) {
    LogFormatted(callback, kErrorLevel, kRemoveFunction, __LINE__, nullptr, L"Invalid class name: [%ls]",
                 className);
    return false;
  }
  bool deleted = false;
  try {
    deleted = CompileDeletion(DeletionText(narrowName), callback);
  } catch (...) {
    // As a failed deletion; the auto-recovery list is still cleaned.
  }
  RemoveClassFromRegistry(narrowName.c_str(), callback);
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
  if (!cimom.Open(true)) return IsListAbsent(cimom) || ReportListFailure(cimom, callback);
  // Read and written as UTF-16, so other programs' entries come back
  // exactly as they were.
  std::vector<std::wstring> entries;
  if (!cimom.GetMultiString(kAutoRecoverValue, entries)) {
    return IsListAbsent(cimom) || ReportListFailure(cimom, callback);
  }

  const std::wstring mofFile = UpperWestern(NarrowToWide(zel_wmi::MofFileNameTail(*row), kWesternCodePage));
  std::vector<std::wstring> kept;
  for (const auto& entry : entries) {
    if (UpperWestern(entry).find(mofFile) == std::wstring::npos) kept.push_back(entry);
  }
  if (kept.size() == entries.size()) return true;
  if (!IsStoredAsRead(cimom, entries)) {
    LogFormatted(callback, kErrorLevel, kRegistryFunction, __LINE__, nullptr,
                 L"%ls left unchanged: it cannot be written back as it was", kAutoRecoverValue);
    return false;
  }
  return cimom.SetMultiString(kAutoRecoverValue, kept) || ReportListFailure(cimom, callback);
}
