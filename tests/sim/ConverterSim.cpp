#include "ConverterSim.h"

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
