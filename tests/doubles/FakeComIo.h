// Test double: a serial device under CKdComPort whose driver the test controls. Every read, write and
// comm-event wait stays in flight until the test (or the cancel, as the test chose) completes it; a
// completion writes into the operation's record and buffer as the system would, however late.
#pragma once

#include <windows.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "ComPort.h"

class CFakeComIo : public CKdComIo {
 public:
  enum class CancelMode {
    AtOnce,  // a cancel ends the operation before it returns, as a sound driver does
    Late,    // a cancel ends it LateDelay ms later, from another thread
    Never,   // a cancel does nothing; only the test's CompleteAll ends it
    OnClose  // a cancel does nothing, closing the handle ends it
  };
  struct Op {
    OVERLAPPED* Ov;
    void* Buffer;
    DWORD Size;
    bool Read;  // the system writes into Buffer
  };

  explicit CFakeComIo(CancelMode mode, DWORD lateDelay = 0) : m_mode(mode), m_lateDelay(lateDelay) {}
  ~CFakeComIo() override {
    for (std::thread& thread : m_threads) thread.join();
  }

  HANDLE Open(const wchar_t*) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_opens;
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void Close(HANDLE handle) override {
    CloseHandle(handle);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closes;
    if (m_mode == CancelMode::OnClose) CompleteLocked(ERROR_OPERATION_ABORTED);
  }
  BOOL Read(HANDLE, void* buffer, DWORD size, OVERLAPPED* ov) override { return Pend(ov, buffer, size, true); }
  BOOL Write(HANDLE, const void* data, DWORD size, OVERLAPPED* ov) override {
    return Pend(ov, const_cast<void*>(data), size, false);
  }
  BOOL WaitEvent(HANDLE, DWORD* mask, OVERLAPPED* ov) override { return Pend(ov, mask, sizeof(DWORD), true); }
  BOOL Result(HANDLE, OVERLAPPED* ov, DWORD* bytes) override {
    const DWORD status = DWORD(ov->Internal);
    if (status == DWORD(STATUS_PENDING)) return Fail(ERROR_IO_INCOMPLETE);
    if (status != 0) return Fail(status);
    *bytes = DWORD(ov->InternalHigh);
    return TRUE;
  }
  BOOL Cancel(HANDLE, OVERLAPPED*) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_cancels;
    if (m_mode == CancelMode::AtOnce) CompleteLocked(ERROR_OPERATION_ABORTED);
    if (m_mode == CancelMode::Late) {
      m_threads.emplace_back([this] {
        Sleep(m_lateDelay);
        std::lock_guard<std::mutex> late(m_mutex);
        CompleteLocked(ERROR_OPERATION_ABORTED);
      });
    }
    return TRUE;
  }
  BOOL SetMask(HANDLE, DWORD) override { return TRUE; }
  BOOL GetState(HANDLE, DCB* dcb) override {
    dcb->BaudRate = 9600;
    return TRUE;
  }
  BOOL SetState(HANDLE, DCB*) override { return TRUE; }
  BOOL Setup(HANDLE, DWORD, DWORD) override { return TRUE; }
  BOOL SetTimeouts(HANDLE, COMMTIMEOUTS*) override { return TRUE; }
  BOOL ClearError(HANDLE, DWORD* errors, COMSTAT* stat) override {
    *errors = 0;
    *stat = COMSTAT{};
    return TRUE;
  }
  BOOL Purge(HANDLE, DWORD) override { return TRUE; }
  BOOL Escape(HANDLE, DWORD) override { return TRUE; }

  // Completes every operation still in flight with success, filling the buffers of reads with 0xA5,
  // as a driver that wakes up long after everyone gave up. Before it writes it notes whether each
  // record and buffer is one the keeper holds.
  void CompleteAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Op& op : m_pending) {
      m_allKept = m_allKept && CKdComKeeper::Instance().Holds(op.Ov) && CKdComKeeper::Instance().Holds(op.Buffer);
    }
    CompleteLocked(0);
  }
  // Whether every record CompleteAll wrote into was the keeper's at that moment.
  bool AllWritesWentToKeptRecords() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_allKept;
  }
  // How many of the operations in flight have their record and buffer with the keeper.
  size_t PendingKept() {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t kept = 0;
    for (const Op& op : m_pending) {
      if (CKdComKeeper::Instance().Holds(op.Ov) && CKdComKeeper::Instance().Holds(op.Buffer)) ++kept;
    }
    return kept;
  }
  size_t Pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.size();
  }
  int Cancels() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cancels;
  }
  int Opens() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
  }
  int Closes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closes;
  }

 private:
  static BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
  }
  BOOL Pend(OVERLAPPED* ov, void* buffer, DWORD size, bool read) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    m_pending.push_back(Op{ov, buffer, size, read});
    return Fail(ERROR_IO_PENDING);
  }
  void CompleteLocked(DWORD error) {
    for (const Op& op : m_pending) {
      if (error == 0 && op.Read) std::memset(op.Buffer, 0xA5, op.Size);
      op.Ov->InternalHigh = error == 0 ? op.Size : 0;
      op.Ov->Internal = error;
      if (op.Ov->hEvent) SetEvent(op.Ov->hEvent);
    }
    m_pending.clear();
  }

  std::mutex m_mutex;
  CancelMode m_mode;
  DWORD m_lateDelay;
  std::vector<Op> m_pending;
  std::vector<std::thread> m_threads;
  bool m_allKept = true;
  int m_cancels = 0;
  int m_opens = 0;
  int m_closes = 0;
};
