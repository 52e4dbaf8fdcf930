// Test support: a simulated device on the far side of a loopback TCP connection, served by its own
// thread. What the host sends goes through Model::Take(bytes), and the bytes it returns go back. One
// client at a time: a new connection replaces the old one, as a converter serves one client; a model
// with an OnConnect() member hears of each new connection (a Telnet layer starts afresh). The test's
// thread changes the model through Change, looks at it through Inspect, sends bytes of the device's
// own accord and drops the link.
#pragma once

#include "SectionLock.h"
#include "SimListener.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

template <class Model, class = void>
struct HearsConnects : std::false_type {};
template <class Model>
struct HearsConnects<Model, std::void_t<decltype(std::declval<Model&>().OnConnect())>> : std::true_type {};

template <class Model>
class CLoopbackSim {
 public:
  template <class... Args>
  explicit CLoopbackSim(Args&&... args) : m_model(std::forward<Args>(args)...) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    m_listener = ListenOnLoopback(&m_port);
    if (m_listener != INVALID_SOCKET) m_thread = std::thread([this] { Serve(); });
  }
  ~CLoopbackSim() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_listener != INVALID_SOCKET) closesocket(m_listener);
    if (m_client != INVALID_SOCKET) closesocket(m_client);
    WSACleanup();
  }
  CLoopbackSim(const CLoopbackSim&) = delete;
  CLoopbackSim& operator=(const CLoopbackSim&) = delete;

  bool Listening() const { return m_listener != INVALID_SOCKET; }
  std::wstring PortName() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

  // Runs f on the device model under its lock.
  template <class F>
  void Change(F f) {
    std::lock_guard<CSectionLock> hold(m_lock);
    f(m_model);
  }
  // f's result on the device model, under its lock.
  template <class F>
  auto Inspect(F f) const {
    std::lock_guard<CSectionLock> hold(m_lock);
    return f(static_cast<const Model&>(m_model));
  }

  // Sends bytes on the open connection now, as they are; false without one.
  bool Send(const std::string& bytes) {
    std::lock_guard<CSectionLock> hold(m_lock);
    return SendLocked(bytes);
  }
  // Ends the open connection with a reset, as a converter losing power.
  void Drop() {
    std::lock_guard<CSectionLock> hold(m_lock);
    if (m_client == INVALID_SOCKET) return;
    linger hard = {1, 0};  // a reset, not an orderly close
    setsockopt(m_client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    closesocket(m_client);
    m_client = INVALID_SOCKET;
  }
  bool Connected() const {
    std::lock_guard<CSectionLock> hold(m_lock);
    return m_client != INVALID_SOCKET;
  }
  // Connections accepted so far.
  int Connections() const { return m_connections; }
  // Waits (real time) until count connections have been accepted.
  bool WaitConnections(int count, DWORD timeout) const {
    const DWORD start = GetTickCount();
    while (m_connections < count) {
      if (GetTickCount() - start >= timeout) return false;
      Sleep(10);
    }
    return true;
  }

 private:
  void Serve() {
    while (!m_stop) {
      SOCKET client;
      {
        std::lock_guard<CSectionLock> hold(m_lock);
        client = m_client;
      }
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(m_listener, &readable);
      if (client != INVALID_SOCKET) FD_SET(client, &readable);
      timeval wait = {0, 20000};
      if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      if (FD_ISSET(m_listener, &readable)) {
        SOCKET accepted = accept(m_listener, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
          std::lock_guard<CSectionLock> hold(m_lock);
          if (m_client != INVALID_SOCKET) closesocket(m_client);
          m_client = accepted;
          ++m_connections;
          if constexpr (HearsConnects<Model>::value) m_model.OnConnect();
        }
        continue;
      }
      if (client == INVALID_SOCKET || !FD_ISSET(client, &readable)) continue;
      char buffer[512];
      const int n = recv(client, buffer, sizeof buffer, 0);
      std::lock_guard<CSectionLock> hold(m_lock);
      if (client != m_client) continue;  // dropped meanwhile
      if (n <= 0) {
        closesocket(m_client);
        m_client = INVALID_SOCKET;
        continue;
      }
      SendLocked(m_model.Take(std::string(buffer, size_t(n))));
    }
  }

  // With m_lock held.
  bool SendLocked(const std::string& bytes) {
    if (m_client == INVALID_SOCKET) return false;
    for (size_t sent = 0; sent < bytes.size();) {
      const int k = send(m_client, bytes.data() + sent, int(bytes.size() - sent), 0);
      if (k <= 0) return false;
      sent += size_t(k);
    }
    return true;
  }

  SOCKET m_listener = INVALID_SOCKET;
  USHORT m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  mutable CSectionLock m_lock;  // guards the model and the client socket
  SOCKET m_client = INVALID_SOCKET;
  Model m_model;
};
