#include "TableIO.h"

#include <cerrno>
#include <cstdlib>

#include "Core.h"
#include "File.h"
#include "Strings.h"

CTableException::CTableException(std::wstring text) : m_text(std::move(text)) {
  WideToMultiByte(m_text.c_str(), m_text.size(), m_message, CP_ACP);
}

bool CBTableImport::GetDouble(double& out) {
  std::wstring text;
  if (!GetString(text)) return false;
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;  // a range error left by an earlier call must not reject this cell
  const double value = wcstod(begin, &end);
  if (value != 0.0 || value != value) {
    out = value;
    return true;
  }
  if (end == begin || errno != 0) return false;
  out = value;
  return true;
}

bool CBTableImport::GetInt64(int64_t& out) {
  std::wstring text;
  if (!GetString(text)) return false;
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;
  const long long value = wcstoll(begin, &end, 10);
  if (value != 0) {
    out = value;
    return true;
  }
  if (end == begin || errno != 0) return false;
  out = 0;
  return true;
}

void CTempTarget::Begin(const wchar_t* target) {
  Discard();
  wchar_t full[MAX_PATH];
  wchar_t* filePart = nullptr;
  const DWORD fullLength = GetFullPathNameW(target, MAX_PATH, full, &filePart);
  if (fullLength == 0) ThrowFileOsError(GetLastError(), target);
  if (fullLength >= MAX_PATH || !filePart) ThrowFileException(CAUSE_BAD_PATH, -1, target);
  const std::wstring extension = GetFileExtension(full);
  m_target = full;
  *filePart = L'\0';
  const std::wstring folder = full;

  // CREATE_NEW claims the name; a clash with another writer's temporary just tries the next one.
  static LONG counter = 0;
  const DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[32];
    swprintf(name, 32, L"~vb%08lx", static_cast<unsigned long>(seed + DWORD(InterlockedIncrement(&counter))));
    const std::wstring temp = folder + name + extension;
    if (temp.size() >= MAX_PATH) ThrowFileException(CAUSE_BAD_PATH, -1, target);
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      m_temp = temp;
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) ThrowFileOsError(error, target);
  }
  ThrowFileException(CAUSE_GENERIC, -1, target);
}

void CTempTarget::Commit() {
  if (m_temp.empty()) return;
  if (!MoveFileExW(m_temp.c_str(), m_target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    Discard();
    ThrowFileOsError(error, m_target.c_str());
  }
  m_temp.clear();
}

void CTempTarget::Discard() {
  if (m_temp.empty()) return;
  DeleteFileW(m_temp.c_str());
  m_temp.clear();
}

std::wstring LoadStrIn(UINT id, LANGID language) {
  for (HMODULE module : {g_hResInstance, g_hInstance}) {
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (!found) continue;
    HGLOBAL loaded = LoadResource(module, found);
    const WORD* p = loaded ? static_cast<const WORD*>(LockResource(loaded)) : nullptr;
    if (!p) continue;
    // A block holds 16 counted strings.
    for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
    return std::wstring(reinterpret_cast<const wchar_t*>(p + 1), *p);
  }
  return std::wstring();
}
