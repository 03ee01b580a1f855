// A DLL linked like the provider (static C++ run time) with one static object
// that needs the run time, so the run time's start-up is all it costs.
#include <string>

#include <windows.h>

namespace {
const std::wstring kName = L"trivial";
}  // namespace

extern "C" __declspec(dllexport) int TrivialValue() { return static_cast<int>(kName.size()); }
