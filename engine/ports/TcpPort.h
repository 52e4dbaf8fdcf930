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
#include "Telnet.h"

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
