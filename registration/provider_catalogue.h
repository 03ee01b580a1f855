#pragma once
// The counter providers of the product line whose WMI classes the
// registration library knows: class, MOF file and DLL of each.

#include <cstddef>

namespace zel_wmi {

// One row, 767 bytes of narrow text in a fixed layout. `mofFileName` holds
// the full MOF file name; its text from the third character on
// (MofFileNameTail) is what the auto-recovery list is searched for.
struct ProviderCatalogueRow {
  char className[255];
  char mofFileName[257];
  char dllName[255];
};
static_assert(sizeof(ProviderCatalogueRow) == 767, "catalogue rows are 767 bytes");
static_assert(offsetof(ProviderCatalogueRow, mofFileName) == 255, "MOF file name at offset 255");
static_assert(offsetof(ProviderCatalogueRow, dllName) == 512, "DLL name at offset 512");

constexpr size_t kProviderCatalogueRows = 4;
extern const ProviderCatalogueRow kProviderCatalogue[kProviderCatalogueRows];

// The MOF file name without its first two characters (offset 257 of the row).
inline const char* MofFileNameTail(const ProviderCatalogueRow& row) { return row.mofFileName + 2; }

// The row whose class name equals `className` in any letter case, or null.
const ProviderCatalogueRow* FindCatalogueRow(const char* className);

}  // namespace zel_wmi
