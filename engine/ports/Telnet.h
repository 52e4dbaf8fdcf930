// Telnet NVT framing as the TCP port speaks it: escaping what goes out, the speed command, and the
// receive filter. No Windows header, so that the native sanitizer build and its fuzzers compile it.
#pragma once

#include <cstddef>
#include <string>

#include "PlatformTypes.h"

// Telnet NVT framing. Data bytes 0xFF (IAC) travel doubled; IAC SB ... IAC SE is a subnegotiation;
// IAC and one other byte is a command. The converters are never answered, only filtered.
constexpr BYTE kTelnetIac = 0xFF;
constexpr BYTE kTelnetSb = 0xFA;
constexpr BYTE kTelnetSe = 0xF0;
constexpr BYTE kTelnetComPortOption = 44;
constexpr BYTE kComPortSetBaudRate = 1;
// A subnegotiation whose content grows past this many bytes is given up: it is dropped (with the
// byte that overflowed it) and the stream is read as data again, so that a peer that never ends one can neither grow the buffer
// without bound nor swallow the rest of the connection.
constexpr size_t kTelnetMaxSubnegotiation = 1024;

// Appends data to out with every IAC doubled.
void TelnetEscape(const BYTE* data, size_t size, std::string& out);
// Appends the COM-PORT SET-BAUDRATE command for baud.
void TelnetSetBaudRate(UINT baud, std::string& out);

// Takes the bytes of a Telnet stream as they come, in pieces of any size, and gives back the data.
class CTelnetFilter {
 public:
  void Feed(const char* bytes, size_t size, std::string& data);
  void Reset() {
    m_state = State::Data;
    m_content = 0;
  }

 private:
  enum class State { Data, Iac, Sub, SubIac };
  State m_state = State::Data;
  size_t m_content = 0;  // content bytes of the open subnegotiation
};
