// Test support: an IReaderEvents that records every call, in order, with what the add-in would read
// from the reader at that moment (the number text of a key, the converter address being served).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "KeyModel.h"
#include "ReaderEvents.h"

struct ReaderEventRecord {
  std::string Kind;  // "found", "number", "numberError", "lost", "error", "connect", "disconnect", "command", "temic"
  INT64 Index = -1;
  HRESULT Code = 0;
  std::wstring Text;  // the key's number text, the error text or the lost key's last text
  UINT KeyType = 0;
  std::wstring Uid;     // the lost key's UID as hex (most significant byte first)
  std::wstring Number;  // the lost key's number as hex
  int Address = -1;
};

class CReaderEventsRecorder : public IReaderEvents {
 public:
  void OnNumberTransfer(CReader* reader, INT64 index) override;
  void OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) override;
  void OnKeyFound(CReader* reader, INT64 index) override;
  void OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid, const _KEYNUM_INFO* number,
                 const wchar_t* text) override;
  void OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) override;
  void OnReaderConnect(CReader* reader) override;
  void OnReaderDisconnect(CReader* reader) override;
  void OnCommandDone(CReader* reader) override;
  void OnTemicScanCycle(CReader* reader) override;

  std::vector<ReaderEventRecord> Events() const;
  std::vector<std::string> Kinds() const;
  size_t Count(const std::string& kind) const;
  void Clear();
  // Calls made while the calling thread held the reader's lock (the add-in would deadlock on them).
  int CallsUnderLock() const { return m_underLock; }
  // Waits (real time) until count events of that kind have been recorded.
  bool WaitFor(const std::string& kind, size_t count, DWORD timeout);

 private:
  void Add(CReader* reader, ReaderEventRecord record);

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<ReaderEventRecord> m_events;
  int m_underLock = 0;
};

// A key number as hex text, most significant byte first (independent of the engine's own text).
std::wstring HexOf(const _KEYNUM_INFO& key);
