// Winsock 2 before anything that includes windows.h.
#include <winsock2.h>

#include "PortFactory.h"

#include "ComPort.h"
#include "Settings.h"
#include "TcpPort.h"

namespace {

class CDefaultPortFactory : public IKdPortFactory {
 public:
  IKdPort* CreatePort(const wchar_t* name, bool nvt) override {
    if (GetPortKind(name) == PK_TCP) {
      auto* port = new CKdTcpPort;
      port->Nvt = nvt ? 1 : 0;
      return port;
    }
    return new CKdComPort;
  }
};

CDefaultPortFactory s_defaultFactory;

}  // namespace

IKdPortFactory& DefaultPortFactory() { return s_defaultFactory; }

IKdPortFactory* g_pPortFactory = &s_defaultFactory;
