// The simulators' listening socket: any free TCP port on 127.0.0.1 (loopback only, ever).
#pragma once

#include <winsock2.h>
#include <windows.h>

// A listening socket and its port, or INVALID_SOCKET. Winsock must be started.
inline SOCKET ListenOnLoopback(USHORT* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (s != INVALID_SOCKET) closesocket(s);
    return INVALID_SOCKET;
  }
  *port = ntohs(address.sin_port);
  return s;
}
