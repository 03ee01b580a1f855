// Uses a few functions of the support library through its public headers,
// and prints the text of one event from the logger's message table that it
// carries.

#include <cinttypes>
#include <cstdio>

#include <windows.h>

#include "support/fs/crc.h"
#include "support/text/zel_string.h"

int main() {
  const char check[] = "123456789";
  const ZELString text(L"host");
  std::printf("%08" PRIx32 " %016" PRIx64 " %s %d\n", ~Crc32Update(0xFFFFFFFFu, check, 9), Crc64(check, 9),
              text.GetNarrow(), text.Length());
  // The logger's warning id, its text being the one insertion string.
  const DWORD_PTR insertion[] = {reinterpret_cast<DWORD_PTR>("event text")};
  char event[64] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, nullptr, 0xAFFF4E20u, 0, event,
                 sizeof event, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(insertion)));
  std::printf("%s", event);
  return 0;
}
