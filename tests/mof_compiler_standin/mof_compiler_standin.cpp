// A stand-in for the platform's MOF compiler class, for machines that have
// none: an in-process COM server that records what it is asked and answers
// as the test told it (see standin_protocol.h).

#include <atomic>
#include <new>
#include <string>

#include <objbase.h>
#include <wbemcli.h>
#include <windows.h>

#include "tests/mof_compiler_standin/standin_protocol.h"

namespace {

const CLSID kMofCompilerClassId = {0x6daf9757, 0x2e37, 0x11d2, {0xae, 0xc9, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};
std::atomic<long> g_liveObjects{0};

DWORD ReadAnswer(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, mof_standin::kKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

// One request's record key, numbered after those already there.
class Request {
 public:
  Request() {
    HKEY requests = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, mof_standin::kRequestsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &requests, nullptr) != ERROR_SUCCESS) {
      return;
    }
    DWORD count = 0;
    RegQueryInfoKeyW(requests, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr);
    RegCreateKeyExW(requests, std::to_wstring(count + 1).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                    nullptr);
    RegCloseKey(requests);
  }
  ~Request() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  void Text(const wchar_t* name, const wchar_t* text) {
    const std::wstring value = text != nullptr ? text : L"<null>";
    Raw(name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  void Number(const wchar_t* name, DWORD number) { Raw(name, REG_DWORD, &number, sizeof(number)); }
  void Bytes(const wchar_t* name, const void* data, DWORD size) { Raw(name, REG_BINARY, data, size); }

 private:
  void Raw(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    if (key_ != nullptr) RegSetValueExW(key_, name, 0, type, static_cast<const BYTE*>(data), size);
  }
  HKEY key_ = nullptr;
};

// How many bytes the file holds, or -1 when the stand-in cannot read it.
DWORD FileBytes(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return MAXDWORD;
  DWORD total = 0;
  char chunk[4096];
  DWORD read = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0) total += read;
  CloseHandle(file);
  return total;
}

class StandInCompiler : public IMofCompiler {
 public:
  StandInCompiler() { ++g_liveObjects; }
  virtual ~StandInCompiler() { --g_liveObjects; }

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == __uuidof(IMofCompiler)) {
      *out = static_cast<IMofCompiler*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP CompileFile(LPWSTR fileName, LPWSTR server, LPWSTR user, LPWSTR authority, LPWSTR password,
                           LONG options, LONG classFlags, LONG instanceFlags,
                           WBEM_COMPILE_STATUS_INFO* status) override {
    Request request;
    request.Text(mof_standin::kMethod, L"CompileFile");
    request.Text(mof_standin::kFileName, fileName);
    request.Number(mof_standin::kFileBytes, fileName != nullptr ? FileBytes(fileName) : MAXDWORD);
    return Answer(request, server, user, authority, password, options, classFlags, instanceFlags, status);
  }

  STDMETHODIMP CompileBuffer(LONG size, BYTE* buffer, LPWSTR server, LPWSTR user, LPWSTR authority,
                             LPWSTR password, LONG options, LONG classFlags, LONG instanceFlags,
                             WBEM_COMPILE_STATUS_INFO* status) override {
    Request request;
    request.Text(mof_standin::kMethod, L"CompileBuffer");
    request.Number(mof_standin::kBufferSize, static_cast<DWORD>(size));
    if (buffer != nullptr && size > 0) request.Bytes(mof_standin::kBuffer, buffer, static_cast<DWORD>(size));
    return Answer(request, server, user, authority, password, options, classFlags, instanceFlags, status);
  }

  STDMETHODIMP CreateBMOF(LPWSTR, LPWSTR, LPWSTR, LONG, LONG, LONG, WBEM_COMPILE_STATUS_INFO*) override {
    return E_NOTIMPL;
  }

 private:
  HRESULT Answer(Request& request, LPWSTR server, LPWSTR user, LPWSTR authority, LPWSTR password, LONG options,
                 LONG classFlags, LONG instanceFlags, WBEM_COMPILE_STATUS_INFO* status) {
    request.Number(mof_standin::kOptions, static_cast<DWORD>(options));
    request.Number(mof_standin::kClassFlags, static_cast<DWORD>(classFlags));
    request.Number(mof_standin::kInstanceFlags, static_cast<DWORD>(instanceFlags));
    const bool credentials = server != nullptr || user != nullptr || authority != nullptr || password != nullptr;
    request.Number(mof_standin::kCredentials, credentials ? 1 : 0);
    if (status != nullptr) {
      *status = WBEM_COMPILE_STATUS_INFO{};
      status->lPhaseError = static_cast<LONG>(ReadAnswer(mof_standin::kPhase));
      status->hRes = static_cast<HRESULT>(ReadAnswer(mof_standin::kStatusResult));
      status->ObjectNum = static_cast<LONG>(ReadAnswer(mof_standin::kObjectNumber));
    }
    return static_cast<HRESULT>(ReadAnswer(mof_standin::kCompileResult));
  }

  std::atomic<ULONG> references_{0};
};

class StandInFactory : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // A single static factory: its count does not matter.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const HRESULT planned = static_cast<HRESULT>(ReadAnswer(mof_standin::kCreateResult));
    if (planned != S_OK) return planned;
    StandInCompiler* compiler = new (std::nothrow) StandInCompiler();
    if (compiler == nullptr) return E_OUTOFMEMORY;
    compiler->AddRef();
    const HRESULT result = compiler->QueryInterface(iid, out);
    compiler->Release();
    return result;
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

StandInFactory g_factory;

}  // namespace

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kMofCompilerClassId) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() { return g_liveObjects == 0 ? S_OK : S_FALSE; }
