// Files: the file exception with its translated text, a thin file object over a Win32 handle,
// whole-file UTF-8 reading and writing, and small path helpers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Exceptions.h"
#include "Handles.h"  // CModule: one loaded module
#include "Object.h"

// Causes of a CFileException; the text of cause n is string IDS_FILE_CAUSE_BASE + n.
enum {
  CAUSE_NONE = 0,
  CAUSE_GENERIC = 1,
  CAUSE_NOT_FOUND = 2,
  CAUSE_BAD_PATH = 3,
  CAUSE_TOO_MANY_OPEN = 4,
  CAUSE_ACCESS_DENIED = 5,
  CAUSE_BAD_HANDLE = 6,
  CAUSE_CURRENT_DIR = 7,
  CAUSE_DIR_FULL = 8,
  CAUSE_BAD_SEEK = 9,
  CAUSE_HARDWARE = 10,
  CAUSE_SHARING = 11,
  CAUSE_LOCKING = 12,
  CAUSE_DISK_FULL = 13,
  CAUSE_PAST_END = 14,
};

// Open-mode bits of CFile::Open. Access in bits 0-1, sharing in bits 4-6.
enum : UINT {
  CFILE_READ = 0x0,
  CFILE_WRITE = 0x1,
  CFILE_READWRITE = 0x2,
  CFILE_SHARE_EXCLUSIVE = 0x10,
  CFILE_SHARE_DENY_WRITE = 0x20,
  CFILE_SHARE_DENY_READ = 0x30,
  CFILE_SHARE_DENY_NONE = 0x40,
  CFILE_NO_INHERIT = 0x80,
  CFILE_CREATE = 0x1000,
  CFILE_NO_TRUNCATE = 0x2000,
  CFILE_BINARY = 0x8000,
  CFILE_NO_BUFFERING = 0x10000,
  CFILE_WRITE_THROUGH = 0x20000,
  CFILE_RANDOM_ACCESS = 0x40000,
  CFILE_SEQUENTIAL_SCAN = 0x80000,
};

// A failed file operation. The message is made when the exception is made, in the thread's language
// of that moment, so what() allocates nothing; it names the file but not the OS error.
class CFileException : public CException {
 public:
  CFileException() : CFileException(CAUSE_NONE, -1, nullptr) {}
  // fileName may be null; osError is -1 when no Win32 error applies.
  CFileException(int cause, int osError, const wchar_t* fileName);

  // The cause of a Win32 error: 0 for 0, CAUSE_GENERIC for any error not in the table.
  static int ErrorToCause(DWORD error);

  int Cause() const { return m_cause; }
  int OsError() const { return m_osError; }
  const std::wstring& FileName() const { return m_fileName; }

 private:
  int m_cause;
  std::wstring m_fileName;
  int m_osError;
};

[[noreturn]] void ThrowFileException(int cause, int osError, const wchar_t* fileName);
// Throws the cause ErrorToCause gives for error, with the error and the name.
[[noreturn]] void ThrowFileOsError(DWORD error, const wchar_t* fileName);

// A required resource (a device context, a resource item) was not there. Text: string 164.
class CResourceException : public CException {
 public:
  CResourceException();
};

[[noreturn]] void ThrowResourceException();

// A file opened through CreateFileW. Every failing call but Open throws CFileException with the
// file's path; Open reports through its out-parameter instead.
class CFile : public CObject {
 public:
  CFile() = default;
  ~CFile() override;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Closes a file still open, then opens name with the CFILE_* mode bits. False on failure, with
  // error (when given) filled with the cause, the OS error and the name as passed. Names of
  // MAX_PATH characters or more fail with CAUSE_BAD_PATH before the disk is touched.
  virtual bool Open(const wchar_t* name, UINT mode, CFileException* error);
  virtual void Close();
  // The full path of the open file; empty when closed.
  virtual const std::wstring& GetFilePath() const;
  virtual void SetFilePath(const wchar_t* path);
  virtual uint64_t GetPosition() const;
  virtual uint64_t GetLength() const;
  virtual void SetLength(uint64_t length);
  // origin: FILE_BEGIN, FILE_CURRENT or FILE_END. Returns the new position.
  virtual uint64_t Seek(int64_t offset, UINT origin);
  virtual UINT Read(void* buffer, UINT count);
  // A short write throws CAUSE_DISK_FULL with OS error -1.
  virtual void Write(const void* buffer, UINT count);
  virtual void LockRange(uint64_t position, uint64_t count);
  virtual void UnlockRange(uint64_t position, uint64_t count);
  virtual void Flush();

  HANDLE GetHandle() const { return m_file; }
  bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::wstring m_path;
};

// One FindFirstFileW search; the destructor closes it.
class CFindFile : public CObject {
 public:
  CFindFile() = default;
  ~CFindFile() override;
  CFindFile(const CFindFile&) = delete;
  CFindFile& operator=(const CFindFile&) = delete;

  // Starts a new search (closing one held); false when nothing matches or the search fails.
  bool FindFirst(const wchar_t* pattern, WIN32_FIND_DATAW* data);
  bool FindNext(WIN32_FIND_DATAW* data);
  void Close();
  HANDLE GetHandle() const { return m_find.Get(); }

 private:
  CFindHandle m_find;
};

// The full path of name in out (MAX_PATH characters), upper-cased on a volume that does not preserve
// case and with the name's stored form on one that does not store Unicode. False with error filled
// on failure.
bool GetFullFilePath(wchar_t* out, const wchar_t* name, CFileException* error);

// The whole file as text: a UTF-8 byte-order mark is dropped, the rest converted from UTF-8.
void ReadUtf8File(const wchar_t* path, std::wstring& out);
// Replaces the file with the text in UTF-8 behind a byte-order mark (an empty text gives an empty
// file). The text goes to a temporary file beside the target first, which replaces the target only
// once it is written whole and flushed: a failure leaves the target as it was, removes the
// temporary and throws CFileException naming the target.
void WriteUtf8File(const wchar_t* path, const wchar_t* text, size_t length);

// The user's roaming application-data folder; empty when the shell cannot tell.
void GetAppDataFolder(std::wstring& out);
// The last component's extension from its '.', or the terminating NUL when it has none.
const wchar_t* GetFileExtension(const wchar_t* path);
// The path registered for regjump.exe under App Paths (machine, then user); false with the last
// error set when none is found.
bool FindRegJumpAppPath(std::wstring& out);

// The WriteFile that CFile::Write and WriteUtf8File call. Only tests replace it, to produce short
// and failed writes on a real disk.
typedef BOOL(WINAPI* PFN_WRITE_FILE)(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                     LPOVERLAPPED overlapped);
extern PFN_WRITE_FILE g_pfnWriteFile;
