// Choosing the port object for a port name. Kept apart from the port interface, so that the interface
// does not depend on its own implementations.
#pragma once

#include "Port.h"

// Makes the port object for a port name: a TCP port (raw, or Telnet NVT when nvt is set) for a name
// of the TCP kind, a serial port for any other. The result holds no reference yet. Tests install a
// factory of their own to hand a reader a fake port.
class IKdPortFactory {
 public:
  virtual IKdPort* CreatePort(const wchar_t* name, bool nvt) = 0;

 protected:
  ~IKdPortFactory() = default;
};

IKdPortFactory& DefaultPortFactory();

// Never null. Replaced only while no reader or search runs (a test's set-up and tear-down).
extern IKdPortFactory* g_pPortFactory;

inline IKdPort* CreateKdPort(const wchar_t* name, bool nvt) { return g_pPortFactory->CreatePort(name, nvt); }
