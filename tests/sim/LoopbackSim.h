// Test support: a simulated device on the far side of a loopback TCP connection (a raw link, no
// Telnet), served by its own thread. What the host sends goes through Model::Take(bytes), and the
// bytes it returns go back. One client at a time: a new connection replaces the old one, as a
// converter serves one client. The test's thread changes the model through Change.
#pragma once

#include "SimListener.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

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
    std::lock_guard<std::mutex> hold(m_mutex);
    f(m_model);
  }

 private:
  void Serve() {
    while (!m_stop) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(m_listener, &readable);
      if (m_client != INVALID_SOCKET) FD_SET(m_client, &readable);
      timeval wait = {0, 20000};
      if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
      if (FD_ISSET(m_listener, &readable)) {
        SOCKET accepted = accept(m_listener, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
          std::lock_guard<std::mutex> hold(m_mutex);
          if (m_client != INVALID_SOCKET) closesocket(m_client);
          m_client = accepted;
        }
        continue;
      }
      if (m_client == INVALID_SOCKET || !FD_ISSET(m_client, &readable)) continue;
      char buffer[512];
      const int n = recv(m_client, buffer, sizeof buffer, 0);
      std::lock_guard<std::mutex> hold(m_mutex);
      if (n <= 0) {
        closesocket(m_client);
        m_client = INVALID_SOCKET;
        continue;
      }
      const std::string reply = m_model.Take(std::string(buffer, size_t(n)));
      for (size_t sent = 0; sent < reply.size();) {
        const int k = send(m_client, reply.data() + sent, int(reply.size() - sent), 0);
        if (k <= 0) break;
        sent += size_t(k);
      }
    }
  }

  SOCKET m_listener = INVALID_SOCKET;
  USHORT m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;  // guards the model and the client socket
  SOCKET m_client = INVALID_SOCKET;
  Model m_model;
};
