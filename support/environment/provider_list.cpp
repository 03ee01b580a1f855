// The OLE DB providers registered on the machine, read through the OLE DB
// root enumerator's sources rowset.
#include <cstddef>
#include <oledb.h>
#include <oledberr.h>
#include <wrl/client.h>

#include "support/environment/os_version.h"
#include "support/formatted_report.h"
#include "support/text/charset_table.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int32_t kLevel = 4;
constexpr char kFunction[] = "provider_list";
// {C8B522D0-5CF3-11CE-ADE5-00AA0044773D}
constexpr CLSID kOleDbEnumerator = {0xc8b522d0, 0x5cf3, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
constexpr size_t kTextUnits = 128;

// One row of the sources rowset as the accessor binds it. Each text has a
// spare unit beyond what the provider may fill, so it is always terminated.
struct SourceRow {
  wchar_t name[kTextUnits + 2];
  wchar_t parseName[kTextUnits + 2];
  wchar_t description[kTextUnits + 2];
  USHORT type;
  VARIANT_BOOL isParent;
  DBSTATUS nameStatus;
};

DBBINDING Binding(DBORDINAL column, DBTYPE type, size_t offset, DBLENGTH maxLength, DBBYTEOFFSET statusOffset = 0) {
  DBBINDING binding{};
  binding.iOrdinal = column;
  binding.obValue = offset;
  binding.obStatus = statusOffset;
  binding.dwPart = statusOffset != 0 ? DBPART_VALUE | DBPART_STATUS : DBPART_VALUE;
  binding.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
  binding.eParamIO = DBPARAMIO_NOTPARAM;
  binding.cbMaxLen = maxLength;
  binding.wType = type;
  return binding;
}

template <typename... Args>
void Report(LogCallback sink, const wchar_t* format, Args... args) {
  static ErrorRecord record;
  SendFormatted<kLogMessageUnits>(sink, &record, kLevel, kFunction, __LINE__, format, args...);
}

// Walks the rowset; returns the first failing HRESULT of the steps after
// creating the enumerator, S_OK when the walk ended normally.
HRESULT ReadNames(IUnknown* enumerator, std::vector<std::wstring>& names) {
  ComPtr<ISourcesRowset> sources;
  HRESULT hr = enumerator->QueryInterface(IID_ISourcesRowset, reinterpret_cast<void**>(sources.GetAddressOf()));
  if (FAILED(hr)) return hr;
  ComPtr<IUnknown> rowsetUnknown;
  hr = sources->GetSourcesRowset(nullptr, IID_IRowset, 0, nullptr, &rowsetUnknown);
  if (FAILED(hr)) return hr;
  ComPtr<IRowset> rowset;
  ComPtr<IAccessor> accessor;
  // The OLE DB interfaces have no compiler-known ids in every tool chain.
  hr = rowsetUnknown->QueryInterface(IID_IRowset, reinterpret_cast<void**>(rowset.GetAddressOf()));
  if (FAILED(hr)) return hr;
  hr = rowsetUnknown->QueryInterface(IID_IAccessor, reinterpret_cast<void**>(accessor.GetAddressOf()));
  if (FAILED(hr)) return hr;
  const DBLENGTH textBytes = kTextUnits * sizeof(wchar_t);
  DBBINDING bindings[] = {
      Binding(1, DBTYPE_WSTR, offsetof(SourceRow, name), textBytes, offsetof(SourceRow, nameStatus)),
      Binding(2, DBTYPE_WSTR, offsetof(SourceRow, parseName), textBytes),
      Binding(3, DBTYPE_WSTR, offsetof(SourceRow, description), textBytes),
      Binding(4, DBTYPE_UI2, offsetof(SourceRow, type), sizeof(USHORT)),
      Binding(5, DBTYPE_BOOL, offsetof(SourceRow, isParent), sizeof(VARIANT_BOOL)),
  };
  HACCESSOR handle = DB_NULL_HACCESSOR;
  hr = accessor->CreateAccessor(DBACCESSOR_ROWDATA, 5, bindings, sizeof(SourceRow), &handle, nullptr);
  if (FAILED(hr)) return hr;
  for (;;) {
    HROW row = DB_NULL_HROW;
    HROW* rows = &row;
    DBCOUNTITEM obtained = 0;
    if (rowset->GetNextRows(DB_NULL_HCHAPTER, 0, 1, &obtained, &rows) != S_OK || obtained != 1) break;
    SourceRow data{};
    hr = rowset->GetData(row, handle, &data);
    rowset->ReleaseRows(1, &row, nullptr, nullptr, nullptr);
    if (FAILED(hr)) break;
    const bool hasName = data.nameStatus == DBSTATUS_S_OK || data.nameStatus == DBSTATUS_S_TRUNCATED;
    names.emplace_back(hasName ? data.name : L"");
  }
  accessor->ReleaseAccessor(handle, nullptr);
  return FAILED(hr) ? hr : S_OK;
}

}  // namespace

std::vector<std::wstring> provider_list(LogCallback sink) {
  std::vector<std::wstring> names;
  ComInitializer com(COINIT_MULTITHREADED, true, true);
  try {
    com.Initialize(COINIT_MULTITHREADED, true);
  } catch (const init_exception& failure) {
    Report(sink, L"An error occurred during enumerating OLE DB providers - failure during COM initialization. [%d]",
           static_cast<int>(failure.Result()));
  }
  ComPtr<IUnknown> enumerator;
  const HRESULT created =
      CoCreateInstance(kOleDbEnumerator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&enumerator));
  if (created == CO_E_NOTINITIALIZED) {
    Report(sink, L"CoInitialize has not been called. [%d]", static_cast<int>(created));
    return names;
  }
  if (FAILED(created)) {
    Report(sink, L"An error occurred during enumerating OLE DB providers. [%d]", static_cast<int>(created));
    return names;
  }
  const HRESULT walked = ReadNames(enumerator.Get(), names);
  if (FAILED(walked)) Report(sink, L"Cannot get list of OLE DB providers [%d]", static_cast<int>(walked));
  return names;
}
