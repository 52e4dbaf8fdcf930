#include "ConverterSim.h"
#include "SimListener.h"

#include <cstdio>
#include <cstdlib>

std::string CConverterModel::Take(const std::string& bytes) {
  std::string out;
  for (char c : bytes) {
    if (c != '\r' && c != '\n') {
      m_line += c;
      continue;
    }
    if (m_line.empty()) continue;
    Requests.push_back(m_line);
    out += Answer(m_line);
    m_line.clear();
  }
  return out;
}

std::string CConverterModel::Answer(const std::string& request) const {
  // "#" five or more digits, a blank, the command.
  if (request.size() < 4 || request[0] != '#') return std::string();
  char* end = nullptr;
  const long address = strtol(request.c_str() + 1, &end, 10);
  if (!end || *end != ' ') return std::string();
  const std::string command(end + 1);
  auto reader = Readers.find(int(address));
  if (reader == Readers.end()) return std::string();
  char prefix[16];
  snprintf(prefix, sizeof prefix, "%.5ld", address);
  const SimAddressReader& r = reader->second;
  if (command == "i") {
    std::string reply = Echo ? std::string(prefix) + "\r\n" : std::string();
    return reply + CTextReaderModel::InfoReply(r.Identity);
  }
  if (command == "r") {
    const std::string key = r.FieldKey.empty() ? std::string("No card") : r.FieldKey;
    if (DecimalFirmware(r.Identity)) return std::string(prefix) + " " + key + "\r\n";
    return key + "\r\n";
  }
  return "err\r\n";
}

HRESULT CConverterSimFakePort::Write(const BYTE* data, UINT size, UINT timeout) {
  const size_t scripted = ExchangesLeft();
  HRESULT hr = CFakePort::Write(data, size, timeout);
  if (FAILED(hr) || ExchangesLeft() < scripted) return hr;
  std::string reply;
  {
    std::lock_guard<std::mutex> hold(Mutex);
    reply = Model.Take(std::string(reinterpret_cast<const char*>(data), size));
  }
  if (!reply.empty()) Arrive(reply);
  return hr;
}

CConverterSim::CConverterSim() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ListenOnLoopback(&m_port);
  if (s == INVALID_SOCKET) return;
  m_listener = s;
  m_thread = std::thread([this] { Serve(); });
}

CConverterSim::~CConverterSim() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_listener != INVALID_SOCKET) closesocket(m_listener);
  if (m_client != INVALID_SOCKET) closesocket(m_client);
  WSACleanup();
}

std::wstring CConverterSim::PortName() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

void CConverterSim::Serve() {
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
        // A new connection replaces the old one, as a converter serves one client at a time.
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
