#include "registration/existing_file.h"

#include <windows.h>

namespace zel_wmi {

bool IsExistingFile(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_BUFFER_EXCEEDED;
}

}  // namespace zel_wmi
