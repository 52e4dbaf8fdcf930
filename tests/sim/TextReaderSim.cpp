#include "TextReaderSim.h"
#include "SimListener.h"

#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>

namespace {

constexpr unsigned char kIac = 0xFF, kSb = 0xFA, kSe = 0xF0, kWill = 0xFB, kDont = 0xFE;
constexpr unsigned char kComPort = 44, kSetBaud = 1;

}  // namespace

CTextReaderSim::CTextReaderSim(const SimIdentity& identity, bool nvt) : m_nvt(nvt), m_model(identity) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET s = ListenOnLoopback(&m_port);
  if (s == INVALID_SOCKET) return;
  m_listener = s;
  m_thread = std::thread([this] { Serve(); });
}

CTextReaderSim::~CTextReaderSim() {
  m_stop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_listener != INVALID_SOCKET) closesocket(m_listener);
  {
    std::lock_guard<std::mutex> hold(m_mutex);
    if (m_client != INVALID_SOCKET) closesocket(m_client);
    m_client = INVALID_SOCKET;
  }
  WSACleanup();
}

std::wstring CTextReaderSim::PortName() const { return L"127.0.0.1:" + std::to_wstring(m_port); }

std::string CTextReaderModel::InfoReply(const SimIdentity& identity) {
  char text[200];
  snprintf(text, sizeof text, "%s S/N: %u [%X]\r\nSoftware version: %s\r\n", identity.ModelName.c_str(),
           identity.Serial, identity.HwCode, identity.Version.c_str());
  return text;
}

void CTextReaderSim::SetFieldKey(const std::string& keyLine) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_model.FieldKey = keyLine;
}

void CTextReaderSim::SetTemic(std::function<std::string(const std::string&)> temic) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_model.Temic = std::move(temic);
}

void CTextReaderSim::SetSilent(bool silent) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_model.Silent = silent;
}

bool CTextReaderSim::SendLocked(const std::string& bytes) {
  if (m_client == INVALID_SOCKET) return false;
  std::string wire;
  for (char c : bytes) {
    wire += c;
    if (m_nvt && static_cast<unsigned char>(c) == kIac) wire += c;
  }
  size_t sent = 0;
  while (sent < wire.size()) {
    int n = send(m_client, wire.data() + sent, int(wire.size() - sent), 0);
    if (n <= 0) return false;
    sent += size_t(n);
  }
  return true;
}

bool CTextReaderSim::SendLine(const std::string& line) {
  std::lock_guard<std::mutex> hold(m_mutex);
  return SendLocked(line + "\r\n");
}

bool CTextReaderSim::SendRaw(const std::string& bytes) {
  std::lock_guard<std::mutex> hold(m_mutex);
  return SendLocked(bytes);
}

void CTextReaderSim::Drop() {
  std::lock_guard<std::mutex> hold(m_mutex);
  if (m_client == INVALID_SOCKET) return;
  linger hard = {1, 0};  // a reset, not an orderly close
  setsockopt(m_client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
  closesocket(m_client);
  m_client = INVALID_SOCKET;
}

bool CTextReaderSim::Connected() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_client != INVALID_SOCKET;
}

bool CTextReaderSim::WaitConnections(int count, DWORD timeout) const {
  const DWORD start = GetTickCount();
  while (m_connections < count) {
    if (GetTickCount() - start >= timeout) return false;
    Sleep(10);
  }
  return true;
}

std::vector<std::string> CTextReaderSim::Requests() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_requests;
}

std::vector<DWORD> CTextReaderSim::RequestTicks() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_requestTicks;
}

std::vector<std::string> CTextReaderSim::Subnegotiations() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_subs;
}

void CTextReaderSim::Serve() {
  while (!m_stop) {
    SOCKET client;
    {
      std::lock_guard<std::mutex> hold(m_mutex);
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
        std::lock_guard<std::mutex> hold(m_mutex);
        // A new connection replaces the old one, as a converter serves one client at a time.
        if (m_client != INVALID_SOCKET) closesocket(m_client);
        m_client = accepted;
        m_line.clear();
        m_state = Nvt::Data;
        ++m_connections;
      }
      continue;
    }
    if (client != INVALID_SOCKET && FD_ISSET(client, &readable)) {
      char buffer[512];
      int n = recv(client, buffer, sizeof buffer, 0);
      std::lock_guard<std::mutex> hold(m_mutex);
      if (client != m_client) continue;  // dropped meanwhile
      if (n <= 0) {
        closesocket(m_client);
        m_client = INVALID_SOCKET;
        continue;
      }
      Take(buffer, size_t(n));
    }
  }
}

// With m_mutex held.
void CTextReaderSim::Take(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (!m_nvt) {
      OnData(char(c));
      continue;
    }
    switch (m_state) {
      case Nvt::Data:
        if (c == kIac) {
          m_state = Nvt::Iac;
        } else {
          OnData(char(c));
        }
        break;
      case Nvt::Iac:
        if (c == kIac) {
          OnData(char(c));
          m_state = Nvt::Data;
        } else if (c == kSb) {
          m_sub.clear();
          m_state = Nvt::Sub;
        } else if (c >= kWill && c <= kDont) {
          m_state = Nvt::Option;
        } else {
          m_state = Nvt::Data;
        }
        break;
      case Nvt::Option:
        m_state = Nvt::Data;
        break;
      case Nvt::Sub:
        if (c == kIac) {
          m_state = Nvt::SubIac;
        } else {
          m_sub += char(c);
        }
        break;
      case Nvt::SubIac:
        if (c == kSe) {
          m_subs.push_back(m_sub);
          if (m_sub.size() == 6 && static_cast<unsigned char>(m_sub[0]) == kComPort &&
              static_cast<unsigned char>(m_sub[1]) == kSetBaud) {
            unsigned baud = 0;
            for (int k = 2; k < 6; ++k) baud = baud << 8 | static_cast<unsigned char>(m_sub[size_t(k)]);
            m_baud = baud;
          }
          m_state = Nvt::Data;
        } else {
          m_sub += char(c);  // IAC IAC inside a subnegotiation is one 0xFF
          m_state = Nvt::Sub;
        }
        break;
    }
  }
}

// With m_mutex held. Requests end with CR or LF.
void CTextReaderSim::OnData(char c) {
  if (c == '\r' || c == '\n') {
    if (!m_line.empty()) OnRequest(m_line);
    m_line.clear();
    return;
  }
  m_line += c;
}

// With m_mutex held.
void CTextReaderSim::OnRequest(const std::string& request) {
  m_requests.push_back(request);
  m_requestTicks.push_back(GetTickCount());
  if (m_requiredBaud && m_baud != m_requiredBaud) return;
  std::string reply = m_model.Answer(request);
  if (!reply.empty()) SendLocked(reply);
}

std::string CTextReaderModel::Answer(const std::string& request) const {
  if (Silent) return std::string();
  if (request == "i") return InfoReply(m_identity);
  if (request == "r") return (FieldKey.empty() ? std::string("No card") : FieldKey) + "\r\n";
  if (request.compare(0, 4, "tFMT") == 0 || request.compare(0, 4, "tARG") == 0 ||
      request.compare(0, 4, "tNOC") == 0) {
    return "OK\r\n";
  }
  if (request.compare(0, 4, "get ") == 0) {
    unsigned page = 0;
    sscanf(request.c_str() + 4, "%x", &page);
    std::string reply;
    for (unsigned p = page; p < page + 4; ++p) {
      const auto written = UltralightPages.find(p);
      const std::string b = written != UltralightPages.end() ? written->second : std::string(4, char(p));
      char line[64];
      snprintf(line, sizeof line, "%x: %x %x %x %x\r\n", p, BYTE(b[0]), BYTE(b[1]), BYTE(b[2]), BYTE(b[3]));
      reply += line;
    }
    return reply + "ok\r\n";
  }
  if (request.compare(0, 4, "put ") == 0) {
    unsigned page = 0, b[4] = {};
    if (sscanf(request.c_str() + 4, "%x %x %x %x %x", &page, &b[0], &b[1], &b[2], &b[3]) != 5) return "err\r\n";
    UltralightPages[page] = std::string{char(b[0]), char(b[1]), char(b[2]), char(b[3])};
    return "ok\r\n";
  }
  if (Temic && request.compare(0, 3, "t57") == 0) return Temic(request);
  return "err\r\n";
}

HRESULT CSimFakePort::Write(const BYTE* data, UINT size, UINT timeout) {
  const size_t scripted = ExchangesLeft();
  HRESULT hr = CFakePort::Write(data, size, timeout);
  if (FAILED(hr) || ExchangesLeft() < scripted) return hr;
  for (UINT i = 0; i < size; ++i) {
    const char c = char(data[i]);
    if (c != '\r' && c != '\n') {
      m_line += c;
      continue;
    }
    if (m_line.empty()) continue;
    std::string reply = Model.Answer(m_line);
    m_line.clear();
    if (!reply.empty()) Arrive(reply);
  }
  return hr;
}
