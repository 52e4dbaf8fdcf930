#include "AddinLog.h"

#include <shlobj.h>

#include <new>
#include <stdexcept>

#include "Core.h"
#include "Exceptions.h"
#include "Handles.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "ResourceIds.h"
#include "Thread.h"
#include "Variant.h"
#include "Vombra.h"

std::wstring g_logFolder;

namespace {

constexpr ULONGLONG kMegabyte = 1048576;
// How long a line waits for its place at the end of the file before it gives up. Only a writer of
// another add-in object (mostly in another process) can hold that place: writers of this object queue
// on the add-in lock. A holder keeps it for one WriteFile, or for one copy to ".old".
constexpr DWORD kRangeLockPatienceMs = 5000;

HRESULT LastErrorResult() {
  DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// A cut must not leave half of a surrogate pair at the end of the line.
void CutText(std::wstring& text, size_t limit) {
  if (text.size() <= limit) return;
  text.resize(limit);
  if (!text.empty() && IS_HIGH_SURROGATE(text.back())) text.pop_back();
}

wchar_t LevelLetter(UINT level) {
  switch (level) {
    case kLogWarning: return L'W';
    case kLogError: return L'E';
    default: return L'I';
  }
}

bool IsFolder(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder of path (up to its last backslash), made with its parents when it does not exist.
HRESULT EnsureFolderOf(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos || slash == 0) return S_OK;
  const std::wstring folder = path.substr(0, slash);
  // Another writer (another add-in object, another process) may be making the same folders: its
  // parent made first fails ours with "already exists" before ours got to the leaf. Each attempt gets
  // at least one level further.
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (IsFolder(folder)) return S_OK;
    if (CreateDirectoryPath(folder.c_str())) return S_OK;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return LastErrorResult();
  }
  return IsFolder(folder) ? S_OK : HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
}

// When the file has grown beyond maxSize whole megabytes: its content goes to path + ".old" (a failed
// copy is not reported) and the file starts anew.
void RotateIfFull(HANDLE file, const std::wstring& path, UINT maxSize, ULONGLONG size) {
  if (maxSize == kLogNoSizeLimit || size / kMegabyte <= maxSize) return;
  std::wstring old = path + L".old";
  CopyFileW(path.c_str(), old.c_str(), FALSE);
  LARGE_INTEGER start{};
  if (SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) SetEndOfFile(file);
}

// Appends bytes at the end of the file under a byte-range lock of exactly the range they will take.
// Another process may append between our seek and our lock, so the lock only counts once the file
// still ends where we locked: then no other writer can be writing there. The size limit is checked
// under the same lock, so that a rotation never cuts the file under another writer's line.
HRESULT AppendLocked(HANDLE file, const std::wstring& path, UINT maxSize, const std::string& bytes) {
  const DWORD length = DWORD(bytes.size());
  const DWORD started = GetTickCount();
  for (bool first = true;; first = false) {
    if (!first) {
      if (GetTickCount() - started >= kRangeLockPatienceMs) return HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION);
      Sleep(1);
    }
    LARGE_INTEGER end{};
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, &end, FILE_END)) return LastErrorResult();
    OVERLAPPED range{};
    range.Offset = end.LowPart;
    range.OffsetHigh = DWORD(end.HighPart);
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, length, 0, &range)) {
      DWORD error = GetLastError();
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) continue;
      return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    LARGE_INTEGER size{};
    bool sizeKnown = GetFileSizeEx(file, &size) != FALSE;
    if (sizeKnown && size.QuadPart != end.QuadPart) {
      UnlockFileEx(file, 0, length, 0, &range);
      continue;
    }
    if (sizeKnown && maxSize != kLogNoSizeLimit && ULONGLONG(size.QuadPart) / kMegabyte > maxSize) {
      RotateIfFull(file, path, maxSize, ULONGLONG(size.QuadPart));
      UnlockFileEx(file, 0, length, 0, &range);
      maxSize = kLogNoSizeLimit;  // once per line, even when the file could not be cut
      continue;
    }
    // The file pointer is still at the end found above: the seek is the last call that moved it.
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), length, &written, nullptr);
    HRESULT hr = ok ? S_OK : LastErrorResult();
    UnlockFileEx(file, 0, length, 0, &range);
    if (FAILED(hr)) return hr;
    return written < length ? VOMBRA_E_DISK_FULL : S_OK;
  }
}

std::wstring ModuleFileName(HMODULE module) {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(module, &name[0], DWORD(name.size()));
    if (length == 0) return std::wstring();
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    name.resize(name.size() * 2);
  }
}

}  // namespace

void GetLogFilePath(std::wstring& path) {
  if (!g_logFolder.empty()) {
    path = g_logFolder;
    if (path.back() != L'\\') path += L'\\';
  } else {
    wchar_t folder[MAX_PATH] = L"";
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) folder[0] = L'\0';
    path = folder;
    path += L"\\Tarvelon\\Vombra\\";
  }
  path += L"Vombra.log";
}

void FormatLogLine(std::wstring& line, const SYSTEMTIME& time, UINT level, const wchar_t* source, UINT number,
                   const wchar_t* text, long length) {
  StrFormat(line, L"%.2d:%.2d:%.2d.%.3d [%c%.5u", int(time.wHour), int(time.wMinute), int(time.wSecond),
            int(time.wMilliseconds), LevelLetter(level), number);
  if (source) {
    std::wstring shown(source);
    CutText(shown, kLogMaxSourceChars);
    line += L' ';
    line += shown;
  }
  line += L"] ";
  std::wstring body;
  if (text) body.assign(text, length < 0 ? wcslen(text) : size_t(length));
  CutText(body, kLogMaxTextChars);
  line += body;
}

HRESULT CAddinLog::LogV(UINT level, const wchar_t* source, UINT id, va_list args) {
  try {
    std::wstring format;
    LoadStr(id, format);
    std::wstring text;
    StrFormatV(text, format.c_str(), args);
    return LogLine(level, source, id - 1000, text);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

HRESULT CAddinLog::LogPrintfV(UINT level, const wchar_t* source, const wchar_t* format, va_list args) {
  try {
    std::wstring text;
    StrFormatV(text, format, args);
    return LogLine(level, source, 0, text);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

HRESULT CAddinLog::LogText(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length) {
  try {
    std::wstring body;
    if (text) body.assign(text, length < 0 ? wcslen(text) : size_t(length));
    return LogLine(level, source, number, body);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

// The check for an open log and the opening are made under the add-in lock as one step, so that two
// threads writing their first lines together do not both write a header.
HRESULT CAddinLog::LogLine(UINT level, const wchar_t* source, UINT number, const std::wstring& text) {
  CCriticalSectionLock hold(m_lock);
  // LogLevel 0 writes nothing, also into a log that was opened while the level was higher.
  if (*m_level == 0) return E_ABORT;
  if (m_path->empty()) {
    HRESULT hr = OpenLog();
    if (FAILED(hr)) return hr;
  }
  return WriteLog(level, source, number, text.c_str(), long(text.size()));
}

HRESULT CAddinLog::OpenLog() {
  try {
    CCriticalSectionLock hold(m_lock);
    if (*m_level == 0) return E_ABORT;
    GetLogFilePath(*m_path);
    hold.Release();

    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring addinVersion;
    std::wstring windowsVersion;
    VersionToStr(GetFileVersionNumber(ModuleFileName(g_hInstance).c_str()), addinVersion);
    VersionToStr(GetFileVersionNumber(L"kernel32.dll"), windowsVersion);
    std::wstring header;
    LoadStrFormat(header, IDS_LOG_HEADER, int(now.wDay), int(now.wMonth), int(now.wYear), addinVersion.c_str(),
                  windowsVersion.c_str());
    return WriteLog(kLogInfo, nullptr, kLogHeaderNumber, header.c_str(), long(header.size()));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

HRESULT CAddinLog::WriteLog(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length) {
  try {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring line;
    FormatLogLine(line, now, level, source, number, text, length);
    std::string bytes;
    WideToAnsi(line.c_str(), int(line.size()), bytes);
    bytes += "\r\n";

    CCriticalSectionLock hold(m_lock);
    const std::wstring path = *m_path;
    const UINT maxSize = *m_maxSize;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      HRESULT hr = EnsureFolderOf(path);
      if (FAILED(hr)) return hr;
    }
    // Shared for writing as well as reading: another add-in object (in this or another process)
    // appends to the same file, and the byte-range lock is what keeps its lines apart from ours.
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return LastErrorResult();
    return AppendLocked(file.Get(), path, maxSize, bytes);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

HRESULT CAddinLog::Clear(bool remove) {
  CCriticalSectionLock hold(m_lock);
  std::wstring path;
  GetLogFilePath(path);
  DWORD error = ERROR_SUCCESS;
  if (remove) {
    if (!DeleteFileW(path.c_str())) error = GetLastError();
  } else {
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || !SetEndOfFile(file.Get())) error = GetLastError();
  }
  switch (error) {
    // No file, or not even its folder: there is nothing to clear.
    case ERROR_SUCCESS:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      m_path->clear();
      return S_OK;
    // Held by a program that does not share it for writing or deleting.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      m_path->clear();
      return VOMBRA_E_FILE_ACCESS;
    default:
      ThrowOSException(error);
  }
}

// --- The add-in object's writers and the two log methods.

HRESULT CVombra::Log(UINT level, const wchar_t* source, UINT id, ...) {
  va_list args;
  va_start(args, id);
  HRESULT hr = LogV(level, source, id, args);
  va_end(args);
  return hr;
}

HRESULT CVombra::LogV(UINT level, const wchar_t* source, UINT id, va_list args) {
  return CAddinLog(&Lock, &LogLevel, &LogMaxSize, &LogPath).LogV(level, source, id, args);
}

void CVombra::LogPrintf(UINT level, const wchar_t* source, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  CAddinLog(&Lock, &LogLevel, &LogMaxSize, &LogPath).LogPrintfV(level, source, format, args);
  va_end(args);
}

HRESULT CVombra::LogText(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length) {
  return CAddinLog(&Lock, &LogLevel, &LogMaxSize, &LogPath).LogText(level, source, number, text, length);
}

bool CVombra::AddLog(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 4) return Refuse();
  SetBool(result, false);
  // The source may be left out; when it is given it must be a text, since it is read as one.
  static const VARIANT_TYPE kExpected[] = {VTYPE_I4, VTYPE_UI4, VTYPE_PWSTR, VTYPE_PWSTR};
  if (!CheckArgs(params, count, kExpected, 4, 0x4)) return true;
  const int32_t requested = params[0].lVal;
  const UINT level = requested >= 0 && requested <= 2 ? UINT(requested) : kLogInfo;
  const UINT number = params[1].ulVal;
  const std::wstring source = IsGiven(params[2]) ? TextByLength(params[2]) : std::wstring();
  const std::wstring text = TextByLength(params[3]);
  HRESULT hr = LogText(level, source.c_str(), number, text.c_str(), long(text.size()));
  SetError(hr, nullptr);
  SetBool(result, SUCCEEDED(hr));
  return true;
}

bool CVombra::ClearLog(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE kExpected[] = {VTYPE_BOOL};
  if (!CheckArgs(params, count, kExpected, 1)) return true;
  const bool remove = TruthOfFirstByte(params[0]);
  HRESULT hr = CAddinLog(&Lock, &LogLevel, &LogMaxSize, &LogPath).Clear(remove);
  if (FAILED(hr)) {
    SetError(hr, nullptr);
    return true;
  }
  SetBool(result, true);
  return true;
}
