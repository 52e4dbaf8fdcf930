// The serial port: overlapped Win32 I/O on a COM port, driven by the owner's events.
#pragma once

#include <windows.h>

#include <string>

#include "Handles.h"
#include "Port.h"

class CKdComPort : public CKdPort {
 public:
  CKdComPort();
  ~CKdComPort() override;

  void SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                 HANDLE rxEvent) override;
  HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) override;
  HRESULT Open(UINT timeout) override;
  HRESULT Close() override;
  bool IsOpen() override { return m_handle.Valid(); }
  HRESULT GetRxCount(UINT* count) override;
  HRESULT Read(std::string* buffer, UINT size, UINT timeout) override;
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override;
  HRESULT Purge(bool rx, bool tx) override;
  HRESULT SetDTR(bool on) override;
  HRESULT SetRTS(bool on) override;
  HRESULT OnReadEvent() override;
  HRESULT OnWriteEvent() override;
  HRESULT OnRxEvent() override;

 private:
  HRESULT SetupLine();
  void ArmCommEvent();
  HRESULT ReadAvailable();
  void MoveReceived(std::string* buffer, size_t target);
  HRESULT WaitForWrite(DWORD start, UINT timeout, HANDLE* waits, DWORD waitCount);
  void CancelPending();

  CFileHandle m_handle;
  DWORD CommEventMask = 0;
  // The kernel writes into these records, ReadChunk and WriteBuffer until the operation completes,
  // so none of them may move or go while an operation is in flight (Close cancels and waits first).
  OVERLAPPED m_writeOv{};
  OVERLAPPED m_readOv{};
  OVERLAPPED m_commOv{};
  std::string ReadChunk;
  std::string WriteBuffer;
  std::string RxStore;
};
