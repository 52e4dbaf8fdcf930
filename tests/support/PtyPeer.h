// Test support: the Linux-side peer of the serial-port tests (tools/pty_peer.py), which CTest starts
// as a fixture and which stands behind a COM port of the test prefix. The test reaches it over a
// loopback control connection; its port is in pty_peer.info in the test's working folder.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

struct PtyLineSettings {
  int Speed = -1;
  int DataBits = -1;
  char Parity = '?';  // N, E or O
  int StopBits = -1;
};

class CPtyPeer {
 public:
  CPtyPeer();
  ~CPtyPeer();
  CPtyPeer(const CPtyPeer&) = delete;
  CPtyPeer& operator=(const CPtyPeer&) = delete;

  // False (with the reason) when the fixture is not running.
  bool Available() const { return m_socket != INVALID_SOCKET; }
  const std::string& WhyNot() const { return m_whyNot; }
  // The COM port the pty is linked as ("COM21").
  const std::wstring& ComName() const { return m_com; }

  // Forgets what the Windows side sent so far.
  bool Clear();
  // Bytes to the Windows side.
  bool Send(const std::string& bytes);
  // Up to count bytes the Windows side sent, waiting up to timeout ms for them.
  std::string Receive(size_t count, DWORD timeout);
  // The line settings the Windows side made, as the pty's termios has them.
  PtyLineSettings Line();
  // Sets the line speed from the Linux side (as another program could have left it).
  bool SetSpeed(UINT baud);
  // The modem-line bits the shim keeps (TIOCM_DTR 0x002, TIOCM_RTS 0x004); -1 while none were set.
  int ModemLines();

 private:
  std::string Command(const std::string& line);

  SOCKET m_socket = INVALID_SOCKET;
  std::wstring m_com;
  std::string m_whyNot;
};
