// The test log: one line per event or error the hosted add-in reported, written a batch at a time and
// read back one line at a time into an event record.
#pragma once

#include <cstdint>
#include <string>

#include "Log.h"

// One queued event of the add-in host and one line of the test log.
struct _TEST_EVENT_INFO {
  int32_t Time = 0;   // milliseconds since local midnight
  int32_t Kind = 0;   // 1 event (I), 2 warning (W), 3 error (E), -1 a line that did not parse, 0 unknown (?)
  std::wstring Source;
  std::wstring Message;
  std::wstring Data;
};

class CTestLog : public CLog {
 public:
  ~CTestLog() override = default;

  // The lines of `count` records (at least one) appended with one write:
  // "hh:mm:ss.mmm [K Source] Message | Data". Source, Message and Data are escaped (backslash, CR, LF), so
  // a multi-line error text stays one indexed line.
  void WriteEvents(const _TEST_EVENT_INFO* records, size_t count);
  // The record of line `index`: 1, or 0 (record untouched) past the last line. A line that does not parse
  // gives Kind -1, Time 0 and empty texts.
  size_t ReadEvent(size_t index, _TEST_EVENT_INFO& record);
};

// Backslash, CR and LF as \\, \r and \n.
void EscapeLogLineText(std::wstring& out, const std::wstring& text);
// The inverse: \\, \n and \r give their characters; a backslash before anything else drops both, a
// trailing one is dropped. length -1 reads up to the NUL.
void UnescapeLogText(std::wstring& out, const wchar_t* text, int64_t length = -1);
