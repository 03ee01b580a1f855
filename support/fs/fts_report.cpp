#include "support/fs/fts_report.h"

namespace fts {
namespace detail {

ErrorRecord* ModuleRecord() {
  static ErrorRecord record;
  return &record;
}

}  // namespace detail
}  // namespace fts
