#include "TestLog.h"

#include <cwchar>

#include "Core.h"

void EscapeLogLineText(std::wstring& out, const std::wstring& text) {
  out.clear();
  out.reserve(text.size());
  for (wchar_t c : text) {
    switch (c) {
      case L'\\':
        out += L"\\\\";
        break;
      case L'\n':
        out += L"\\n";
        break;
      case L'\r':
        out += L"\\r";
        break;
      default:
        out += c;
    }
  }
}

void UnescapeLogText(std::wstring& out, const wchar_t* text, int64_t length) {
  out.clear();
  if (!text) return;
  const size_t n = length < 0 ? wcslen(text) : size_t(length);
  for (size_t i = 0; i < n; ++i) {
    if (text[i] != L'\\') {
      out += text[i];
      continue;
    }
    if (++i == n) break;
    switch (text[i]) {
      case L'\\':
        out += L'\\';
        break;
      case L'n':
        out += L'\n';
        break;
      case L'r':
        out += L'\r';
        break;
      default:
        break;
    }
  }
}

void CTestLog::WriteEvents(const _TEST_EVENT_INFO* records, size_t count) {
  std::wstring text;
  std::wstring source;
  std::wstring message;
  std::wstring data;
  for (size_t i = 0; i < count; ++i) {
    const _TEST_EVENT_INFO& record = records[i];
    const wchar_t letter = record.Kind >= 0 && record.Kind <= 3 ? L"?IWE"[record.Kind] : L'?';
    EscapeLogLineText(source, record.Source);
    EscapeLogLineText(message, record.Message);
    EscapeLogLineText(data, record.Data);
    StrAppendFormat(text, L"%.2d:%.2d:%.2d.%.3d [%c %s] %s | %s\r\n", record.Time / 3600000 % 24,
                    record.Time / 60000 % 60, record.Time / 1000 % 60, record.Time % 1000, letter,
                    source.c_str(), message.c_str(), data.c_str());
  }
  AppendLine(text.c_str());
}

namespace {

std::wstring Trimmed(const std::wstring& text, size_t begin, size_t end) {
  while (begin < end && text[begin] == L' ') ++begin;
  while (end > begin && text[end - 1] == L' ') --end;
  return text.substr(begin, end - begin);
}

}  // namespace

size_t CTestLog::ReadEvent(size_t index, _TEST_EVENT_INFO& record) {
  std::wstring line;
  if (!ReadLine(index, line)) return 0;
  record.Time = 0;
  record.Kind = -1;
  record.Source.clear();
  record.Message.clear();
  record.Data.clear();

  const size_t lf = line.find(L'\n');
  if (lf != std::wstring::npos) line.resize(lf);
  if (!line.empty() && line.back() == L'\r') line.pop_back();

  if (line.size() <= 16) return 1;
  const size_t close = line.find(L']', 16);
  if (close == std::wstring::npos) return 1;

  int hour = 0, minute = 0, second = 0, millis = 0;
  wchar_t letter = 0;
  if (swscanf(line.c_str(), L"%d:%d:%d.%d [%lc", &hour, &minute, &second, &millis, &letter) != 5) return 1;
  record.Time = hour * 3600000 + minute * 60000 + second * 1000 + millis;
  switch (letter) {
    case L'I':
    case L'i':
      record.Kind = 1;
      break;
    case L'W':
    case L'w':
      record.Kind = 2;
      break;
    case L'E':
    case L'e':
      record.Kind = 3;
      break;
    default:
      break;
  }

  const size_t open = line.find(L'[');
  if (open < close) {
    size_t p = open + 1;
    while (p < close && line[p] == L' ') ++p;
    const size_t space = line.find(L' ', p + 1);
    if (space != std::wstring::npos && space < close) {
      UnescapeLogText(record.Source, line.c_str() + space + 1, int64_t(close - space - 1));
    }
  }

  const size_t bar = line.rfind(L'|');
  std::wstring message;
  if (bar == std::wstring::npos || bar < close) {
    message = Trimmed(line, close + 1, line.size());
  } else {
    const std::wstring data = Trimmed(line, bar + 1, line.size());
    UnescapeLogText(record.Data, data.c_str(), int64_t(data.size()));
    message = Trimmed(line, close + 1, bar);
  }
  UnescapeLogText(record.Message, message.c_str(), int64_t(message.size()));
  return 1;
}
