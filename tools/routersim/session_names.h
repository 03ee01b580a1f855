#pragma once
// Session names written so that any UTF-16 name survives a text file and a
// one-line report: "\\" is a backslash, "\n" a line feed and "\uXXXX" any
// UTF-16 unit (four hex digits, lone surrogates included); every other
// character stands for itself.

#include <string>
#include <vector>

namespace routersim {

// False, with `error` set, for a backslash that starts none of the escapes.
bool DecodeSessionName(const std::wstring& text, std::wstring* name, std::wstring* error);

// ASCII without spaces: printable characters other than the backslash stand,
// everything else is escaped.
std::string EncodeSessionName(const std::wstring& name);

// A names file: UTF-8, one name per line (LF or CR LF), the first line for
// slot 0. An empty line leaves its slot free. At most `maxNames` lines, each
// name at most `maxUnits` units. False, with `error` naming the line, when the
// file cannot be read or does not fit.
bool ReadSessionNames(const std::wstring& path, size_t maxNames, size_t maxUnits, std::vector<std::wstring>* names,
                      std::wstring* error);

}  // namespace routersim
