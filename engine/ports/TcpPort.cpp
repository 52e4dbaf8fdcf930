#include "TcpPort.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "Clock.h"
#include "Messages.h"
#include "VombraContext.h"

namespace {

constexpr size_t kRecvChunkSize = 1024;
constexpr ULONG kKeepAliveTime = 60000;
constexpr ULONG kKeepAliveInterval = 10000;

}  // namespace

CKdTcpPort::CKdTcpPort() = default;

CKdTcpPort::~CKdTcpPort() { Close(); }

void CKdTcpPort::SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                           HANDLE rxEvent) {
  CKdPort::SetParams(name, stopEvent, writeEvent, readEvent, rxEvent);
  if (g_pVombra) g_pVombra->StartupWinsock();
  RecvChunk.resize(kRecvChunkSize);
}

HRESULT CKdTcpPort::SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) {
  EventChar = eventChar;
  StopBits = stopBits;
  // While the connect is under way, the speed goes out when it completes.
  if (!IsOpen() || !Nvt || (StateFlags & PSF_CONNECT_PENDING)) {
    if (!IsOpen() || baud != 0) Baud = baud;
    return S_OK;
  }
  if (baud == 0 || baud == Baud) return S_OK;
  std::string message;
  TelnetSetBaudRate(baud, message);
  SendQueue.push_back(std::move(message));
  HRESULT hr = Send();
  if (SUCCEEDED(hr)) Baud = baud;
  return hr;
}

void CKdTcpPort::CloseSocket() {
  if (!m_socket) return;
  shutdown(m_socket.Get(), SD_BOTH);
  m_socket.Close();
  m_selected = 0;
  StateFlags = 0;
}

HRESULT CKdTcpPort::Open(UINT timeout) {
  if (IsOpen()) return S_OK;
  // Nothing of an earlier connection may leak into this one: not its unread bytes, not a half-read
  // Telnet sequence, not a message the old socket never sent.
  RxStore.clear();
  m_telnet.Reset();
  SendQueue.clear();
  m_sent = 0;
  StateFlags = 0;

  const size_t colon = Name.rfind(L':');
  if (colon == std::wstring::npos || colon == 0) return E_INVALIDARG;
  const std::wstring host = Name.substr(0, colon);
  const std::wstring service = Name.substr(colon + 1);

  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  CAddrInfo addresses;
  int error = GetAddrInfoW(host.c_str(), service.c_str(), &hints, addresses.Receive());
  if (error != 0 || !addresses) {
    if (error == WSAEFAULT) return E_INVALIDARG;
    if (error == WSAHOST_NOT_FOUND) return VOMBRA_E_PORT_NOT_EXIST;
    return HRESULT_FROM_WIN32(DWORD(error ? error : WSAHOST_NOT_FOUND));
  }
  const ADDRINFOW* found = addresses.Get();

  SOCKET opened = WSASocketW(found->ai_family, found->ai_socktype, found->ai_protocol, nullptr, 0, 0);
  if (opened == INVALID_SOCKET) return HRESULT_FROM_WIN32(DWORD(WSAGetLastError()));
  m_socket.Reset(opened);

  // A converter that vanishes without a word is noticed by the socket even while the reader is silent.
  tcp_keepalive keepAlive{1, kKeepAliveTime, kKeepAliveInterval};
  DWORD returned = 0;
  WSAIoctl(m_socket.Get(), SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr,
           nullptr);

  HRESULT hr = Select(FD_CONNECT);
  if (FAILED(hr)) {
    CloseSocket();
    return hr;
  }
  const int connected =
      WSAConnect(m_socket.Get(), found->ai_addr, int(found->ai_addrlen), nullptr, nullptr, nullptr, nullptr);
  if (connected == 0) {
    hr = Connected();
    if (FAILED(hr)) CloseSocket();
    return hr;
  }
  error = WSAGetLastError();
  if (error != WSAEWOULDBLOCK) {
    CloseSocket();
    return PortErrorFromWinsock(error);
  }
  if (timeout == 0) {
    StateFlags |= PSF_CONNECT_PENDING;
    return S_OK;
  }

  HANDLE waits[2] = {RxEvent, StopEvent};
  const DWORD waitCount = StopEvent ? 2 : 1;
  const DWORD start = Ticks();
  for (;;) {
    const DWORD remaining = TimerRemaining(start, timeout, Ticks());
    const DWORD result = remaining == 0 ? WAIT_TIMEOUT : WaitForMultipleObjects(waitCount, waits, FALSE, remaining);
    if (result == WAIT_OBJECT_0) {
      WSANETWORKEVENTS events{};
      if (WSAEnumNetworkEvents(m_socket.Get(), RxEvent, &events) == SOCKET_ERROR) {
        error = WSAGetLastError();
        CloseSocket();
        return PortErrorFromWinsock(error);
      }
      // The owner's event may have been left signalled by something else: only the connect's own
      // report ends the wait.
      if (!(events.lNetworkEvents & FD_CONNECT)) continue;
      error = events.iErrorCode[FD_CONNECT_BIT];
      if (error != 0) {
        CloseSocket();
        return PortErrorFromWinsock(error);
      }
      break;
    }
    CloseSocket();
    if (result == WAIT_OBJECT_0 + 1) return E_ABORT;
    if (result == WAIT_TIMEOUT) return VOMBRA_E_TCP_TIMEOUT;
    return HRESULT_FROM_WIN32(GetLastError());
  }
  hr = Connected();
  if (FAILED(hr)) CloseSocket();
  return hr;
}

// The speed command goes before anything written while the connect was under way.
HRESULT CKdTcpPort::Connected() {
  StateFlags &= ~PSF_CONNECT_PENDING;
  if (Nvt && Baud != 0) {
    std::string message;
    TelnetSetBaudRate(Baud, message);
    SendQueue.push_front(std::move(message));
  }
  if (!SendQueue.empty()) return Send();
  return Select(FD_READ | FD_CLOSE);
}

HRESULT CKdTcpPort::Close() {
  CloseSocket();
  return S_OK;
}

HRESULT CKdTcpPort::Select(long events) {
  if (events == m_selected) return S_OK;
  if (WSAEventSelect(m_socket.Get(), RxEvent, events) == SOCKET_ERROR) {
    return PortErrorFromWinsock(WSAGetLastError());
  }
  m_selected = events;
  return S_OK;
}

HRESULT CKdTcpPort::Send() {
  if (StateFlags & (PSF_WRITE_PENDING | PSF_CONNECT_PENDING)) return S_OK;
  while (!SendQueue.empty()) {
    std::string& front = SendQueue.front();
    WSABUF buffer{ULONG(front.size() - m_sent), &front[m_sent]};
    DWORD sent = 0;
    if (WSASend(m_socket.Get(), &buffer, 1, &sent, 0, nullptr, nullptr) == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) return PortErrorFromWinsock(error);
      // Reading goes on while the socket cannot take more, so that a peer that answers before it reads
      // does not stall both sides.
      HRESULT hr = Select(FD_READ | FD_WRITE | FD_CLOSE);
      if (FAILED(hr)) return hr;
      StateFlags |= PSF_WRITE_PENDING;
      return S_OK;
    }
    m_sent += sent;
    if (m_sent >= front.size()) {
      SendQueue.pop_front();
      m_sent = 0;
    }
  }
  return Select(FD_READ | FD_CLOSE);
}

void CKdTcpPort::Take(const char* bytes, size_t size) {
  if (Nvt) {
    m_telnet.Feed(bytes, size, RxStore);
  } else {
    RxStore.append(bytes, size);
  }
}

HRESULT CKdTcpPort::Receive() {
  if (StateFlags & PSF_READ_PENDING) return S_OK;
  const size_t before = RxStore.size();
  HRESULT hr = S_OK;
  for (;;) {
    WSABUF buffer{ULONG(RecvChunk.size()), &RecvChunk[0]};
    DWORD received = 0;
    DWORD flags = 0;
    if (WSARecv(m_socket.Get(), &buffer, 1, &received, &flags, nullptr, nullptr) == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK) {
        StateFlags |= PSF_READ_PENDING;
      } else {
        hr = PortErrorFromWinsock(error);
      }
      break;
    }
    // 0 bytes: the peer has closed; FD_CLOSE says so.
    if (received == 0) break;
    Take(RecvChunk.data(), received);
  }
  // A line-oriented owner sleeps until a whole line or frame is in, as with a serial port's event
  // character.
  if (EventChar != 0 && RxStore.size() > before && RxStore.find(char(EventChar)) != std::string::npos) {
    SetEvent(RxEvent);
  }
  return hr;
}

HRESULT CKdTcpPort::OnRxEvent() {
  if (!IsOpen()) return S_OK;
  WSANETWORKEVENTS events{};
  if (WSAEnumNetworkEvents(m_socket.Get(), RxEvent, &events) == SOCKET_ERROR) {
    return PortErrorFromWinsock(WSAGetLastError());
  }
  HRESULT status = S_OK;
  if (events.lNetworkEvents & FD_CONNECT) {
    StateFlags &= ~PSF_CONNECT_PENDING;
    const int error = events.iErrorCode[FD_CONNECT_BIT];
    status = error ? PortErrorFromWinsock(error) : Connected();
  }
  if (events.lNetworkEvents & FD_WRITE) {
    StateFlags &= ~PSF_WRITE_PENDING;
    const int error = events.iErrorCode[FD_WRITE_BIT];
    if (error) {
      if (SUCCEEDED(status)) status = PortErrorFromWinsock(error);
    } else if (SUCCEEDED(status)) {
      status = Send();
    }
  }
  if (events.lNetworkEvents & FD_READ) {
    StateFlags &= ~PSF_READ_PENDING;
    const int error = events.iErrorCode[FD_READ_BIT];
    if (error) {
      if (SUCCEEDED(status)) status = PortErrorFromWinsock(error);
    } else if (SUCCEEDED(status)) {
      status = Receive();
    }
  }
  if (events.lNetworkEvents & FD_CLOSE) {
    const int error = events.iErrorCode[FD_CLOSE_BIT];
    // The peer's last bytes may still wait in the socket behind the close.
    if (error == 0) {
      StateFlags &= ~PSF_READ_PENDING;
      Receive();
    }
    return PortErrorFromWinsock(error == 0 ? WSAECONNRESET : error);
  }
  return status;
}

HRESULT CKdTcpPort::GetRxCount(UINT* count) {
  if (!count) return E_POINTER;
  if (IsOpen()) {
    HRESULT hr = OnRxEvent();
    if (FAILED(hr)) return hr;
  }
  *count = UINT(RxStore.size());
  return S_OK;
}

HRESULT CKdTcpPort::Purge(bool rx, bool tx) {
  if (rx) {
    RxStore.clear();
    m_telnet.Reset();
  }
  if (tx) {
    // A message the socket has partly taken is finished, or the converter would be left inside half a
    // Telnet command.
    if (m_sent > 0) {
      SendQueue.erase(SendQueue.begin() + 1, SendQueue.end());
    } else {
      SendQueue.clear();
    }
  }
  return S_OK;
}

HRESULT CKdTcpPort::Read(std::string* buffer, UINT size, UINT timeout) {
  if (!buffer) return E_POINTER;
  if (!IsOpen()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (StateFlags & PSF_READ_PENDING) {
    HRESULT hr = OnRxEvent();
    if (FAILED(hr)) return hr;
  }
  HANDLE waits[2] = {RxEvent, StopEvent};
  const DWORD waitCount = StopEvent ? 2 : 1;
  const size_t target = buffer->size() + size;
  const DWORD start = Ticks();
  HRESULT hr = Receive();
  if (FAILED(hr)) return hr;
  for (;;) {
    if (!RxStore.empty() && buffer->size() < target) {
      const size_t n = std::min(RxStore.size(), target - buffer->size());
      buffer->append(RxStore, 0, n);
      RxStore.erase(0, n);
    }
    if (buffer->size() >= target) return S_OK;
    const DWORD elapsed = TicksElapsed(start, Ticks());
    if (elapsed >= timeout) return S_OK;
    const DWORD result =
        WaitForMultipleObjects(waitCount, waits, FALSE, std::min<DWORD>(timeout - elapsed, RxPeriod));
    if (result == WAIT_OBJECT_0) {
      hr = OnRxEvent();
      if (FAILED(hr)) return hr;
    } else if (result == WAIT_OBJECT_0 + 1) {
      return E_ABORT;
    } else if (result != WAIT_TIMEOUT) {
      return HRESULT_FROM_WIN32(GetLastError());
    }
    hr = Receive();
    if (FAILED(hr)) return hr;
  }
}

HRESULT CKdTcpPort::Write(const BYTE* data, UINT size, UINT timeout) {
  if (!IsOpen()) return HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
  if (size && !data) return E_POINTER;
  std::string message;
  if (Nvt) {
    TelnetEscape(data, size, message);
  } else {
    message.assign(reinterpret_cast<const char*>(data), size);
  }
  if (!message.empty()) SendQueue.push_back(std::move(message));
  if (StateFlags & PSF_WRITE_PENDING) {
    HRESULT hr = OnRxEvent();
    if (FAILED(hr)) return hr;
  }
  HANDLE waits[2] = {RxEvent, StopEvent};
  const DWORD waitCount = StopEvent ? 2 : 1;
  const DWORD start = Ticks();
  for (;;) {
    HRESULT hr = Send();
    if (FAILED(hr)) return hr;
    // A connect still under way holds the queue just as a full socket does.
    if (!(StateFlags & (PSF_WRITE_PENDING | PSF_CONNECT_PENDING)) || timeout == 0) return S_OK;
    const DWORD elapsed = TicksElapsed(start, Ticks());
    if (elapsed >= timeout) return VOMBRA_E_WRITE_TIMEOUT;
    const DWORD result = WaitForMultipleObjects(waitCount, waits, FALSE, timeout - elapsed);
    if (result == WAIT_OBJECT_0) {
      hr = OnRxEvent();
      if (FAILED(hr)) return hr;
    } else if (result == WAIT_OBJECT_0 + 1) {
      return E_ABORT;
    } else if (result != WAIT_TIMEOUT) {
      return HRESULT_FROM_WIN32(GetLastError());
    }
  }
}
