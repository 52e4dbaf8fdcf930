// An append-only UTF-8 log that is read back by line number without scanning: it keeps, in memory, the
// file position after every line feed it has written. GUI thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class CLog {
 public:
  CLog() = default;
  virtual ~CLog();
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Creates the file empty (an old one of that name is truncated); others may read it while it is open.
  // A log already open is closed first. Throws CFileException naming the path.
  void Open(const wchar_t* path);
  void Close();
  bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }

  // Appends the text in UTF-8 with CR LF added unless it already ends with them; every LF in it ends one
  // indexed line. Throws CFileException naming the log; the index is then as it was before the call.
  void AppendLine(const wchar_t* text);
  // The line at `index` with its CR LF into `out`: 1, or 0 (out untouched) past the last line.
  size_t ReadLine(size_t index, std::wstring& out);

  // Truncates the file to nothing and empties the index. Throws CFileException naming the log; the index
  // is kept then.
  void Clear();

  size_t GetLineCount() const { return m_lineEnds.size(); }
  const std::wstring& GetPath() const { return m_path; }

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
  std::wstring m_path;
  std::vector<uint64_t> m_lineEnds;  // the position just after each line's LF
};
