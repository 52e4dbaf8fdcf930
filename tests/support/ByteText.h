// Test support: byte strings written as hexadecimal text ("01 FF 02"), and back for failure messages.
#pragma once

#include <cstdio>
#include <string>

inline std::string Bytes(const char* hex) {
  std::string out;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = hex; *p; ++p) {
    int d = (*p >= '0' && *p <= '9') ? *p - '0'
            : (*p >= 'A' && *p <= 'F') ? *p - 'A' + 10
            : (*p >= 'a' && *p <= 'f') ? *p - 'a' + 10
                                       : -1;
    if (d < 0) continue;
    value = value * 16 + unsigned(d);
    if (++digits == 2) {
      out += char(value);
      value = 0;
      digits = 0;
    }
  }
  return out;
}

inline std::string HexText(const std::string& bytes) {
  std::string out;
  char part[4];
  for (unsigned char b : bytes) {
    std::snprintf(part, sizeof part, out.empty() ? "%02X" : " %02X", b);
    out += part;
  }
  return out;
}
