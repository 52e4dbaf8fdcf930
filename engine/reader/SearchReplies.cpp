#include "SearchReplies.h"

#include <cstdlib>
#include <vector>

bool ParseIpSearchReply(const char* reply, size_t length, UINT ports[2], std::string addresses[2]) {
  // Fields are separated by single blanks; the reply need not end with a NUL.
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i <= length && fields.size() < 6; ++i) {
    if (i == length || reply[i] == ' ') {
      fields.emplace_back(reply + start, i - start);
      start = i + 1;
    }
  }
  if (fields.size() < 6) return false;
  constexpr size_t kLabel = 8;
  for (size_t f = 2; f < 6; ++f) {
    if (fields[f].size() < kLabel + 1) return false;
  }
  ports[0] = UINT(atoi(fields[2].c_str() + kLabel));
  ports[1] = UINT(atoi(fields[3].c_str() + kLabel));
  addresses[0] = fields[4].substr(kLabel);
  addresses[1] = fields[5].substr(kLabel);
  return true;
}

bool HasLineEnd(const std::string& text) {
  size_t start = text.find_first_not_of("\r\n");
  return start != std::string::npos && text.find('\r', start) != std::string::npos;
}
