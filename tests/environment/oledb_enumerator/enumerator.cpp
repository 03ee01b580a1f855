// A small OLE DB root enumerator: ISourcesRowset hands out a rowset (IRowset,
// IAccessor) of the sources rowset's five columns, one row per name in
// FERNWICK_OLEDB_ROWS.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <oledb.h>
#include <oledberr.h>
#include <windows.h>

namespace {

std::atomic<long> g_objects{0};

// Reference counting and QueryInterface for the classes below, which name
// their interfaces in Find.
template <typename... Interfaces>
class Object : public Interfaces... {
 public:
  Object() { ++g_objects; }
  virtual ~Object() { --g_objects; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = Find(iid);
    if (*out == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

 protected:
  virtual void* Find(REFIID iid) = 0;

 private:
  std::atomic<ULONG> references_{1};
};

std::vector<std::wstring> RowsFromEnvironment() {
  wchar_t text[4096] = {};
  GetEnvironmentVariableW(L"FERNWICK_OLEDB_ROWS", text, 4096);
  std::vector<std::wstring> rows;
  std::wstring current;
  for (const wchar_t* p = text;; ++p) {
    if (*p == L'|' || *p == L'\0') {
      if (!current.empty()) rows.push_back(current);
      current.clear();
      if (*p == L'\0') break;
    } else {
      current += *p;
    }
  }
  return rows;
}

class Rowset : public Object<IRowset, IAccessor> {
 public:
  explicit Rowset(std::vector<std::wstring> rows) : rows_(std::move(rows)) {}

  void* Find(REFIID iid) override {
    if (iid == IID_IUnknown || iid == IID_IRowset) return static_cast<IRowset*>(this);
    if (iid == IID_IAccessor) return static_cast<IAccessor*>(this);
    return nullptr;
  }

  HRESULT STDMETHODCALLTYPE AddRefRows(DBCOUNTITEM, const HROW[], DBREFCOUNT[], DBROWSTATUS[]) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReleaseRows(DBCOUNTITEM, const HROW[], DBROWOPTIONS[], DBREFCOUNT[],
                                        DBROWSTATUS[]) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RestartPosition(HCHAPTER) override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetNextRows(HCHAPTER, DBROWOFFSET, DBROWCOUNT wanted, DBCOUNTITEM* obtained,
                                        HROW** rows) override {
    *obtained = 0;
    if (wanted <= 0) return S_OK;
    if (next_ >= rows_.size()) return DB_S_ENDOFROWSET;
    if (*rows == nullptr) *rows = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW)));
    (*rows)[0] = static_cast<HROW>(++next_);
    *obtained = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetData(HROW row, HACCESSOR accessor, void* data) override {
    if (accessor == 0 || accessor > accessors_.size() || row == 0 || row > rows_.size()) return DB_E_BADROWHANDLE;
    const std::wstring& name = rows_[row - 1];
    for (const DBBINDING& binding : accessors_[accessor - 1]) {
      auto* value = static_cast<BYTE*>(data) + binding.obValue;
      DBSTATUS status = DBSTATUS_S_OK;
      if (binding.iOrdinal <= 3 && binding.wType == DBTYPE_WSTR) {
        const std::wstring text = binding.iOrdinal == 3 ? L"Stand-in provider " + name : name;
        const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
        const size_t copied = bytes <= binding.cbMaxLen ? bytes : binding.cbMaxLen;
        std::memcpy(value, text.c_str(), copied);
        if (copied < bytes) status = DBSTATUS_S_TRUNCATED;
      } else if (binding.iOrdinal == 4 && binding.wType == DBTYPE_UI2) {
        *reinterpret_cast<USHORT*>(value) = 1;  // DBSOURCETYPE_DATASOURCE
      } else if (binding.iOrdinal == 5 && binding.wType == DBTYPE_BOOL) {
        *reinterpret_cast<VARIANT_BOOL*>(value) = VARIANT_FALSE;
      } else {
        status = DBSTATUS_E_CANTCONVERTVALUE;
      }
      if ((binding.dwPart & DBPART_STATUS) != 0) {
        *reinterpret_cast<DBSTATUS*>(static_cast<BYTE*>(data) + binding.obStatus) = status;
      }
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE CreateAccessor(DBACCESSORFLAGS, DBCOUNTITEM count, const DBBINDING bindings[],
                                           DBLENGTH, HACCESSOR* accessor, DBBINDSTATUS[]) override {
    accessors_.emplace_back(bindings, bindings + count);
    *accessor = accessors_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE ReleaseAccessor(HACCESSOR, DBREFCOUNT*) override { return S_OK; }

 private:
  std::vector<std::wstring> rows_;
  std::vector<std::vector<DBBINDING>> accessors_;
  size_t next_ = 0;
};

class Enumerator : public Object<ISourcesRowset> {
 public:
  void* Find(REFIID iid) override {
    return iid == IID_IUnknown || iid == IID_ISourcesRowset ? static_cast<ISourcesRowset*>(this) : nullptr;
  }
  HRESULT STDMETHODCALLTYPE GetSourcesRowset(IUnknown* outer, REFIID iid, ULONG, DBPROPSET[],
                                             IUnknown** rowset) override {
    if (outer != nullptr) return DB_E_NOAGGREGATION;
    auto* created = new Rowset(RowsFromEnvironment());
    const HRESULT hr = created->QueryInterface(iid, reinterpret_cast<void**>(rowset));
    created->Release();
    return hr;
  }
};

class Factory : public Object<IClassFactory> {
 public:
  void* Find(REFIID iid) override {
    return iid == IID_IUnknown || iid == IID_IClassFactory ? static_cast<IClassFactory*>(this) : nullptr;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* created = new Enumerator();
    const HRESULT hr = created->QueryInterface(iid, out);
    created->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID iid, void** out) {
  auto* factory = new Factory();
  const HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
