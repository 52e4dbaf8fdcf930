#include "FramedReaderSim.h"

namespace {

constexpr char kEnd = char(0xC0);
constexpr char kEsc = char(0xDB);

BYTE Sum(const std::string& bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += BYTE(c);
  return BYTE(sum);
}

}  // namespace

CFramedReaderModel::CFramedReaderModel() {
  Identity.ModelName = "PX-2210";
  Identity.HwCode = 0x821;
  Identity.Serial = 9009;
  Identity.Version = "2.3";
}

std::string CFramedReaderModel::Stuff(const std::string& plain) {
  std::string out;
  for (char c : plain) {
    if (c == kEnd) {
      out += kEsc;
      out += char(0x01);
    } else if (c == kEsc) {
      out += kEsc;
      out += char(0xDD);
    } else {
      out += c;
    }
  }
  return out;
}

std::string CFramedReaderModel::Frame(const std::string& plain) {
  const std::string checked = plain + char(BYTE(0 - Sum(plain)));
  return Stuff(checked) + kEnd;
}

std::vector<std::string> CFramedReaderModel::Take(const std::string& bytes) {
  std::vector<std::string> out;
  for (char c : bytes) {
    if (c == '\r' && m_input == "i") {
      m_input.clear();
      out.push_back(CTextReaderModel::InfoReply(Identity));
      continue;
    }
    if (c != kEnd) {
      m_input += c;
      continue;
    }
    std::string plain;
    for (size_t i = 0; i < m_input.size(); ++i) {
      if (m_input[i] != kEsc) {
        plain += m_input[i];
      } else if (i + 1 < m_input.size()) {
        ++i;
        if (m_input[i] == char(0x01)) plain += kEnd;
        if (m_input[i] == char(0xDD)) plain += kEsc;
      }
    }
    m_input.clear();
    // A frame with a wrong check is noise to the reader.
    if (plain.size() < 2 || Sum(plain) != 0) continue;
    plain.pop_back();
    Frames.push_back(plain);
    for (std::string& piece : Answer(plain)) out.push_back(std::move(piece));
  }
  return out;
}

std::vector<std::string> CFramedReaderModel::Answer(const std::string& plain) {
  const BYTE command = BYTE(plain[0]);
  std::string reply(1, char(command));
  if (command == 0x61) {
    if (!Temic.empty()) {
      reply += char(0xAA);
      reply += char(0x00);
      reply += Temic;
      reply += EmMarine;
    } else if (!EmMarine.empty()) {
      reply += char(0x01);
      reply += char(0x20);
      reply += EmMarine;
    } else {
      reply += char(0x01);
      reply += char(0x00);
    }
  } else if (command == 0x02 && plain.size() == 3) {
    Indications.emplace_back(BYTE(plain[1]), BYTE(plain[2]));
    reply += char(IndicateStatus);
  } else {
    reply += char(0x01);
  }
  std::string frame = Frame(reply);
  if (CorruptReplies > 0) {
    --CorruptReplies;
    frame[frame.size() - 2] = char(frame[frame.size() - 2] ^ 0x01);
  }
  const size_t escape = frame.find(kEsc);
  if (SplitAfterEscape && escape != std::string::npos) {
    SplitAfterEscape = false;
    return {frame.substr(0, escape + 1), frame.substr(escape + 1)};
  }
  return {frame};
}

HRESULT CFramedSimFakePort::Write(const BYTE* data, UINT size, UINT timeout) {
  const size_t scripted = ExchangesLeft();
  HRESULT hr = CFakePort::Write(data, size, timeout);
  if (FAILED(hr) || ExchangesLeft() < scripted) return hr;
  std::vector<std::string> pieces;
  {
    std::lock_guard<std::mutex> hold(Mutex);
    pieces = Model.Take(std::string(reinterpret_cast<const char*>(data), size));
  }
  DWORD delay = 0;
  for (const std::string& piece : pieces) {
    Arrive(piece, delay);
    delay += SplitDelay;
  }
  return hr;
}
