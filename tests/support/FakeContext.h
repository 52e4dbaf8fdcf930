// Test support: the add-in object as the engine sees it (IVombraContext), without the add-in. It
// keeps the key-reading settings and format lists a test gives it, starts Winsock, and records every
// log line instead of writing a file. Install it with ScopedContext for the length of a test.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "VombraContext.h"

struct FakeLogLine {
  UINT Level;
  std::wstring Source;
  UINT Number;  // string-table id - 1000; 0 for a free text
  std::wstring Text;
};

class CFakeContext : public IVombraContext {
 public:
  CFakeContext();
  ~CFakeContext();
  CFakeContext(const CFakeContext&) = delete;
  CFakeContext& operator=(const CFakeContext&) = delete;

  CRITICAL_SECTION* GetLock() override { return &m_lock; }
  UINT GetLogLevel() const override { return LogLevel; }
  HRESULT Log(UINT level, const wchar_t* source, UINT id, ...) override;
  HRESULT LogV(UINT level, const wchar_t* source, UINT id, va_list args) override;
  void LogPrintf(UINT level, const wchar_t* source, const wchar_t* format, ...) override;
  void StartupWinsock() override;
  UINT GetKeyTypes() const override { return KeyTypes; }
  UINT GetIdentKeyDelay() const override { return IdentKeyDelay; }
  UINT GetDelayKeyTypes() const override { return DelayKeyTypes; }
  const _MIFAREREAD_INFO& GetMifareC() const override { return MifareC; }
  const _MIFAREREAD_INFO& GetMifareP() const override { return MifareP; }
  const _ULREAD_INFO& GetMifareUL() const override { return MifareUL; }
  const _TEMICREAD_INFO& GetTemic() const override { return Temic; }
  const std::vector<_KEYFILTER_INFO>& GetKeyFilters() const override { return KeyFilters; }
  const std::vector<_FORMAT_INFO>& GetFormats() const override { return Formats; }
  UINT GetDefaultFormatId() const override { return DefaultFormatId; }
  int GetFormatIndex(UINT id) override;
  CCcidConnection* GetWatcher() override { return Watcher; }

  // A copy of the lines logged so far (any thread may be logging meanwhile).
  std::vector<FakeLogLine> LogLines() const;
  // The texts of the lines logged with that source, in order.
  std::vector<std::wstring> LogTexts(const std::wstring& source) const;
  void ClearLog();

  // Set by the test before the code under test runs.
  UINT LogLevel = 6;
  UINT KeyTypes = KEY_TYPES_ALL;
  UINT IdentKeyDelay = 1000;
  UINT DelayKeyTypes = 0;
  _MIFAREREAD_INFO MifareC;
  _MIFAREREAD_INFO MifareP;
  _ULREAD_INFO MifareUL;
  _TEMICREAD_INFO Temic;
  std::vector<_KEYFILTER_INFO> KeyFilters;
  std::vector<_FORMAT_INFO> Formats;
  UINT DefaultFormatId = 0;
  CCcidConnection* Watcher = nullptr;

 private:
  void Record(UINT level, const wchar_t* source, UINT number, std::wstring text);

  CRITICAL_SECTION m_lock;
  mutable std::mutex m_logMutex;
  std::vector<FakeLogLine> m_lines;
  bool m_winsock = false;
};

// Points g_pVombra at a context for a scope and restores the previous one.
class ScopedContext {
 public:
  explicit ScopedContext(IVombraContext* context) : m_previous(g_pVombra) { g_pVombra = context; }
  ~ScopedContext() { g_pVombra = m_previous; }
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;

 private:
  IVombraContext* m_previous;
};
