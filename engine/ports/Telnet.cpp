#include "Telnet.h"

void TelnetEscape(const BYTE* data, size_t size, std::string& out) {
  for (size_t i = 0; i < size; ++i) {
    out += char(data[i]);
    if (data[i] == kTelnetIac) out += char(kTelnetIac);
  }
}

void TelnetSetBaudRate(UINT baud, std::string& out) {
  const BYTE body[6] = {kTelnetComPortOption, kComPortSetBaudRate, BYTE(baud >> 24), BYTE(baud >> 16),
                        BYTE(baud >> 8), BYTE(baud)};
  out += char(kTelnetIac);
  out += char(kTelnetSb);
  TelnetEscape(body, sizeof body, out);
  out += char(kTelnetIac);
  out += char(kTelnetSe);
}

void CTelnetFilter::Feed(const char* bytes, size_t size, std::string& data) {
  for (size_t i = 0; i < size; ++i) {
    const BYTE b = BYTE(bytes[i]);
    switch (m_state) {
      case State::Data:
        if (b == kTelnetIac) {
          m_state = State::Iac;
        } else {
          data += char(b);
        }
        break;
      case State::Iac:
        if (b == kTelnetIac) {
          data += char(kTelnetIac);
          m_state = State::Data;
        } else if (b == kTelnetSb) {
          m_state = State::Sub;
          m_content = 0;
        } else {
          // A command: IAC and its byte go; an option byte after WILL, DO and the like stays data.
          m_state = State::Data;
        }
        break;
      case State::Sub:
        if (b == kTelnetIac) {
          m_state = State::SubIac;
        } else if (++m_content > kTelnetMaxSubnegotiation) {
          m_state = State::Data;
        }
        break;
      case State::SubIac:
        // IAC IAC inside is one content byte; IAC and anything else (SE) ends the subnegotiation,
        // whose content the port does not use (the converters' answers are not interpreted).
        if (b != kTelnetIac) {
          m_state = State::Data;
        } else {
          m_state = ++m_content > kTelnetMaxSubnegotiation ? State::Data : State::Sub;
        }
        break;
    }
  }
}
