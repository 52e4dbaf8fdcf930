// Winsock 2 before windows.h.
#include <winsock2.h>

#include "FakeContext.h"

#include "Core.h"
#include "Exceptions.h"
#include "Messages.h"
#include "Thread.h"

CFakeContext::CFakeContext() { InitializeCriticalSection(&m_lock); }

CFakeContext::~CFakeContext() {
  if (m_winsock) WSACleanup();
  DeleteCriticalSection(&m_lock);
}

HRESULT CFakeContext::Log(UINT level, const wchar_t* source, UINT id, ...) {
  va_list args;
  va_start(args, id);
  HRESULT hr = LogV(level, source, id, args);
  va_end(args);
  return hr;
}

HRESULT CFakeContext::LogV(UINT level, const wchar_t* source, UINT id, va_list args) {
  std::wstring format;
  LoadStr(id, format);
  std::wstring text;
  StrFormatV(text, format.c_str(), args);
  Record(level, source, id - 1000, std::move(text));
  return S_OK;
}

void CFakeContext::LogPrintf(UINT level, const wchar_t* source, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text;
  StrFormatV(text, format, args);
  va_end(args);
  Record(level, source, 0, std::move(text));
}

void CFakeContext::StartupWinsock() {
  CCriticalSectionLock hold(&m_lock);
  if (m_winsock) return;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) ThrowComException(VOMBRA_E_WINSOCK_STARTUP);
  m_winsock = true;
}

int CFakeContext::GetFormatIndex(UINT id) {
  for (size_t i = 0; i < Formats.size(); ++i) {
    if (Formats[i].Id == id) return int(i);
  }
  return -1;
}

void CFakeContext::Record(UINT level, const wchar_t* source, UINT number, std::wstring text) {
  std::lock_guard<std::mutex> hold(m_logMutex);
  m_lines.push_back(FakeLogLine{level, source ? source : L"", number, std::move(text)});
}

std::vector<FakeLogLine> CFakeContext::LogLines() const {
  std::lock_guard<std::mutex> hold(m_logMutex);
  return m_lines;
}

std::vector<std::wstring> CFakeContext::LogTexts(const std::wstring& source) const {
  std::lock_guard<std::mutex> hold(m_logMutex);
  std::vector<std::wstring> texts;
  for (const FakeLogLine& line : m_lines) {
    if (line.Source == source) texts.push_back(line.Text);
  }
  return texts;
}

void CFakeContext::ClearLog() {
  std::lock_guard<std::mutex> hold(m_logMutex);
  m_lines.clear();
}
