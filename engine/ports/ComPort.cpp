#include "ComPort.h"

#include <algorithm>

#include "Clock.h"
#include "Messages.h"

namespace {

constexpr DWORD kReadChunkSize = 1024;
constexpr DWORD kWriteReserve = 128;
constexpr DWORD kInQueue = 2048;
constexpr DWORD kOutQueue = 512;

DWORD CommMaskFor(BYTE eventChar) { return eventChar ? EV_RXFLAG : EV_RXCHAR; }

// Waits until the kernel has finished with an OVERLAPPED record (after a cancel it always does, and
// promptly). The record's event may also be signalled by an earlier completion, so the record's own
// status decides, not one wake of the event.
void WaitForCompletion(OVERLAPPED& ov) {
  while (!HasOverlappedIoCompleted(&ov)) {
    if (ov.hEvent) {
      WaitForSingleObject(ov.hEvent, 10);
    } else {
      Sleep(1);
    }
  }
}

}  // namespace

CKdComPort::CKdComPort() = default;

CKdComPort::~CKdComPort() { Close(); }

void CKdComPort::SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                           HANDLE rxEvent) {
  CKdPort::SetParams(name, stopEvent, writeEvent, readEvent, rxEvent);
  ReadChunk.resize(kReadChunkSize);
  WriteBuffer.reserve(kWriteReserve);
  m_writeOv.hEvent = WriteEvent;
  m_readOv.hEvent = ReadEvent;
  m_commOv.hEvent = RxEvent;
}

HRESULT CKdComPort::Open(UINT) {
  if (IsOpen()) return S_OK;
  std::wstring path = L"\\\\.\\" + Name;
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) {
      LogPort(kPortLogError, L"Port not exists");
      return VOMBRA_E_PORT_NOT_EXIST;
    }
    if (error == ERROR_ACCESS_DENIED) {
      LogPort(kPortLogError, L"Port is busy");
      return VOMBRA_E_PORT_BUSY;
    }
    LogPort(kPortLogError, L"Port opening error %d", int(error));
    return HRESULT_FROM_WIN32(error);
  }
  m_handle.Reset(handle);
  // A record keeps the status of its last operation; a new handle starts with none in flight.
  for (OVERLAPPED* ov : {&m_writeOv, &m_readOv, &m_commOv}) {
    HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
  }
  HRESULT hr = SetupLine();
  if (FAILED(hr)) {
    m_handle.Close();
    return hr;
  }
  // Arms the first comm-event wait.
  OnRxEvent();
  RxStore.clear();
  StateFlags = 0;
  LogPort(kPortLogInfo, L"Port is open");
  return S_OK;
}

HRESULT CKdComPort::SetupLine() {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (Baud == 0) {
    if (!GetCommState(m_handle.Get(), &dcb)) return PortErrorFromWin32(GetLastError());
    Baud = dcb.BaudRate;
  }
  dcb.BaudRate = Baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = StopBits;
  dcb.EvtChar = char(EventChar);
  dcb.fBinary = 1;
  // With a given speed every other field stays 0: no flow control, DTR and RTS off until asked.
  COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
  BOOL ok = SetupComm(m_handle.Get(), kInQueue, kOutQueue) && SetCommTimeouts(m_handle.Get(), &timeouts) &&
            SetCommState(m_handle.Get(), &dcb) && SetCommMask(m_handle.Get(), CommMaskFor(EventChar));
  if (!ok) {
    DWORD error = GetLastError();
    LogPort(kPortLogError, L"Port setup error %d", int(error));
    return PortErrorFromWin32(error);
  }
  return S_OK;
}

void CKdComPort::CancelPending() {
  // Ends a comm-event wait even where CancelIoEx would not reach it.
  SetCommMask(m_handle.Get(), 0);
  CancelIoEx(m_handle.Get(), nullptr);
  WaitForCompletion(m_readOv);
  WaitForCompletion(m_writeOv);
  WaitForCompletion(m_commOv);
}

HRESULT CKdComPort::Close() {
  if (!IsOpen()) return S_OK;
  CancelPending();
  m_handle.Close();
  StateFlags = 0;
  LogPort(kPortLogInfo, L"Port is closed");
  return S_OK;
}

HRESULT CKdComPort::SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) {
  if (!IsOpen()) return CKdPort::SetConfig(baud, stopBits, eventChar);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(m_handle.Get(), &dcb)) return PortErrorFromWin32(GetLastError());
  // Baud 0 keeps the speed the line has now.
  if (baud != 0) dcb.BaudRate = baud;
  dcb.StopBits = stopBits;
  dcb.EvtChar = char(eventChar);
  if (!SetCommState(m_handle.Get(), &dcb)) {
    DWORD error = GetLastError();
    LogPort(kPortLogError, L"SetCommState error %d", int(error));
    return PortErrorFromWin32(error);
  }
  Baud = dcb.BaudRate;
  StopBits = stopBits;
  EventChar = eventChar;
  if (!SetCommMask(m_handle.Get(), CommMaskFor(EventChar))) {
    DWORD error = GetLastError();
    LogPort(kPortLogError, L"SetCommMask error %d", int(error));
    return PortErrorFromWin32(error);
  }
  OnRxEvent();
  return S_OK;
}

HRESULT CKdComPort::GetRxCount(UINT* count) {
  if (!count) return E_POINTER;
  if (!IsOpen()) {
    *count = UINT(RxStore.size());
    return S_OK;
  }
  // Where a read stays pending until data arrives (Wine), received bytes sit in the finished read, not
  // in the driver's queue: take them in first, so that they are counted.
  if (StateFlags & PSF_READ_PENDING) {
    HRESULT hr = OnReadEvent();
    if (FAILED(hr)) return hr;
  }
  DWORD errors = 0;
  COMSTAT stat{};
  if (!ClearCommError(m_handle.Get(), &errors, &stat)) return PortErrorFromWin32(GetLastError());
  *count = UINT(RxStore.size() + stat.cbInQue);
  return S_OK;
}

HRESULT CKdComPort::Purge(bool rx, bool tx) {
  if (!IsOpen()) return S_OK;
  DWORD flags = (rx ? PURGE_RXABORT | PURGE_RXCLEAR : 0) | (tx ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
  if (!PurgeComm(m_handle.Get(), flags)) return PortErrorFromWin32(GetLastError());
  // Wine's purge leaves a pending read alone; it would later complete into ReadChunk with bytes from
  // before the purge. Cancel it (Windows has already done so) and wait until it has let go.
  if (rx) {
    if (!HasOverlappedIoCompleted(&m_readOv)) {
      CancelIoEx(m_handle.Get(), &m_readOv);
      WaitForCompletion(m_readOv);
    }
    StateFlags &= ~PSF_READ_PENDING;
    RxStore.clear();
  }
  if (tx) {
    if (!HasOverlappedIoCompleted(&m_writeOv)) {
      CancelIoEx(m_handle.Get(), &m_writeOv);
      WaitForCompletion(m_writeOv);
    }
    StateFlags &= ~PSF_WRITE_PENDING;
  }
  return S_OK;
}

HRESULT CKdComPort::SetDTR(bool on) {
  if (!EscapeCommFunction(m_handle.Get(), on ? SETDTR : CLRDTR)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

HRESULT CKdComPort::SetRTS(bool on) {
  if (!EscapeCommFunction(m_handle.Get(), on ? SETRTS : CLRRTS)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

HRESULT CKdComPort::OnReadEvent() {
  // Without a read in flight the record holds the result of one that already went its way (taken
  // at once by Read, or cancelled by Purge).
  if (!IsOpen() || !(StateFlags & PSF_READ_PENDING)) return S_OK;
  DWORD bytes = 0;
  if (GetOverlappedResult(m_handle.Get(), &m_readOv, &bytes, FALSE)) {
    StateFlags &= ~PSF_READ_PENDING;
    RxStore.append(ReadChunk.data(), bytes);
    return S_OK;
  }
  DWORD error = GetLastError();
  if (error == ERROR_IO_INCOMPLETE) return S_OK;
  StateFlags &= ~PSF_READ_PENDING;
  LogPort(kPortLogError, L"Read event error %d", int(error));
  return PortErrorFromWin32(error);
}

HRESULT CKdComPort::OnWriteEvent() {
  if (!IsOpen() || !(StateFlags & PSF_WRITE_PENDING)) return S_OK;
  DWORD bytes = 0;
  if (GetOverlappedResult(m_handle.Get(), &m_writeOv, &bytes, FALSE)) {
    StateFlags &= ~PSF_WRITE_PENDING;
    return S_OK;
  }
  DWORD error = GetLastError();
  if (error == ERROR_IO_INCOMPLETE) return S_OK;
  StateFlags &= ~PSF_WRITE_PENDING;
  LogPort(kPortLogError, L"Write event error %d", int(error));
  return PortErrorFromWin32(error);
}

HRESULT CKdComPort::OnRxEvent() {
  if (!IsOpen()) return S_OK;
  DWORD bytes = 0;
  if (GetOverlappedResult(m_handle.Get(), &m_commOv, &bytes, FALSE)) {
    ArmCommEvent();
    return S_OK;
  }
  DWORD error = GetLastError();
  switch (error) {
    case ERROR_IO_INCOMPLETE:
      return S_OK;
    // A changed mask ends the wait this way, and so does Wine on every byte of a pty: re-arm and let
    // the reads poll.
    case ERROR_OPERATION_ABORTED:
      ArmCommEvent();
      return S_OK;
    case ERROR_INVALID_PARAMETER:
      LogPort(kPortLogError, L"RX event error %d", int(error));
      return S_OK;
    default:
      LogPort(kPortLogError, L"RX event error %d", int(error));
      return HRESULT_FROM_WIN32(error);
  }
}

// A port that can no longer arm its wait is noticed by the next read or write, so the result is only
// logged.
void CKdComPort::ArmCommEvent() {
  CommEventMask = 0;
  if (WaitCommEvent(m_handle.Get(), &CommEventMask, &m_commOv)) {
    LogPort(kPortLogInfo, L"WaitCommEvent(0x%x)", unsigned(CommEventMask));
    return;
  }
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) LogPort(kPortLogError, L"WaitCommEvent error %d", int(error));
}

HRESULT CKdComPort::ReadAvailable() {
  for (;;) {
    DWORD bytes = 0;
    if (ReadFile(m_handle.Get(), &ReadChunk[0], kReadChunkSize, nullptr, &m_readOv)) {
      if (!GetOverlappedResult(m_handle.Get(), &m_readOv, &bytes, FALSE)) bytes = 0;
      if (bytes == 0) return S_OK;
      RxStore.append(ReadChunk.data(), bytes);
      continue;
    }
    DWORD error = GetLastError();
    if (error == ERROR_HANDLE_EOF) return S_OK;
    if (error == ERROR_IO_PENDING) {
      StateFlags |= PSF_READ_PENDING;
      return S_OK;
    }
    LogPort(kPortLogError, L"Read port error %d", int(error));
    return PortErrorFromWin32(error);
  }
}

void CKdComPort::MoveReceived(std::string* buffer, size_t target) {
  if (RxStore.empty() || buffer->size() >= target) return;
  size_t n = std::min(RxStore.size(), target - buffer->size());
  buffer->append(RxStore, 0, n);
  RxStore.erase(0, n);
}

HRESULT CKdComPort::Read(std::string* buffer, UINT size, UINT timeout) {
  if (!buffer) return E_POINTER;
  if (!IsOpen()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  const size_t target = buffer->size() + size;
  if (StateFlags & PSF_READ_PENDING) {
    HRESULT hr = OnReadEvent();
    if (FAILED(hr)) return hr;
  }
  HANDLE waits[3] = {ReadEvent, RxEvent, StopEvent};
  const DWORD waitCount = StopEvent ? 3 : 2;
  const DWORD start = Ticks();
  for (;;) {
    if (!(StateFlags & PSF_READ_PENDING)) {
      HRESULT hr = ReadAvailable();
      if (FAILED(hr)) return hr;
    }
    // Bytes already received are handed over even while a read is in flight: under Wine a read with
    // nothing queued stays pending, and waiting for it to finish would deliver nothing until more came.
    MoveReceived(buffer, target);
    if (buffer->size() >= target) return S_OK;
    DWORD elapsed = TicksElapsed(start, Ticks());
    if (elapsed >= timeout) return S_OK;
    DWORD slice = std::min<DWORD>(timeout - elapsed, RxPeriod);
    DWORD result = WaitForMultipleObjects(waitCount, waits, FALSE, slice);
    HRESULT hr = S_OK;
    switch (result) {
      case WAIT_OBJECT_0: hr = OnReadEvent(); break;
      case WAIT_OBJECT_0 + 1: hr = OnRxEvent(); break;
      case WAIT_OBJECT_0 + 2: return E_ABORT;
      case WAIT_TIMEOUT: break;
      default: return HRESULT_FROM_WIN32(GetLastError());
    }
    if (FAILED(hr)) return hr;
  }
}

HRESULT CKdComPort::WaitForWrite(DWORD start, UINT timeout, HANDLE* waits, DWORD waitCount) {
  while (StateFlags & PSF_WRITE_PENDING) {
    DWORD elapsed = TicksElapsed(start, Ticks());
    if (elapsed >= timeout) return VOMBRA_E_WRITE_TIMEOUT;
    DWORD result = WaitForMultipleObjects(waitCount, waits, FALSE, timeout - elapsed);
    switch (result) {
      case WAIT_OBJECT_0: {
        HRESULT hr = OnWriteEvent();
        if (FAILED(hr)) return hr;
        break;
      }
      case WAIT_OBJECT_0 + 1: return E_ABORT;
      case WAIT_TIMEOUT: break;
      default: return HRESULT_FROM_WIN32(GetLastError());
    }
  }
  return S_OK;
}

HRESULT CKdComPort::Write(const BYTE* data, UINT size, UINT timeout) {
  if (!IsOpen()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (size && !data) return E_POINTER;
  if (StateFlags & PSF_WRITE_PENDING) {
    HRESULT hr = OnWriteEvent();
    if (FAILED(hr)) return hr;
  }
  HANDLE waits[2] = {WriteEvent, StopEvent};
  const DWORD waitCount = StopEvent ? 2 : 1;
  const DWORD start = Ticks();
  // The buffer of the write in flight is in use: new data can go only once it has finished. Without
  // time to wait for that, the data is refused rather than silently dropped.
  if (StateFlags & PSF_WRITE_PENDING) {
    if (timeout == 0) return VOMBRA_E_WRITE_TIMEOUT;
    HRESULT hr = WaitForWrite(start, timeout, waits, waitCount);
    if (FAILED(hr)) return hr;
  }
  if (size == 0) return S_OK;
  WriteBuffer.assign(reinterpret_cast<const char*>(data), size);
  if (WriteFile(m_handle.Get(), WriteBuffer.data(), size, nullptr, &m_writeOv)) return S_OK;
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    LogPort(kPortLogError, L"Write port error %d", int(error));
    return PortErrorFromWin32(error);
  }
  StateFlags |= PSF_WRITE_PENDING;
  // With timeout 0 the owner sees WriteEvent later and calls OnWriteEvent.
  if (timeout == 0) return S_OK;
  return WaitForWrite(start, timeout, waits, waitCount);
}
