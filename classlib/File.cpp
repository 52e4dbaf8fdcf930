#include "File.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Strings.h"

PFN_WRITE_FILE g_pfnWriteFile = WriteFile;

namespace {

// Win32 errors by cause; anything absent is CAUSE_GENERIC.
struct ErrorCauseRow {
  int cause;
  std::initializer_list<DWORD> errors;
};
const ErrorCauseRow kErrorCauses[] = {
    {CAUSE_NONE, {0}},
    {CAUSE_NOT_FOUND, {2, 6, 18, 107}},
    {CAUSE_BAD_PATH,
     {3, 15, 17, 34, 52, 53, 55, 67, 70, 85, 111, 123, 124, 125, 144, 154, 161, 206, 208, 267}},
    {CAUSE_TOO_MANY_OPEN, {4, 36, 68, 113}},
    {CAUSE_ACCESS_DENIED, {5, 12, 19, 29, 54, 58, 64, 65, 71, 80, 82, 86, 170, 183, 999}},
    {CAUSE_BAD_HANDLE, {11, 26, 60, 66, 114, 182, 191, 193}},
    {CAUSE_CURRENT_DIR, {16, 145}},
    {CAUSE_DIR_FULL, {62}},
    {CAUSE_BAD_SEEK, {24, 25, 27, 30, 131, 132}},
    {CAUSE_HARDWARE, {20, 21, 22, 23, 57, 59, 88, 117, 995, 996, 997}},
    {CAUSE_SHARING, {32}},
    {CAUSE_LOCKING, {33, 108, 167}},
    {CAUSE_DISK_FULL, {39, 112}},
    {CAUSE_PAST_END, {38}},
};

DWORD LowPart(uint64_t value) { return DWORD(value & 0xFFFFFFFFu); }
DWORD HighPart(uint64_t value) { return DWORD(value >> 32); }

void FillError(CFileException* error, int cause, int osError, const wchar_t* name) {
  if (error) *error = CFileException(cause, osError, name);
}

void FillOsError(CFileException* error, DWORD osError, const wchar_t* name) {
  if (error) *error = CFileException(CFileException::ErrorToCause(osError), int(osError), name);
}

// Writes all of data through the seam; a short write is a full disk, as CFile::Write reports it.
void WriteAll(HANDLE file, const void* data, DWORD size, const wchar_t* name) {
  DWORD written = 0;
  if (!g_pfnWriteFile(file, data, size, &written, nullptr)) ThrowFileOsError(GetLastError(), name);
  if (written < size) ThrowFileException(CAUSE_DISK_FULL, -1, name);
}

}  // namespace

CFileException::CFileException(int cause, int osError, const wchar_t* fileName)
    : m_cause(cause), m_fileName(fileName ? fileName : L""), m_osError(osError) {
  std::wstring text;
  LoadStrFormat(text, IDS_FILE_CAUSE_BASE + UINT(cause), m_fileName.c_str());
  WideToMultiByte(text.c_str(), text.size(), m_message, CP_ACP);
}

int CFileException::ErrorToCause(DWORD error) {
  for (const ErrorCauseRow& row : kErrorCauses) {
    for (DWORD e : row.errors) {
      if (e == error) return row.cause;
    }
  }
  return CAUSE_GENERIC;
}

void ThrowFileException(int cause, int osError, const wchar_t* fileName) {
  throw CFileException(cause, osError, fileName);
}

void ThrowFileOsError(DWORD error, const wchar_t* fileName) {
  throw CFileException(CFileException::ErrorToCause(error), int(error), fileName);
}

CResourceException::CResourceException() {
  std::wstring text;
  LoadStr(IDS_RESOURCE_UNAVAILABLE, text);
  WideToMultiByte(text.c_str(), text.size(), m_message, CP_ACP);
}

void ThrowResourceException() { throw CResourceException(); }

// CFile

CFile::~CFile() {
  if (m_file != INVALID_HANDLE_VALUE) CloseHandle(m_file);
}

bool CFile::Open(const wchar_t* name, UINT mode, CFileException* error) {
  if (m_file != INVALID_HANDLE_VALUE) Close();
  m_path.clear();
  if (!name || !*name || wcslen(name) >= MAX_PATH) {
    FillError(error, CAUSE_BAD_PATH, -1, name);
    return false;
  }
  wchar_t full[MAX_PATH];
  if (!GetFullFilePath(full, name, error)) return false;

  mode &= ~UINT(CFILE_BINARY);
  static const DWORD kAccess[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE, 0};
  const DWORD access = kAccess[mode & 3];
  DWORD share = 0;
  switch (mode & 0x70) {
    case CFILE_SHARE_DENY_WRITE: share = FILE_SHARE_READ; break;
    case CFILE_SHARE_DENY_READ: share = FILE_SHARE_WRITE; break;
    case CFILE_SHARE_DENY_NONE: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: break;
  }
  SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, (mode & CFILE_NO_INHERIT) ? FALSE : TRUE};
  DWORD creation = OPEN_EXISTING;
  if (mode & CFILE_CREATE) creation = (mode & CFILE_NO_TRUNCATE) ? OPEN_ALWAYS : CREATE_ALWAYS;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (mode & CFILE_NO_BUFFERING) flags |= FILE_FLAG_NO_BUFFERING;
  if (mode & CFILE_WRITE_THROUGH) flags |= FILE_FLAG_WRITE_THROUGH;
  if (mode & CFILE_RANDOM_ACCESS) flags |= FILE_FLAG_RANDOM_ACCESS;
  if (mode & CFILE_SEQUENTIAL_SCAN) flags |= FILE_FLAG_SEQUENTIAL_SCAN;

  HANDLE file = CreateFileW(name, access, share, &security, creation, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FillOsError(error, GetLastError(), name);
    return false;
  }
  m_file = file;
  m_path = full;
  return true;
}

void CFile::Close() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  const BOOL closed = CloseHandle(m_file);
  const DWORD code = GetLastError();
  m_file = INVALID_HANDLE_VALUE;
  std::wstring path;
  path.swap(m_path);
  if (!closed) ThrowFileOsError(code, path.c_str());
}

const std::wstring& CFile::GetFilePath() const { return m_path; }

void CFile::SetFilePath(const wchar_t* path) { m_path = path ? path : L""; }

uint64_t CFile::GetPosition() const {
  LONG high = 0;
  // INVALID_SET_FILE_POINTER is also a valid low part of a large position; only the last error
  // tells a failure apart, so it is cleared first.
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(m_file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER) {
    const DWORD code = GetLastError();
    if (code != NO_ERROR) ThrowFileOsError(code, m_path.c_str());
  }
  return uint64_t(DWORD(high)) << 32 | low;
}

uint64_t CFile::GetLength() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(m_file, &size)) ThrowFileOsError(GetLastError(), m_path.c_str());
  return uint64_t(size.QuadPart);
}

void CFile::SetLength(uint64_t length) {
  Seek(int64_t(length), FILE_BEGIN);
  if (!SetEndOfFile(m_file)) ThrowFileOsError(GetLastError(), m_path.c_str());
}

uint64_t CFile::Seek(int64_t offset, UINT origin) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(m_file, distance, &position, origin))
    ThrowFileOsError(GetLastError(), m_path.c_str());
  return uint64_t(position.QuadPart);
}

UINT CFile::Read(void* buffer, UINT count) {
  if (count == 0) return 0;
  DWORD read = 0;
  if (!ReadFile(m_file, buffer, count, &read, nullptr)) ThrowFileOsError(GetLastError(), m_path.c_str());
  return read;
}

void CFile::Write(const void* buffer, UINT count) {
  if (count == 0) return;
  WriteAll(m_file, buffer, count, m_path.c_str());
}

void CFile::LockRange(uint64_t position, uint64_t count) {
  if (!LockFile(m_file, LowPart(position), HighPart(position), LowPart(count), HighPart(count))) {
    ThrowFileOsError(GetLastError(), m_path.c_str());
  }
}

void CFile::UnlockRange(uint64_t position, uint64_t count) {
  if (!UnlockFile(m_file, LowPart(position), HighPart(position), LowPart(count), HighPart(count))) {
    ThrowFileOsError(GetLastError(), m_path.c_str());
  }
}

void CFile::Flush() {
  if (m_file == INVALID_HANDLE_VALUE) return;
  if (!FlushFileBuffers(m_file)) ThrowFileOsError(GetLastError(), m_path.c_str());
}

// CFindFile

CFindFile::~CFindFile() { Close(); }

bool CFindFile::FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
  m_find.Reset(FindFirstFileW(pattern, data));
  return m_find.Valid();
}

bool CFindFile::FindNext(WIN32_FIND_DATAW* data) {
  return m_find.Valid() && FindNextFileW(m_find.Get(), data);
}

void CFindFile::Close() { m_find.Close(); }

// Functions

bool GetFullFilePath(wchar_t* out, const wchar_t* name, CFileException* error) {
  wchar_t* filePart = nullptr;
  const DWORD length = GetFullPathNameW(name, MAX_PATH, out, &filePart);
  if (length == 0) {
    const DWORD code = GetLastError();
    wcsncpy(out, name, MAX_PATH - 1);
    out[MAX_PATH - 1] = L'\0';
    FillOsError(error, code, name);
    return false;
  }
  if (length >= MAX_PATH) {
    FillError(error, CAUSE_BAD_PATH, -1, name);
    return false;
  }

  wchar_t root[MAX_PATH];
  wcscpy(root, out);
  PathStripToRootW(root);
  if (PathIsUNCW(root)) return true;

  DWORD fsFlags = 0;
  if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &fsFlags, nullptr, 0)) {
    const DWORD code = GetLastError();
    Trace(L"Warning: could not get volume information '%s'.\n", root);
    FillOsError(error, code, name);
    return false;
  }
  if (!(fsFlags & FS_CASE_IS_PRESERVED)) CharUpperW(out);
  if (!(fsFlags & FS_UNICODE_STORED_ON_DISK)) {
    WIN32_FIND_DATAW found;
    CFindFile find;
    if (find.FindFirst(name, &found)) {
      if (!filePart) {
        FillOsError(error, GetLastError(), name);
        return false;
      }
      const size_t head = size_t(filePart - out);
      if (head + wcslen(found.cFileName) >= MAX_PATH) {
        FillError(error, CAUSE_BAD_PATH, -1, name);
        return false;
      }
      wcscpy(filePart, found.cFileName);
    }
  }
  return true;
}

void ReadUtf8File(const wchar_t* path, std::wstring& out) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) ThrowFileOsError(GetLastError(), path);
  std::string bytes;
  DWORD code = NO_ERROR;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    code = GetLastError();
  } else if (size.QuadPart > 0x7FFFFFFF) {
    // One ReadFile and one conversion take at most an int's worth; no text file of ours comes near.
    code = ERROR_FILE_TOO_LARGE;
  } else if (size.QuadPart > 0) {
    bytes.resize(size_t(size.QuadPart));
    DWORD read = 0;
    if (!ReadFile(file, &bytes[0], DWORD(bytes.size()), &read, nullptr)) code = GetLastError();
    bytes.resize(read);
  }
  CloseHandle(file);
  if (code != NO_ERROR) ThrowFileOsError(code, path);

  size_t skip = 0;
  if (bytes.size() > 2 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) skip = 3;
  out.clear();
  if (bytes.size() > skip) MultiByteToWide(bytes.data() + skip, bytes.size() - skip, out, CP_UTF8);
}

void WriteUtf8File(const wchar_t* path, const wchar_t* text, size_t length) {
  if (length == size_t(-1)) length = wcslen(text);
  std::string utf8;
  if (length > 0) {
    // Lone surrogates become U+FFFD; the conversion fails only for a text no file could hold, and
    // then nothing is written rather than an empty file.
    if (!WideToMultiByte(text, length, utf8, CP_UTF8)) ThrowFileException(CAUSE_GENERIC, -1, path);
  }

  // The temporary lies in the target's folder, so that the replacement is a rename on one volume.
  wchar_t full[MAX_PATH];
  wchar_t* filePart = nullptr;
  const DWORD fullLength = GetFullPathNameW(path, MAX_PATH, full, &filePart);
  if (fullLength == 0) ThrowFileOsError(GetLastError(), path);
  if (fullLength >= MAX_PATH || !filePart) ThrowFileException(CAUSE_BAD_PATH, -1, path);
  *filePart = L'\0';
  wchar_t temp[MAX_PATH];
  if (!GetTempFileNameW(full, L"~vb", 0, temp)) ThrowFileOsError(GetLastError(), path);

  HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  try {
    if (file == INVALID_HANDLE_VALUE) ThrowFileOsError(GetLastError(), path);
    if (!utf8.empty()) {
      WriteAll(file, "\xEF\xBB\xBF", 3, path);
      WriteAll(file, utf8.data(), DWORD(utf8.size()), path);
    }
    if (!FlushFileBuffers(file)) ThrowFileOsError(GetLastError(), path);
    const BOOL closed = CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    if (!closed) ThrowFileOsError(GetLastError(), path);
    if (!MoveFileExW(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      ThrowFileOsError(GetLastError(), path);
    }
  } catch (...) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    DeleteFileW(temp);
    throw;
  }
}

void GetAppDataFolder(std::wstring& out) {
  wchar_t folder[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    out = folder;
  } else {
    out.clear();
  }
}

const wchar_t* GetFileExtension(const wchar_t* path) {
  const wchar_t* end = path + wcslen(path);
  for (const wchar_t* p = end; p != path;) {
    --p;
    if (*p == L'\\') break;
    if (*p == L'.') return p;
  }
  return end;
}

namespace {

// Looks for regjump.exe under one root's App Paths. Returns 1 found, 0 not there, -1 a failure that
// ends the whole search (the last error is set).
int FindRegJumpIn(HKEY root, std::wstring& out) {
  HKEY appPaths = nullptr;
  if (RegOpenKeyExW(root, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths", 0, KEY_READ,
                    &appPaths) != ERROR_SUCCESS) {
    return 0;
  }
  int result = 0;
  for (DWORD i = 0;; ++i) {
    wchar_t name[257];
    DWORD nameChars = 257;
    const LONG status = RegEnumKeyExW(appPaths, i, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      SetLastError(DWORD(status));
      result = -1;
      break;
    }
    if (CompareStringOrdinal(name, -1, L"regjump.exe", -1, TRUE) != CSTR_EQUAL) continue;
    HKEY entry = nullptr;
    const LONG opened = RegOpenKeyExW(appPaths, name, 0, KEY_READ, &entry);
    if (opened != ERROR_SUCCESS) {
      SetLastError(DWORD(opened));
      result = -1;
      break;
    }
    wchar_t value[520 + 1] = {};  // 1040 bytes and one spare NUL
    DWORD type = 0;
    DWORD bytes = 1040;
    const LONG queried =
        RegQueryValueExW(entry, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    RegCloseKey(entry);
    if (queried != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) continue;
    // A value not ended by its NUL may be cut anywhere; it is passed over rather than guessed at.
    if (bytes != 0 && (bytes % 2 != 0 || value[bytes / 2 - 1] != L'\0')) continue;
    out = value;
    result = 1;
    break;
  }
  RegCloseKey(appPaths);
  return result;
}

}  // namespace

bool FindRegJumpAppPath(std::wstring& out) {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    const int found = FindRegJumpIn(root, out);
    if (found != 0) return found > 0;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return false;
}
