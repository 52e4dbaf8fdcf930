#include "ReaderEventsRecorder.h"

#include <chrono>

#include "Reader.h"

std::wstring HexOf(const _KEYNUM_INFO& key) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (int i = key.Length - 1; i >= 0; --i) {
    text += kDigits[key.Data[i] >> 4];
    text += kDigits[key.Data[i] & 0xF];
  }
  return text;
}

// Whether the calling thread holds the reader's lock right now.
static bool HoldsLock(CReader* reader) {
  return reader->Lock.RecursionCount > 0 &&
         reader->Lock.OwningThread == reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

void CReaderEventsRecorder::Add(CReader* reader, ReaderEventRecord record) {
  record.Address = reader->Address;
  const bool underLock = HoldsLock(reader);
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (underLock) ++m_underLock;
    m_events.push_back(std::move(record));
  }
  m_changed.notify_all();
}

void CReaderEventsRecorder::OnNumberTransfer(CReader* reader, INT64 index) {
  ReaderEventRecord record;
  record.Kind = "number";
  record.Index = index;
  {
    // As the add-in does: the text is read from the reader under its lock.
    EnterCriticalSection(&reader->Lock);
    if (reader->Address != -1) {
      // Behind a converter the key is the address record's.
      auto entry = reader->AddressMap.find(reader->Address);
      if (index == 0 && entry != reader->AddressMap.end()) record.Text = entry->second.Text;
    } else if (index >= 0 && size_t(index) < reader->Keys.size()) {
      record.Text = reader->Keys[size_t(index)].Text;
    }
    LeaveCriticalSection(&reader->Lock);
  }
  Add(reader, record);
}

void CReaderEventsRecorder::OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) {
  ReaderEventRecord record;
  record.Kind = "numberError";
  record.Index = index;
  record.Code = code;
  record.Text = text ? text : L"";
  Add(reader, record);
}

void CReaderEventsRecorder::OnKeyFound(CReader* reader, INT64 index) {
  ReaderEventRecord record;
  record.Kind = "found";
  record.Index = index;
  EnterCriticalSection(&reader->Lock);
  if (reader->Address != -1) {
    auto entry = reader->AddressMap.find(reader->Address);
    if (index == 0 && entry != reader->AddressMap.end()) {
      record.KeyType = entry->second.KeyType;
      record.Uid = HexOf(entry->second.Key);
    }
  } else if (index >= 0 && size_t(index) < reader->Keys.size()) {
    record.KeyType = reader->Keys[size_t(index)].KeyType;
    record.Uid = HexOf(reader->Keys[size_t(index)].Uid);
  }
  LeaveCriticalSection(&reader->Lock);
  Add(reader, record);
}

void CReaderEventsRecorder::OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid,
                                      const _KEYNUM_INFO* number, const wchar_t* text) {
  ReaderEventRecord record;
  record.Kind = "lost";
  record.KeyType = keyType;
  record.Uid = HexOf(*uid);
  record.Number = HexOf(*number);
  record.Text = text ? text : L"";
  Add(reader, record);
}

void CReaderEventsRecorder::OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) {
  ReaderEventRecord record;
  record.Kind = "error";
  record.Code = code;
  record.Text = text ? text : L"";
  Add(reader, record);
}

void CReaderEventsRecorder::OnReaderConnect(CReader* reader) {
  ReaderEventRecord record;
  record.Kind = "connect";
  Add(reader, record);
}

void CReaderEventsRecorder::OnReaderDisconnect(CReader* reader) {
  ReaderEventRecord record;
  record.Kind = "disconnect";
  Add(reader, record);
}

void CReaderEventsRecorder::OnCommandDone(CReader* reader) {
  ReaderEventRecord record;
  record.Kind = "command";
  record.Code = reader->CommandStatus;
  Add(reader, record);
}

void CReaderEventsRecorder::OnTemicScanCycle(CReader* reader) {
  ReaderEventRecord record;
  record.Kind = "temic";
  Add(reader, record);
}

std::vector<ReaderEventRecord> CReaderEventsRecorder::Events() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_events;
}

std::vector<std::string> CReaderEventsRecorder::Kinds() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  std::vector<std::string> kinds;
  for (const auto& e : m_events) kinds.push_back(e.Kind);
  return kinds;
}

size_t CReaderEventsRecorder::Count(const std::string& kind) const {
  std::lock_guard<std::mutex> hold(m_mutex);
  size_t n = 0;
  for (const auto& e : m_events) n += e.Kind == kind;
  return n;
}

void CReaderEventsRecorder::Clear() {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_events.clear();
}

bool CReaderEventsRecorder::WaitFor(const std::string& kind, size_t count, DWORD timeout) {
  std::unique_lock<std::mutex> hold(m_mutex);
  return m_changed.wait_for(hold, std::chrono::milliseconds(timeout), [&] {
    size_t n = 0;
    for (const auto& e : m_events) n += e.Kind == kind;
    return n >= count;
  });
}
