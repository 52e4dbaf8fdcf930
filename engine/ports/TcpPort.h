// The TCP port: a non-blocking Winsock client driven like a serial port, raw or as a Telnet NVT
// client that sets the far side's line speed of a serial-to-network converter.
#pragma once

// Winsock 2 must come before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <string>

#include "Handles.h"
#include "Port.h"

// Telnet NVT framing. Data bytes 0xFF (IAC) travel doubled; IAC SB ... IAC SE is a subnegotiation;
// IAC and one other byte is a command. The converters are never answered, only filtered.
constexpr BYTE kTelnetIac = 0xFF;
constexpr BYTE kTelnetSb = 0xFA;
constexpr BYTE kTelnetSe = 0xF0;
constexpr BYTE kTelnetComPortOption = 44;
constexpr BYTE kComPortSetBaudRate = 1;
// A subnegotiation whose content grows past this many bytes is given up: it is dropped (with the
// byte that overflowed it) and the stream is read as data again, so that a peer that never ends one can neither grow the buffer
// without bound nor swallow the rest of the connection.
constexpr size_t kTelnetMaxSubnegotiation = 1024;

// Appends data to out with every IAC doubled.
void TelnetEscape(const BYTE* data, size_t size, std::string& out);
// Appends the COM-PORT SET-BAUDRATE command for baud.
void TelnetSetBaudRate(UINT baud, std::string& out);

// Takes the bytes of a Telnet stream as they come, in pieces of any size, and gives back the data.
class CTelnetFilter {
 public:
  void Feed(const char* bytes, size_t size, std::string& data);
  void Reset() {
    m_state = State::Data;
    m_content = 0;
  }

 private:
  enum class State { Data, Iac, Sub, SubIac };
  State m_state = State::Data;
  size_t m_content = 0;  // content bytes of the open subnegotiation
};

class CKdTcpPort : public CKdPort {
 public:
  CKdTcpPort();
  ~CKdTcpPort() override;

  void SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                 HANDLE rxEvent) override;
  HRESULT SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) override;
  HRESULT Open(UINT timeout) override;
  HRESULT Close() override;
  bool IsOpen() override { return m_socket.Valid(); }
  HRESULT GetRxCount(UINT* count) override;
  HRESULT Read(std::string* buffer, UINT size, UINT timeout) override;
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override;
  HRESULT Purge(bool rx, bool tx) override;
  // Every network event is signalled on RxEvent.
  HRESULT OnReadEvent() override { return OnRxEvent(); }
  HRESULT OnWriteEvent() override { return OnRxEvent(); }
  HRESULT OnRxEvent() override;

  // 0 raw TCP, 1 Telnet NVT. Set by the owner right after construction.
  UINT Nvt = 0;

 private:
  HRESULT Connected();
  HRESULT Select(long events);
  HRESULT Send();
  HRESULT Receive();
  void Take(const char* bytes, size_t size);
  void CloseSocket();

  CSocket m_socket;
  long m_selected = 0;
  std::string RecvChunk;
  std::string RxStore;
  CTelnetFilter m_telnet;
  // Messages wait here until the socket has taken all of them; the front one may be partly sent
  // (m_sent bytes), and stays at the front until its last byte has gone.
  std::deque<std::string> SendQueue;
  size_t m_sent = 0;
};
