#include "TextReaderSim.h"

#include <cstdio>
#include <utility>

namespace {

constexpr unsigned char kIac = 0xFF, kSb = 0xFA, kSe = 0xF0, kWill = 0xFB, kDont = 0xFE;
constexpr unsigned char kComPort = 44, kSetBaud = 1;

}  // namespace

std::string CTextReaderModel::InfoReply(const SimIdentity& identity) {
  char text[200];
  snprintf(text, sizeof text, "%s S/N: %u [%X]\r\nSoftware version: %s\r\n", identity.ModelName.c_str(),
           identity.Serial, identity.HwCode, identity.Version.c_str());
  return text;
}

void CTextReaderSim::SetFieldKey(const std::string& keyLine) {
  Change([&](CTextReaderLink& link) { link.Model.FieldKey = keyLine; });
}

void CTextReaderSim::SetTemic(std::function<std::string(const std::string&)> temic) {
  Change([&](CTextReaderLink& link) { link.Model.Temic = std::move(temic); });
}

void CTextReaderSim::SetSilent(bool silent) {
  Change([&](CTextReaderLink& link) { link.Model.Silent = silent; });
}

void CTextReaderSim::SetRequiredBaud(unsigned baud) {
  Change([&](CTextReaderLink& link) { link.RequiredBaud = baud; });
}

bool CTextReaderSim::SendLine(const std::string& line) { return SendRaw(line + "\r\n"); }

bool CTextReaderSim::SendRaw(const std::string& bytes) {
  return Send(Inspect([&](const CTextReaderLink& link) { return link.Wire(bytes); }));
}

std::vector<std::string> CTextReaderSim::Requests() const {
  return Inspect([](const CTextReaderLink& link) { return link.Requests; });
}

std::vector<DWORD> CTextReaderSim::RequestTicks() const {
  return Inspect([](const CTextReaderLink& link) { return link.RequestTicks; });
}

unsigned CTextReaderSim::Baud() const {
  return Inspect([](const CTextReaderLink& link) { return link.Baud; });
}

std::vector<std::string> CTextReaderSim::Subnegotiations() const {
  return Inspect([](const CTextReaderLink& link) { return link.Subnegotiations; });
}

void CTextReaderLink::OnConnect() {
  m_line.clear();
  m_state = Nvt::Data;
}

std::string CTextReaderLink::Wire(const std::string& bytes) const {
  std::string wire;
  for (char c : bytes) {
    wire += c;
    if (m_nvt && static_cast<unsigned char>(c) == kIac) wire += c;
  }
  return wire;
}

std::string CTextReaderLink::Take(const std::string& bytes) {
  std::string reply;
  for (char byte : bytes) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (!m_nvt) {
      OnData(char(c), &reply);
      continue;
    }
    switch (m_state) {
      case Nvt::Data:
        if (c == kIac) {
          m_state = Nvt::Iac;
        } else {
          OnData(char(c), &reply);
        }
        break;
      case Nvt::Iac:
        if (c == kIac) {
          OnData(char(c), &reply);
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
          Subnegotiations.push_back(m_sub);
          if (m_sub.size() == 6 && static_cast<unsigned char>(m_sub[0]) == kComPort &&
              static_cast<unsigned char>(m_sub[1]) == kSetBaud) {
            unsigned baud = 0;
            for (size_t k = 2; k < 6; ++k) baud = baud << 8 | static_cast<unsigned char>(m_sub[k]);
            Baud = baud;
          }
          m_state = Nvt::Data;
        } else {
          m_sub += char(c);  // IAC IAC inside a subnegotiation is one 0xFF
          m_state = Nvt::Sub;
        }
        break;
    }
  }
  return reply;
}

// Requests end with CR or LF.
void CTextReaderLink::OnData(char c, std::string* reply) {
  if (c == '\r' || c == '\n') {
    if (!m_line.empty()) OnRequest(m_line, reply);
    m_line.clear();
    return;
  }
  m_line += c;
}

void CTextReaderLink::OnRequest(const std::string& request, std::string* reply) {
  Requests.push_back(request);
  RequestTicks.push_back(GetTickCount());
  if (RequiredBaud && Baud != RequiredBaud) return;
  *reply += Wire(Model.Answer(request));
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
