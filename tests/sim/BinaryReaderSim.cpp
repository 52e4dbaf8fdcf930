#include "BinaryReaderSim.h"

#include <algorithm>

namespace {

const std::string kPlusTransportKey = std::string(6, '\xFF') + std::string(10, '\0');

bool IsUltralight(const SimCard& card) { return !(card.Sak & (0x02 | 0x08 | 0x10 | 0x20)); }

int SectorOfBlock(int block) { return block < 128 ? block / 4 : 32 + (block - 128) / 16; }

}  // namespace

void CBinaryReaderModel::Restart() {
  m_input.clear();
  Binary = false;
  m_asleep = false;
  m_selected = -1;
}

void CBinaryReaderModel::AddCard(const SimCard& card) { m_field.push_back(card); }

void CBinaryReaderModel::RemoveCard(const std::string& uid) {
  m_field.erase(std::remove_if(m_field.begin(), m_field.end(), [&](const SimCard& c) { return c.Uid == uid; }),
                m_field.end());
  m_selected = -1;
}

SimCard* CBinaryReaderModel::Selected() {
  return m_selected >= 0 && size_t(m_selected) < m_field.size() ? &m_field[size_t(m_selected)] : nullptr;
}

std::string CBinaryReaderModel::Reply(BYTE sequence, BYTE command, const std::string& payload) {
  std::string f;
  f += '\x02';
  f += char(sequence);
  f += char(payload.size() + 6);
  f += char(command);
  f += payload;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  if (CorruptReplies > 0) {
    --CorruptReplies;
    sum ^= 0x5A;
  }
  f += char(sum & 0xFF);
  f += char(sum >> 8 & 0xFF);
  return f;
}

std::string CBinaryReaderModel::Take(const std::string& bytes) {
  m_input += bytes;
  std::string out;
  for (;;) {
    if (m_input.empty()) break;
    if (m_input[0] != '\x02') {
      const size_t cr = m_input.find('\r');
      if (cr == std::string::npos) break;
      const std::string line = m_input.substr(0, cr);
      m_input.erase(0, cr + 1);
      if (!Binary && line == "i") out += CTextReaderModel::InfoReply(m_identity);
      continue;
    }
    if (m_input.size() < 3 || m_input.size() < size_t(BYTE(m_input[2]))) break;
    const size_t total = BYTE(m_input[2]);
    if (total < 6) {
      m_input.erase(0, 1);
      continue;
    }
    unsigned sum = 0;
    for (size_t i = 0; i + 2 < total; ++i) sum += BYTE(m_input[i]);
    const unsigned given = BYTE(m_input[total - 2]) | BYTE(m_input[total - 1]) << 8;
    Request request{BYTE(m_input[1]), BYTE(m_input[3]), m_input.substr(4, total - 6)};
    m_input.erase(0, total);
    if ((sum & 0xFFFF) != given) continue;
    if (m_asleep) {
      // The first frame after a speed change only wakes the UART.
      m_asleep = false;
      continue;
    }
    Requests.push_back(request);
    if (OnRequest) OnRequest(request);
    out += Answer(request);
  }
  return out;
}

std::string CBinaryReaderModel::Answer(const Request& r) {
  const std::string ok = "\x55";
  const std::string& p = r.Payload;
  auto reply = [&](const std::string& payload) { return Reply(r.Sequence, r.Command, payload); };
  auto status = [&](int s) { return reply(std::string(1, char(s))); };
  SimCard* card = Selected();
  switch (r.Command) {
    case 0x2F:
      if (p.size() < 2) return status(1);
      Binary = p[0] == 1;
      if (BYTE(p[1]) != 0x80) {
        SpeedIndex = BYTE(p[1]);
        if (WakeAfterSpeedChange) m_asleep = true;
      }
      return reply(ok);
    case 0x23:
      m_cursor = 0;
      m_selected = -1;
      return reply(ok);
    case 0x24:
      return reply(ok);
    case 0x20:
      return reply(ok + char(SignalReply));
    case 0x45: {
      m_authSector = -1;
      if (m_cursor >= m_field.size()) return status(9);
      m_selected = int(m_cursor);
      const SimCard& c = m_field[m_cursor];
      std::string data = ok;
      data += char(c.Atqa & 0xFF);
      data += char(c.Atqa >> 8);
      data += char(c.Sak);
      return reply(data + c.Uid);
    }
    case 0x43:
      ++m_cursor;
      return reply(ok);
    case 0x46: {
      m_authSector = -1;
      const std::string uid = p.substr(1);
      for (size_t i = 0; i < m_field.size(); ++i) {
        if (m_field[i].Uid != uid) continue;
        m_selected = int(i);
        return reply(ok);
      }
      return status(9);
    }
    case 0x48:
      if (ActivationUnsupported) return status(2);
      if (!card || card->Ats.empty()) return status(1);
      return reply(ok + card->Ats);
    case 0x6E:
      if (!card) return status(1);
      if (p == std::string("\x01\x48", 2)) return card->LevelProbeOk ? reply(ok + std::string("\x00\x90", 2)) : status(1);
      if (p.size() == 20) return card->PlusProbeOk ? reply(ok + std::string("\x00\x90", 2)) : status(1);
      return status(1);
    case 0x50: {
      if (!card || p.size() < 8) return status(5);
      const int block = BYTE(p[1]);
      if (BYTE(p[0]) >= 2) {
        const std::string key = p.substr(2, 6);
        if (block == 0x91 && key == std::string(6, '\xFF')) {
          if (card->Block91Status == 0x55) m_authSector = SectorOfBlock(block);
          return status(card->Block91Status);
        }
        if (size_t(block) * 16 + 16 > card->Memory.size()) return status(1);
        if (RefuseAuth > 0) return --RefuseAuth, status(RefuseAuthStatus);
        if (key != card->SectorKey) return status(8);
        m_authSector = SectorOfBlock(block);
        return reply(ok);
      }
      if (size_t(block) * 16 + 16 > card->Memory.size()) return status(1);
      if (RefuseAuth > 0) return --RefuseAuth, status(RefuseAuthStatus);
      const UINT mask = BYTE(p[2]) | BYTE(p[3]) << 8 | BYTE(p[4]) << 16 | UINT(BYTE(p[5])) << 24;
      for (size_t i = 0; i < StoredKeys.size() && i < 32; ++i) {
        if ((mask >> i & 1) && StoredKeys[i] == card->SectorKey) {
          m_authSector = SectorOfBlock(block);
          return reply(ok + char(i + 1));
        }
      }
      return status(8);
    }
    case 0x51: {
      if (!card || p.empty()) return status(6);
      const size_t block = BYTE(p[0]);
      if (IsUltralight(*card)) {
        if (block * 4 >= card->Memory.size()) return status(1);
        std::string data = card->Memory.substr(block * 4, 16);
        data.resize(16, '\0');
        return reply(ok + data);
      }
      if (m_authSector != SectorOfBlock(int(block)) || block * 16 + 16 > card->Memory.size()) return status(1);
      return reply(ok + card->Memory.substr(block * 16, 16));
    }
    case 0x60: {
      if (!card || p.size() < 3) return status(5);
      const UINT address = BYTE(p[1]) | BYTE(p[2]) << 8;
      if (p[0] == 2) {
        const std::string key = p.substr(3, 16);
        if (address == 0x4040 && key == kPlusTransportKey) return status(card->Plus4040Status);
        if (address == 0x4042 && key == kPlusTransportKey) return status(card->Plus4042Status);
      }
      if (RefuseAuth > 0) return --RefuseAuth, status(RefuseAuthStatus);
      if (p[0] == 2) {
        if (p.substr(3, 16) != card->PlusKey) return status(8);
        m_authSector = int(address - 0x4000) / 2;
        return reply(ok);
      }
      if (p.size() < 7) return status(1);
      const UINT mask = BYTE(p[3]) | BYTE(p[4]) << 8 | BYTE(p[5]) << 16 | UINT(BYTE(p[6])) << 24;
      for (size_t i = 0; i < StoredKeys.size() && i < 32; ++i) {
        if ((mask >> i & 1) && StoredKeys[i] == card->PlusKey) {
          m_authSector = int(address - 0x4000) / 2;
          return reply(ok + char(i + 1));
        }
      }
      return status(8);
    }
    case 0x61: {
      if (!card || p.size() < 2) return status(6);
      const int block = BYTE(p[1]);
      if (m_authSector != SectorOfBlock(block) || size_t(block) * 16 + 16 > card->Memory.size()) return status(1);
      return reply(ok + card->Memory.substr(size_t(block) * 16, 16));
    }
    case 0x52: {  // Classic block: block, 16 bytes
      if (!card) return status(6);
      if (p.size() != 17) return status(1);
      const int block = BYTE(p[0]);
      if (m_authSector != SectorOfBlock(block) || size_t(block) * 16 + 16 > card->Memory.size()) return status(1);
      card->Memory.replace(size_t(block) * 16, 16, p.substr(1));
      return reply(ok);
    }
    case 0x53: {  // Ultralight page: page, 4 bytes
      if (!card) return status(6);
      if (p.size() != 5 || !IsUltralight(*card)) return status(1);
      const size_t page = BYTE(p[0]);
      if (page * 4 + 4 > card->Memory.size()) return status(1);
      card->Memory.replace(page * 4, 4, p.substr(1));
      return reply(ok);
    }
    case 0x5F: {  // key slot: bank, slot, 6 or 16 key bytes
      if (p.size() != 8 && p.size() != 18) return status(1);
      if (BYTE(p[0]) > 1 || BYTE(p[1]) > 15) return status(1);
      const size_t slot = size_t(BYTE(p[0])) * 16 + BYTE(p[1]);
      if (StoredKeys.size() < 32) StoredKeys.resize(32);
      StoredKeys[slot] = p.substr(2);
      return reply(ok);
    }
    case 0x62: {  // Plus block: mode, block (2 bytes), 01, 16 bytes
      if (!card) return status(6);
      if (p.size() != 20 || p[3] != 1) return status(1);
      const int block = BYTE(p[1]) | BYTE(p[2]) << 8;
      if (m_authSector != SectorOfBlock(block) || size_t(block) * 16 + 16 > card->Memory.size()) return status(1);
      card->Memory.replace(size_t(block) * 16, 16, p.substr(4));
      return reply(ok);
    }
  }
  return status(1);
}
