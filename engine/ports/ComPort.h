// The serial port: overlapped Win32 I/O on a COM port, driven by the owner's events.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ComKeeper.h"
#include "Port.h"

// The system calls the serial port makes on its device. The port uses the system's own by default;
// tests put a device of their own underneath.
class CKdComIo {
 public:
  virtual ~CKdComIo() = default;
  // The process's instance that calls the system.
  static CKdComIo& System();

  // Opens path for overlapped I/O; INVALID_HANDLE_VALUE with the last error on failure.
  virtual HANDLE Open(const wchar_t* path);
  virtual void Close(HANDLE handle);
  virtual BOOL Read(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* ov);
  virtual BOOL Write(HANDLE handle, const void* data, DWORD size, OVERLAPPED* ov);
  virtual BOOL WaitEvent(HANDLE handle, DWORD* mask, OVERLAPPED* ov);
  // The outcome of an operation without waiting for it (ERROR_IO_INCOMPLETE while in flight).
  virtual BOOL Result(HANDLE handle, OVERLAPPED* ov, DWORD* bytes);
  virtual BOOL Cancel(HANDLE handle, OVERLAPPED* ov);
  virtual BOOL SetMask(HANDLE handle, DWORD mask);
  virtual BOOL GetState(HANDLE handle, DCB* dcb);
  virtual BOOL SetState(HANDLE handle, DCB* dcb);
  virtual BOOL Setup(HANDLE handle, DWORD inQueue, DWORD outQueue);
  virtual BOOL SetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
  virtual BOOL ClearError(HANDLE handle, DWORD* errors, COMSTAT* stat);
  virtual BOOL Purge(HANDLE handle, DWORD flags);
  virtual BOOL Escape(HANDLE handle, DWORD function);
};

// How long a close (or a purge) waits in all for the cancelled operations of the port to complete
// before it leaves them to the keeper.
constexpr DWORD kComCancelWait = 300;

class CKdComPort : public CKdPort {
 public:
  // io, when given, outlives the port.
  explicit CKdComPort(CKdComIo* io = nullptr);
  ~CKdComPort() override;

  void SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                 HANDLE rxEvent) override;
  HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) override;
  HRESULT Open(UINT timeout) override;
  HRESULT Close() override;
  bool IsOpen() override { return m_handle != INVALID_HANDLE_VALUE; }
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
  // Waits, until deadline, for the system to finish with ov; false when it is still in flight.
  static bool WaitForCompletion(OVERLAPPED& ov, DWORD start, DWORD limit);
  // Cancels what is in flight and waits, within kComCancelWait, for it to end; false when something
  // is still in flight.
  bool CancelPending();
  // Closes the handle; records an operation is still in flight on go to the keeper.
  void CloseHandleAndRecords(bool abandoned);
  void EventsToRecords();
  // A purge whose cancelled operation never completes: the port closes as disconnected.
  HRESULT GiveUpStuckPort();

  CKdComIo* m_io;
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  // The system writes into the records until each operation completes: they never move while one is
  // in flight, and a close that could not see them all complete gives them to the keeper.
  std::unique_ptr<CKdComRecords> m_records;
  std::string RxStore;
};
