#include "ComPort.h"

#include <algorithm>

#include "Clock.h"
#include "Messages.h"

namespace {

constexpr DWORD kWriteReserve = 128;
constexpr DWORD kInQueue = 2048;
constexpr DWORD kOutQueue = 512;

DWORD CommMaskFor(BYTE eventChar) { return eventChar ? EV_RXFLAG : EV_RXCHAR; }

}  // namespace

CKdComIo& CKdComIo::System() {
  static CKdComIo io;
  return io;
}

HANDLE CKdComIo::Open(const wchar_t* path) {
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}
void CKdComIo::Close(HANDLE handle) { CloseHandle(handle); }
BOOL CKdComIo::Read(HANDLE handle, void* buffer, DWORD size, OVERLAPPED* ov) {
  return ReadFile(handle, buffer, size, nullptr, ov);
}
BOOL CKdComIo::Write(HANDLE handle, const void* data, DWORD size, OVERLAPPED* ov) {
  return WriteFile(handle, data, size, nullptr, ov);
}
BOOL CKdComIo::WaitEvent(HANDLE handle, DWORD* mask, OVERLAPPED* ov) { return WaitCommEvent(handle, mask, ov); }
BOOL CKdComIo::Result(HANDLE handle, OVERLAPPED* ov, DWORD* bytes) {
  return GetOverlappedResult(handle, ov, bytes, FALSE);
}
BOOL CKdComIo::Cancel(HANDLE handle, OVERLAPPED* ov) { return CancelIoEx(handle, ov); }
BOOL CKdComIo::SetMask(HANDLE handle, DWORD mask) { return SetCommMask(handle, mask); }
BOOL CKdComIo::GetState(HANDLE handle, DCB* dcb) { return GetCommState(handle, dcb); }
BOOL CKdComIo::SetState(HANDLE handle, DCB* dcb) { return SetCommState(handle, dcb); }
BOOL CKdComIo::Setup(HANDLE handle, DWORD inQueue, DWORD outQueue) { return SetupComm(handle, inQueue, outQueue); }
BOOL CKdComIo::SetTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) { return SetCommTimeouts(handle, timeouts); }
BOOL CKdComIo::ClearError(HANDLE handle, DWORD* errors, COMSTAT* stat) { return ClearCommError(handle, errors, stat); }
BOOL CKdComIo::Purge(HANDLE handle, DWORD flags) { return PurgeComm(handle, flags); }
BOOL CKdComIo::Escape(HANDLE handle, DWORD function) { return EscapeCommFunction(handle, function); }

// The bound of a wait for the system to let go of a record is real time, whatever clock the port's
// time-outs follow.
bool CKdComPort::WaitForCompletion(OVERLAPPED& ov, DWORD start, DWORD limit) {
  // The record's event may also be signalled by an earlier completion, so the record's own status
  // decides, not one wake of the event.
  while (!HasOverlappedIoCompleted(&ov)) {
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limit) return false;
    const DWORD slice = std::min<DWORD>(10, limit - elapsed);
    if (ov.hEvent) {
      WaitForSingleObject(ov.hEvent, slice);
    } else {
      Sleep(1);
    }
  }
  return true;
}

CKdComPort::CKdComPort(CKdComIo* io) : m_io(io ? io : &CKdComIo::System()), m_records(new CKdComRecords) {}

CKdComPort::~CKdComPort() { Close(); }

void CKdComPort::SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                           HANDLE rxEvent) {
  CKdPort::SetParams(name, stopEvent, writeEvent, readEvent, rxEvent);
  EventsToRecords();
}

void CKdComPort::EventsToRecords() {
  m_records->WriteBuffer.reserve(kWriteReserve);
  m_records->WriteOv.hEvent = WriteEvent;
  m_records->ReadOv.hEvent = ReadEvent;
  m_records->CommOv.hEvent = RxEvent;
}

HRESULT CKdComPort::Open(UINT) {
  if (IsOpen()) return S_OK;
  if (CKdComKeeper::Instance().KeptFor(Name) >= kMaxKeptComRecords) {
    LogPort(kPortLogError, L"Port driver still holds abandoned operations");
    return VOMBRA_E_PORT_BUSY;
  }
  std::wstring path = L"\\\\.\\" + Name;
  HANDLE handle = m_io->Open(path.c_str());
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
  m_handle = handle;
  // A record keeps the status of its last operation; a new handle starts with none in flight.
  for (OVERLAPPED* ov : {&m_records->WriteOv, &m_records->ReadOv, &m_records->CommOv}) {
    HANDLE event = ov->hEvent;
    *ov = OVERLAPPED{};
    ov->hEvent = event;
  }
  HRESULT hr = SetupLine();
  if (FAILED(hr)) {
    CloseHandleAndRecords(false);
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
    if (!m_io->GetState(m_handle, &dcb)) return PortErrorFromWin32(GetLastError());
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
  BOOL ok = m_io->Setup(m_handle, kInQueue, kOutQueue) && m_io->SetTimeouts(m_handle, &timeouts) &&
            m_io->SetState(m_handle, &dcb) && m_io->SetMask(m_handle, CommMaskFor(EventChar));
  if (!ok) {
    DWORD error = GetLastError();
    LogPort(kPortLogError, L"Port setup error %d", int(error));
    return PortErrorFromWin32(error);
  }
  return S_OK;
}

bool CKdComPort::CancelPending() {
  // Ends a comm-event wait even where CancelIoEx would not reach it.
  m_io->SetMask(m_handle, 0);
  m_io->Cancel(m_handle, nullptr);
  // One bound for all three: a driver that ignores the cancel costs the caller this much and no more.
  const DWORD start = GetTickCount();
  bool done = WaitForCompletion(m_records->ReadOv, start, kComCancelWait);
  done = WaitForCompletion(m_records->WriteOv, start, kComCancelWait) && done;
  done = WaitForCompletion(m_records->CommOv, start, kComCancelWait) && done;
  return done;
}

void CKdComPort::CloseHandleAndRecords(bool abandoned) {
  if (abandoned) {
    LogPort(kPortLogError, L"Cancelled operations did not complete within %u ms", unsigned(kComCancelWait));
  }
  m_io->Close(m_handle);
  m_handle = INVALID_HANDLE_VALUE;
  // Closing the handle ends whatever the driver can still end; what it cannot, may complete into the
  // records any time later, so they leave with the keeper and the port takes fresh ones.
  if (!m_records->AllCompleted()) {
    CKdComKeeper::Instance().Keep(Name, std::move(m_records));
    m_records.reset(new CKdComRecords);
    EventsToRecords();
  }
}

HRESULT CKdComPort::Close() {
  if (!IsOpen()) return S_OK;
  CloseHandleAndRecords(!CancelPending());
  StateFlags = 0;
  LogPort(kPortLogInfo, L"Port is closed");
  return S_OK;
}

HRESULT CKdComPort::SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) {
  if (!IsOpen()) return CKdPort::SetConfig(baud, stopBits, eventChar);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!m_io->GetState(m_handle, &dcb)) return PortErrorFromWin32(GetLastError());
  // Baud 0 keeps the speed the line has now.
  if (baud != 0) dcb.BaudRate = baud;
  dcb.StopBits = stopBits;
  dcb.EvtChar = char(eventChar);
  if (!m_io->SetState(m_handle, &dcb)) {
    DWORD error = GetLastError();
    LogPort(kPortLogError, L"SetCommState error %d", int(error));
    return PortErrorFromWin32(error);
  }
  Baud = dcb.BaudRate;
  StopBits = stopBits;
  EventChar = eventChar;
  if (!m_io->SetMask(m_handle, CommMaskFor(EventChar))) {
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
  if (!m_io->ClearError(m_handle, &errors, &stat)) return PortErrorFromWin32(GetLastError());
  *count = UINT(RxStore.size() + stat.cbInQue);
  return S_OK;
}

HRESULT CKdComPort::Purge(bool rx, bool tx) {
  if (!IsOpen()) return S_OK;
  DWORD flags = (rx ? PURGE_RXABORT | PURGE_RXCLEAR : 0) | (tx ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
  if (!m_io->Purge(m_handle, flags)) return PortErrorFromWin32(GetLastError());
  // Wine's purge leaves a pending read alone; it would later complete into ReadChunk with bytes from
  // before the purge. Cancel it (Windows has already done so) and wait until it has let go.
  if (rx) {
    if (!HasOverlappedIoCompleted(&m_records->ReadOv)) {
      m_io->Cancel(m_handle, &m_records->ReadOv);
      if (!WaitForCompletion(m_records->ReadOv, GetTickCount(), kComCancelWait)) return GiveUpStuckPort();
    }
    StateFlags &= ~PSF_READ_PENDING;
    RxStore.clear();
  }
  if (tx) {
    if (!HasOverlappedIoCompleted(&m_records->WriteOv)) {
      m_io->Cancel(m_handle, &m_records->WriteOv);
      if (!WaitForCompletion(m_records->WriteOv, GetTickCount(), kComCancelWait)) return GiveUpStuckPort();
    }
    StateFlags &= ~PSF_WRITE_PENDING;
  }
  return S_OK;
}

HRESULT CKdComPort::GiveUpStuckPort() {
  // The record is still the driver's: the port cannot go on with it, so it closes as a disconnected
  // one and the owner's next open starts afresh.
  m_io->SetMask(m_handle, 0);
  m_io->Cancel(m_handle, nullptr);
  CloseHandleAndRecords(true);
  StateFlags = 0;
  RxStore.clear();
  return VOMBRA_E_PORT_DISCONNECTED;
}

HRESULT CKdComPort::SetDTR(bool on) {
  if (!m_io->Escape(m_handle, on ? SETDTR : CLRDTR)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

HRESULT CKdComPort::SetRTS(bool on) {
  if (!m_io->Escape(m_handle, on ? SETRTS : CLRRTS)) return HRESULT_FROM_WIN32(GetLastError());
  return S_OK;
}

HRESULT CKdComPort::OnReadEvent() {
  // Without a read in flight the record holds the result of one that already went its way (taken
  // at once by Read, or cancelled by Purge).
  if (!IsOpen() || !(StateFlags & PSF_READ_PENDING)) return S_OK;
  DWORD bytes = 0;
  if (m_io->Result(m_handle, &m_records->ReadOv, &bytes)) {
    StateFlags &= ~PSF_READ_PENDING;
    RxStore.append(m_records->ReadChunk, bytes);
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
  if (m_io->Result(m_handle, &m_records->WriteOv, &bytes)) {
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
  if (m_io->Result(m_handle, &m_records->CommOv, &bytes)) {
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
  m_records->CommEventMask = 0;
  if (m_io->WaitEvent(m_handle, &m_records->CommEventMask, &m_records->CommOv)) {
    LogPort(kPortLogInfo, L"m_io->WaitEvent(0x%x)", unsigned(m_records->CommEventMask));
    return;
  }
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) LogPort(kPortLogError, L"WaitCommEvent error %d", int(error));
}

HRESULT CKdComPort::ReadAvailable() {
  for (;;) {
    DWORD bytes = 0;
    if (m_io->Read(m_handle, m_records->ReadChunk, kComReadChunkSize, &m_records->ReadOv)) {
      if (!m_io->Result(m_handle, &m_records->ReadOv, &bytes)) bytes = 0;
      if (bytes == 0) return S_OK;
      RxStore.append(m_records->ReadChunk, bytes);
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
  m_records->WriteBuffer.assign(reinterpret_cast<const char*>(data), size);
  if (m_io->Write(m_handle, m_records->WriteBuffer.data(), size, &m_records->WriteOv)) return S_OK;
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
