#pragma once
// The file test the registration operations share before they register,
// compile or delete a file.

namespace zel_wmi {

// True when `path` names a file, not a directory. A file another process
// holds open so that its attributes cannot be read still exists.
bool IsExistingFile(const wchar_t* path);

}  // namespace zel_wmi
