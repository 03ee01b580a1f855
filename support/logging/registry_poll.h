#pragma once
// How often the logger thread reads its registry settings again: every
// 30 s. Internal to the library, not installed: tests shorten it rather
// than wait for real polls.

#include <windows.h>

DWORD RegistryPollMilliseconds();
void SetRegistryPollMilliseconds(DWORD milliseconds);
