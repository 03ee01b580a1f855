// Uses a few functions of the support library through its public headers.

#include <cinttypes>
#include <cstdio>

#include "support/fs/crc.h"
#include "support/text/zel_string.h"

int main() {
  const char check[] = "123456789";
  const ZELString text(L"host");
  std::printf("%08" PRIx32 " %016" PRIx64 " %s %d\n", ~Crc32Update(0xFFFFFFFFu, check, 9), Crc64(check, 9),
              text.GetNarrow(), text.Length());
  return 0;
}
