// Test double: a fake port whose reads, once armed, hang until the test lets them go (a driver call
// that never returns, deaf to the break and stop events), and then fail as an unplugged adapter does;
// and a factory that hands every reader that one port.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "Messages.h"
#include "PortFactory.h"
#include "doubles/FakePort.h"

class CStuckPort : public CFakePort {
 public:
  CStuckPort() {
    Entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~CStuckPort() override {
    CloseHandle(Entered);
    CloseHandle(Released);
  }
  HRESULT Read(std::string* buffer, UINT size, UINT timeout) override {
    if (Stuck) {
      SetEvent(Entered);
      WaitForSingleObject(Released, INFINITE);
      return VOMBRA_E_PORT_DISCONNECTED;
    }
    return CFakePort::Read(buffer, size, timeout);
  }
  bool WaitEntered(DWORD timeout = 5000) { return WaitForSingleObject(Entered, timeout) == WAIT_OBJECT_0; }
  void LetGo() { SetEvent(Released); }
  // Hangs the next read again.
  void Arm() {
    ResetEvent(Entered);
    ResetEvent(Released);
    Stuck = true;
  }

  std::atomic<bool> Stuck{true};

 private:
  HANDLE Entered;   // a read has hung
  HANDLE Released;  // the test let it go
};

// Hands every reader the same port and keeps no reference of its own.
class COnePortFactory : public IKdPortFactory {
 public:
  explicit COnePortFactory(IKdPort* port) : m_port(port) {}
  IKdPort* CreatePort(const wchar_t*, bool) override { return m_port; }

 private:
  IKdPort* m_port;
};
