// The byte-stream port a reader talks through: the interface, the base both ports share, the
// exception a reader throws when a port call fails, and the factory that makes a port for a name.
//
// A port owns no thread. Its owner creates the events, hands them over with SetParams, waits on them
// in its own loop and calls the completion slot of the event that fired (WriteEvent → OnWriteEvent,
// ReadEvent → OnReadEvent, RxEvent → OnRxEvent). Read and Write wait on the same events themselves.
// Every failure comes back as an HRESULT; the port throws nothing (TCP SetParams, which starts
// Winsock, is the one exception).
#pragma once

#include <windows.h>

#include <atomic>
#include <exception>
#include <string>
#include <utility>

enum PORT_STATE_FLAGS : UINT {
  PSF_CONNECT_PENDING = 0x1,  // TCP only: a connect is under way
  PSF_WRITE_PENDING = 0x2,    // a write is in flight
  PSF_READ_PENDING = 0x4,     // a read is in flight, or the transport has nothing until the next event
};

class IKdPort : public IUnknown {
 public:
  virtual void SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                         HANDLE rxEvent) = 0;
  virtual const wchar_t* GetName() = 0;
  // baud 0: keep the speed the device already has.
  virtual HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) = 0;
  virtual HRESULT GetConfig(UINT* baud, BYTE* stopBits, BYTE* eventChar) = 0;
  virtual HRESULT Open(UINT timeout) = 0;
  virtual HRESULT Close() = 0;
  virtual bool IsOpen() = 0;
  virtual UINT GetStateFlags() = 0;
  virtual HRESULT GetRxCount(UINT* count) = 0;
  // Appends up to size received bytes to buffer; S_OK with fewer when the timeout runs out.
  virtual HRESULT Read(std::string* buffer, UINT size, UINT timeout) = 0;
  virtual HRESULT Write(const BYTE* data, UINT size, UINT timeout) = 0;
  virtual HRESULT Purge(bool rx, bool tx) = 0;
  virtual HRESULT SetDTR(bool on) = 0;
  virtual HRESULT SetRTS(bool on) = 0;
  virtual HRESULT OnReadEvent() = 0;
  virtual HRESULT OnWriteEvent() = 0;
  virtual HRESULT OnRxEvent() = 0;
  // Called by the last Release. The port never crosses a module boundary, so the compiler's own
  // destructor slots are fine here.
  virtual ~IKdPort() = default;
};

// Reference count, name, line settings, the owner's events and the state flags.
class CKdPort : public IKdPort {
 public:
  CKdPort() = default;
  CKdPort(const CKdPort&) = delete;
  CKdPort& operator=(const CKdPort&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  void SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                 HANDLE rxEvent) override;
  const wchar_t* GetName() override { return Name.c_str(); }
  HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) override;
  HRESULT GetConfig(UINT* baud, BYTE* stopBits, BYTE* eventChar) override;
  UINT GetStateFlags() override { return StateFlags; }
  HRESULT SetDTR(bool on) override;
  HRESULT SetRTS(bool on) override;

  // The longest single wait inside Read (INFINITE: bounded by the read's timeout only). The owner
  // sets it before Open.
  UINT RxPeriod = INFINITE;

 protected:
  // A free-text line of the add-in log with the port name as source, written at LogLevel 5 and up.
  void LogPort(UINT level, const wchar_t* format, ...);

  // Only the count is shared between threads: the reader object and its thread may drop references
  // on different threads. Everything else belongs to the one thread that drives the port.
  std::atomic<ULONG> m_refs{0};
  std::wstring Name;
  UINT Baud = 0;
  BYTE StopBits = 0;  // DCB code: 0 one, 1 one and a half, 2 two
  HANDLE StopEvent = nullptr;  // may be null
  HANDLE WriteEvent = nullptr;
  HANDLE ReadEvent = nullptr;
  HANDLE RxEvent = nullptr;
  BYTE EventChar = 0;  // 0: every received byte signals RxEvent
  UINT StateFlags = 0;
};

// Log levels of the port's lines (the add-in log's letters I and E).
constexpr UINT kPortLogInfo = 0;
constexpr UINT kPortLogError = 2;
// The add-in's LogLevel from which port lines are written.
constexpr UINT kPortLogThreshold = 5;

// Holds one reference to a port.
class CKdPortPtr {
 public:
  CKdPortPtr() = default;
  explicit CKdPortPtr(IKdPort* port) : m_port(port) {
    if (m_port) m_port->AddRef();
  }
  CKdPortPtr(const CKdPortPtr& other) : CKdPortPtr(other.m_port) {}
  CKdPortPtr(CKdPortPtr&& other) noexcept : m_port(other.m_port) { other.m_port = nullptr; }
  CKdPortPtr& operator=(CKdPortPtr other) noexcept {
    std::swap(m_port, other.m_port);
    return *this;
  }
  ~CKdPortPtr() { Reset(); }

  void Reset() {
    IKdPort* port = m_port;
    m_port = nullptr;
    if (port) port->Release();
  }
  IKdPort* Get() const { return m_port; }
  IKdPort* operator->() const { return m_port; }
  explicit operator bool() const { return m_port != nullptr; }

 private:
  IKdPort* m_port = nullptr;
};

// A failed port call, thrown by the reader (never by the port). what() is the code's text in the
// thread's language (ANSI code page); Text, when given, names what failed (the reader gives the port).
class CKdPortException : public std::exception {
 public:
  CKdPortException(HRESULT code, const wchar_t* text);
  const char* what() const noexcept override { return m_message.c_str(); }
  HRESULT Code() const { return m_code; }
  const std::wstring& Text() const { return m_text; }

 private:
  HRESULT m_code;
  std::string m_message;
  std::wstring m_text;
};

[[noreturn]] void ThrowPortException(HRESULT code, const wchar_t* text);

// Error codes of Windows and Winsock as the ports report them: an aborted operation, a reset or an
// aborted connection is a disconnected port; anything else keeps its Win32 code.
HRESULT PortErrorFromWin32(DWORD error);
HRESULT PortErrorFromWinsock(int error);
