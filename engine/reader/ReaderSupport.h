// Small helpers the reader wing's files share, one place per rule: the log level check, byte views of
// strings, text tests of the reader's lines, wide conversion and the thread loop's wait. Private to
// the wing: nothing outside engine/reader includes it.
#pragma once

#include <windows.h>

#include <algorithm>
#include <exception>
#include <string>

#include "Clock.h"
#include "KeyModel.h"
#include "TextReplies.h"

namespace reader_support {

// The add-in's log level, 0 without an add-in; a log line is only built when the level asks for it.
UINT LogLevel();

inline const BYTE* Bytes(const std::string& s) { return reinterpret_cast<const BYTE*>(s.data()); }

inline bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// ASCII letters only: the readers answer in ASCII, and the C locale must not decide.
std::string Lower(std::string text);

// Bytes from a reader as text (the ANSI code page, as the host shows them).
std::wstring Wide(const std::string& bytes);
// An exception's message as text for SetLastError and the error events.
std::wstring WideMessage(const std::exception& e);
// A key code as the log lines and events show it.
std::wstring KeyText(const _KEYNUM_INFO& key, UINT type);
// Bytes sent or received as a log line shows them: a hex dump, or escaped text for the text protocol.
std::wstring TrafficText(const BYTE* data, size_t n, bool binary);

// The tests of a reader's line (TextReplies.h).
using ::CutLineEnd;
using ::IsNoCard;
using ::LooksLikeKeyLine;

// Shortens the reader loop's next wait to t; never lengthens it.
inline void ShortenWait(UINT& wait, UINT t) { wait = std::min(wait, t); }

// A timer of the reader loop: true once period has passed since start; until then the wait is
// shortened to what is left, so the loop wakes when the timer runs out.
inline bool TimerDue(UINT& wait, DWORD start, UINT period, DWORD now) {
  if (TicksElapsed(start, now) >= period) return true;
  ShortenWait(wait, TimerRemaining(start, period, now));
  return false;
}

}  // namespace reader_support
