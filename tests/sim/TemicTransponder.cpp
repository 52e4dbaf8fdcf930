#include "TemicTransponder.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace {

const char kNoTransponder[] = "ERR no T5557\r\n";
const char kRefused[] = "ERR\r\n";

// The bytes after "t57", each two hex digits; false when a piece is not one.
bool ParseArguments(const std::string& request, std::vector<BYTE>* bytes) {
  std::istringstream in(request.substr(3));
  std::string piece;
  while (in >> piece) {
    if (piece.size() != 2) return false;
    unsigned value = 0;
    if (sscanf(piece.c_str(), "%2x", &value) != 1) return false;
    bytes->push_back(BYTE(value));
  }
  return true;
}

}  // namespace

CTemicTransponder::CTemicTransponder() {
  m_id81 = {0x00, 0x00, 0x00, 0x3A};
  m_id82 = {0x12, 0x34, 0x56, 0x78};
}

std::string CTemicTransponder::Answer(const std::string& request) {
  if (OnRequest) OnRequest(request);
  std::lock_guard<std::mutex> hold(m_mutex);
  if (!m_queued.empty()) {
    std::string line = m_queued.front() + "\r\n";
    m_queued.pop_front();
    return line;
  }
  std::vector<BYTE> a;
  if (!ParseArguments(request, &a) || a.empty()) return kRefused;
  const BYTE command = a[0];
  // Arguments after the command byte, by command: 0 none; 1, 2 block, data, pair; 3, 4 block,
  // password, data, pair; 5 block, pair; 6 block, password, pair.
  static const size_t kArgs[] = {0, 7, 7, 11, 11, 3, 7};
  if (command > 6 || a.size() != 1 + kArgs[command]) return kRefused;
  if (command == 0) return "OK\r\n";
  const BYTE block = a[1];
  const bool withPassword = command == 3 || command == 4 || command == 6;
  if (!m_inField || a[a.size() - 2] != m_p0 || a[a.size() - 1] != m_p1) return kNoTransponder;
  if (m_passwordMode) {
    // A T5557 in password mode keeps silent to a command without its password.
    if (!withPassword || !std::equal(a.begin() + 2, a.begin() + 6, m_blocks[7].begin())) return kNoTransponder;
  }
  if (command == 5 || command == 6) {
    TemicBlock data;
    if (block < 8) {
      data = m_blocks[block];
    } else if (block == 0x81) {
      data = m_id81;
    } else if (block == 0x82) {
      data = m_id82;
    } else {
      return kRefused;
    }
    char line[16];
    snprintf(line, sizeof line, "%.2X%.2X%.2X%.2X\r\n", data[0], data[1], data[2], data[3]);
    return line;
  }
  if (block >= 8 || m_locked[block] || m_failWrite[block]) return kRefused;
  const size_t at = withPassword ? 6 : 2;
  m_blocks[block] = {a[at], a[at + 1], a[at + 2], a[at + 3]};
  if (command == 2 || command == 4) m_locked[block] = true;
  m_writes.push_back(block);
  return "OK\r\n";
}

void CTemicTransponder::SetInField(bool inField) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_inField = inField;
}

void CTemicTransponder::SetPair(BYTE p0, BYTE p1) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_p0 = p0;
  m_p1 = p1;
}

void CTemicTransponder::SetId(const TemicBlock& block81, const TemicBlock& block82) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_id81 = block81;
  m_id82 = block82;
}

void CTemicTransponder::SetBlock(int block, const TemicBlock& data) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_blocks[size_t(block)] = data;
}

TemicBlock CTemicTransponder::Block(int block) const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_blocks[size_t(block)];
}

void CTemicTransponder::SetPasswordMode(bool on) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_passwordMode = on;
}

bool CTemicTransponder::Locked(int block) const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_locked[size_t(block)];
}

void CTemicTransponder::FailWrites(int block) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_failWrite[size_t(block)] = true;
}

void CTemicTransponder::QueueAnswers(const std::vector<std::string>& lines) {
  std::lock_guard<std::mutex> hold(m_mutex);
  m_queued.insert(m_queued.end(), lines.begin(), lines.end());
}

std::vector<int> CTemicTransponder::Writes() const {
  std::lock_guard<std::mutex> hold(m_mutex);
  return m_writes;
}
