// The whole content of a file as raw bytes, read while others may still have it open; "<missing>" when it
// cannot be opened. For tests that check exact file bytes.
#pragma once

#include <windows.h>

#include <string>

inline std::string FileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char block[4096];
  DWORD read = 0;
  while (ReadFile(file, block, sizeof block, &read, nullptr) && read) bytes.append(block, read);
  CloseHandle(file);
  return bytes;
}
