#include "registration/provider_catalogue.h"

#include <cstring>

namespace zel_wmi {

// Every MOF name is written relative to the parent folder, "..\NAME.mof",
// so that the searched tail is "\NAME.mof": it matches an auto-recovery
// entry only where a path component is exactly the MOF file's name, never a
// longer file name of another program that merely ends in it.
const ProviderCatalogueRow kProviderCatalogue[kProviderCatalogueRows] = {
    // This provider.
    {"Win32_PerfRawData_Fernwick_Router_Session", "..\\FernwickRouterSessionPerf.mof",
     "FernwickRouterSessionPerf.dll"},
    // The server agent's raw and formatted counters (superseded, see the
    // agent clean-up).
    {"Win32_PerfRawData_FernwickServer_WMIObjects", "..\\QAVPerfInfo.mof", "QAVPerfInfo.dll"},
    {"Win32_PerfFormattedData_FernwickServer_WMIObjects", "..\\QAVPerfInfoFormatted.mof", "QAVPerfInfo.dll"},
    // The router's earlier counter provider (superseded by this one).
    {"Win32_PerfRawData_FernwickRouter_FernwickRouter", "..\\FernwickRouterPerf.mof", "FernwickRouterPerf.dll"},
};

const ProviderCatalogueRow* FindCatalogueRow(const char* className) {
  for (const auto& row : kProviderCatalogue) {
    if (_stricmp(row.className, className) == 0) return &row;
  }
  return nullptr;
}

}  // namespace zel_wmi
