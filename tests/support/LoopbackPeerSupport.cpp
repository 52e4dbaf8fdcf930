#include "LoopbackPeer.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace {

// Started once for the process and never cleaned up: peers come and go within tests.
void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

bool WaitReadable(SOCKET s, DWORD timeout) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{long(timeout / 1000), long((timeout % 1000) * 1000)};
  return select(0, &set, nullptr, nullptr, &tv) == 1;
}

}  // namespace

CLoopbackPeer::CLoopbackPeer(int family) : m_family(family) {
  StartWinsock();
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return;
  sockaddr_storage address{};
  int length = 0;
  if (family == AF_INET6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    length = sizeof(sockaddr_in6);
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(s, 4) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    closesocket(s);
    return;
  }
  m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  m_listener = s;
}

CLoopbackPeer::~CLoopbackPeer() {
  Close();
  if (m_listener != INVALID_SOCKET) closesocket(m_listener);
}

std::wstring CLoopbackPeer::PortName() const {
  return (m_family == AF_INET6 ? L"::1:" : L"127.0.0.1:") + std::to_wstring(m_port);
}

bool CLoopbackPeer::Accept(DWORD timeout) {
  Close();
  if (!Listening() || !WaitReadable(m_listener, timeout)) return false;
  m_peer = accept(m_listener, nullptr, nullptr);
  return m_peer != INVALID_SOCKET;
}

bool CLoopbackPeer::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    int n = send(m_peer, bytes.data() + done, int(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

std::string CLoopbackPeer::Receive(size_t count, DWORD timeout) {
  std::string out;
  const DWORD start = GetTickCount();
  while (out.size() < count) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeout || !WaitReadable(m_peer, timeout - elapsed)) break;
    char chunk[4096];
    int n = recv(m_peer, chunk, int(std::min<size_t>(sizeof chunk, count - out.size())), 0);
    if (n <= 0) break;
    out.append(chunk, size_t(n));
  }
  return out;
}

std::string CLoopbackPeer::ReceiveUntilQuiet(DWORD quiet) {
  std::string out;
  while (WaitReadable(m_peer, quiet)) {
    char chunk[65536];
    int n = recv(m_peer, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    out.append(chunk, size_t(n));
  }
  return out;
}

void CLoopbackPeer::Close() {
  if (m_peer == INVALID_SOCKET) return;
  shutdown(m_peer, SD_SEND);
  closesocket(m_peer);
  m_peer = INVALID_SOCKET;
}

void CLoopbackPeer::Reset() {
  if (m_peer == INVALID_SOCKET) return;
  linger abortive{1, 0};
  setsockopt(m_peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
  closesocket(m_peer);
  m_peer = INVALID_SOCKET;
}

USHORT CLoopbackPeer::UnusedPort() {
  CLoopbackPeer probe;
  return probe.Port();
}
