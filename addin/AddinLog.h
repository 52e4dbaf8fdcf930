// The add-in log file: Vombra.log in the user's roaming application data, one line per entry in the
// ANSI code page, each ended by CR LF. The file is opened, locked, written and closed for every line,
// so that other programs (and other add-in objects, in this or another process) may read, copy,
// delete or append to it at any time.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

// The level of a line, shown as its letter I, W or E.
constexpr UINT kLogInfo = 0;
constexpr UINT kLogWarning = 1;
constexpr UINT kLogError = 2;

// The number the header line carries (a string-table line otherwise carries its id minus 1000).
constexpr UINT kLogHeaderNumber = 1001;
// LogMaxSize meaning "never start the file anew".
constexpr UINT kLogNoSizeLimit = 0xFFFFFFFF;
// A line's text and source are cut to these lengths (characters), whatever the writer was given.
constexpr size_t kLogMaxTextChars = 1023;
constexpr size_t kLogMaxSourceChars = 256;

// The folder the log file lies in. Empty (always, in the product) means the user's roaming
// application-data folder followed by "\Tarvelon\Vombra\". Tests point it at a folder of their own,
// so that no test writes into the user's real log; they set it before any writer runs.
extern std::wstring g_logFolder;

// The full path of Vombra.log. Without an application-data folder the path starts at the current
// drive's root ("\Tarvelon\Vombra\Vombra.log").
void GetLogFilePath(std::wstring& path);

// "hh:mm:ss.mmm [L#####[ source]] text", without the line end. A null source leaves out the blank
// and the source; an empty one keeps the blank. length -1 = the text up to its NUL.
void FormatLogLine(std::wstring& line, const SYSTEMTIME& time, UINT level, const wchar_t* source, UINT number,
                   const wchar_t* text, long length);

// The writers over the add-in object's log members. The object keeps the state (the add-in lock,
// LogLevel, LogMaxSize in megabytes, LogPath); this class only borrows it, so it costs nothing to
// make one for each line. The lock is the add-in lock: every line, the opening of the log and the
// clearing of it happen under it; LogLevel and LogMaxSize are read under it too.
class CAddinLog {
 public:
  CAddinLog(CRITICAL_SECTION* lock, const UINT* logLevel, const UINT* logMaxSize, std::wstring* logPath)
      : m_lock(lock), m_level(logLevel), m_maxSize(logMaxSize), m_path(logPath) {}

  // A string-table message, number id - 1000; opens the log first when it is not open.
  HRESULT LogV(UINT level, const wchar_t* source, UINT id, va_list args);
  // A printf-formatted free text, number 0.
  HRESULT LogPrintfV(UINT level, const wchar_t* source, const wchar_t* format, va_list args);
  // A given text and number.
  HRESULT LogText(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length);

  // Sets LogPath and writes the header. E_ABORT when LogLevel is 0.
  HRESULT OpenLog();
  // One line appended to LogPath, rotating the file to ".old" first when it outgrew LogMaxSize.
  HRESULT WriteLog(UINT level, const wchar_t* source, UINT number, const wchar_t* text, long length);

  // Empties (remove false) or deletes (remove true) the log file and forgets LogPath, so that the next
  // line writes a new header. S_OK also when there was no file; 0x80040205 when the file is held by
  // someone who refuses it. Any other failure throws COSException.
  HRESULT Clear(bool remove);

 private:
  HRESULT LogLine(UINT level, const wchar_t* source, UINT number, const std::wstring& text);

  CRITICAL_SECTION* m_lock;
  const UINT* m_level;
  const UINT* m_maxSize;
  std::wstring* m_path;
};
