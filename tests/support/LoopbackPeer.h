// Test support: the far end of a TCP port on the loopback interface, driven step by step from the
// test's own thread. It listens on an ephemeral port of 127.0.0.1 (or ::1), accepts one connection
// at a time and sends and receives with blocking calls bounded by time-outs.
#pragma once

// Winsock 2 before windows.h.
#include <winsock2.h>
#include <windows.h>

#include <string>

class CLoopbackPeer {
 public:
  // family AF_INET listens on 127.0.0.1, AF_INET6 on ::1. Listening() tells whether that worked.
  explicit CLoopbackPeer(int family = AF_INET);
  ~CLoopbackPeer();
  CLoopbackPeer(const CLoopbackPeer&) = delete;
  CLoopbackPeer& operator=(const CLoopbackPeer&) = delete;

  bool Listening() const { return m_listener != INVALID_SOCKET; }
  USHORT Port() const { return m_port; }
  // The port name that reaches this peer: "127.0.0.1:<port>" (or "::1:<port>").
  std::wstring PortName() const;

  // Takes the next connection (ending the one held); false when none came within the time-out.
  bool Accept(DWORD timeout);
  bool Connected() const { return m_peer != INVALID_SOCKET; }
  bool Send(const std::string& bytes);
  // Collects bytes until count have come or the time-out has passed; returns what came.
  std::string Receive(size_t count, DWORD timeout);
  // Everything that arrives until the line has been quiet for quiet milliseconds.
  std::string ReceiveUntilQuiet(DWORD quiet);
  // Ends the held connection: gracefully (FIN), or with a reset (RST) as a converter that loses power.
  void Close();
  void Reset();

  // A loopback port on which nobody listens (taken and let go again).
  static USHORT UnusedPort();

 private:
  int m_family;
  SOCKET m_listener = INVALID_SOCKET;
  SOCKET m_peer = INVALID_SOCKET;
  USHORT m_port = 0;
};
