#pragma once
// Replaces a file's contents so that a reader sees either the old file or the
// new one, never a part: the text goes to a temporary file in the same folder,
// which then takes the file's place.

#include <string>

#include <windows.h>

namespace routerstat {

// Returns 0, or the system error of the step that failed; the temporary file
// is removed then and `path` keeps what it had.
DWORD ReplaceFileText(const std::wstring& path, const std::string& text);

}  // namespace routerstat
