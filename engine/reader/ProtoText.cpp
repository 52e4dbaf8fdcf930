// The text protocol: CR-terminated lines, the identification request, the programming of model 7,
// the key request, the Ultralight page exchanges and the lines a reader sends of its own accord.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

bool AutoTemic() { return g_pVombra && g_pVombra->GetTemic().Enabled; }

}  // namespace

bool CReader::TakeLine(std::string* line) { return TakeTextLine(RxBuffer, line); }

bool CReader::DropOverlongLine() {
  if (!IsOverlongTextLine(RxBuffer)) return false;
  RxBuffer.clear();
  SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  return true;
}

bool CReader::ReadLines(std::string* reply, int lines, UINT timeout, bool intercept) {
  reply->clear();
  const DWORD start = Ticks();
  UINT limit = timeout;
  int counted = 0;
  bool finalRead = false;
  while (Running) {
    std::string line;
    if (TakeLine(&line)) {
      bool appended = false;
      bool consumed = false;
      if (!line.empty() && reply->empty() && intercept) {
        std::wstring wide = Wide(line);
        // Behind a converter the keys come from the address polls; a line caught here is dropped.
        const bool keep = Mode != PM_CONVERTER && Address == -1;
        if (IsNoCard(wide)) {
          consumed = true;
          if (keep) m_interceptedKeyLines.push_back(wide);
        } else if (LooksLikeKeyLine(wide)) {
          consumed = true;
          // Handled after the exchange, so that its own exchanges cannot clobber this one's buffers.
          if (State == RS_CONNECTED && keep) m_interceptedKeyLines.push_back(wide);
        }
      }
      if (!line.empty() && !consumed) {
        reply->append(line);
        appended = true;
      }
      if (!appended && reply->empty()) continue;
      reply->append("\r\n");
      if (++counted == lines) return true;
      continue;
    }
    if (DropOverlongLine()) return false;
    if (!ReadMoreReply(start, limit, &finalRead, false)) break;
    if (!reply->empty()) limit = 500;
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::ReadInfoReply(UINT timeout) {
  if (!Contains(ReplyBuffer, "S/N:")) return false;
  std::string line;
  // A reply that never names its version is not waited for beyond one line's worth of bytes.
  while (ReplyBuffer.size() <= kMaxTextLine && ReadLines(&line, 1, timeout, true)) {
    ReplyBuffer += line;
    if (Contains(line, "Software version:") || Contains(line, "Build")) return true;
  }
  return false;
}

bool CReader::ParseInfoReply(UINT* hwCode, UINT* serial, UINT* firmware, std::wstring* info) {
  std::wstring text = Wide(ReplyBuffer);
  if (info) *info = text;
  if (ParseReaderInfo(text.c_str(), hwCode, serial, firmware, nullptr)) return true;
  SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  return false;
}

bool CReader::QueryInfo(UINT* hwCode, UINT* serial, UINT* firmware, UINT timeout, int attempts, std::wstring* info) {
  TxBuffer = "i\r";
  ReplyBuffer.clear();
  for (int attempt = 0; attempt < attempts; ++attempt) {
    WriteWire(Bytes(TxBuffer), UINT(TxBuffer.size()), timeout, false);
    if (!ReadLines(&ReplyBuffer, 1, timeout, true) || !ReadInfoReply(timeout)) continue;
    if (!ParseInfoReply(hwCode, serial, firmware, info)) return false;
    SetLastError(0, nullptr);
    return true;
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::ExchangeLine(const std::string& request, bool intercept) {
  TxBuffer = request;
  ReplyBuffer.clear();
  WriteWire(Bytes(TxBuffer), UINT(TxBuffer.size()), RequestTimeout, false);
  return ReadLines(&ReplyBuffer, 1, RequestTimeout, intercept);
}

bool CReader::ProgramText(const std::string& request) {
  if (RequestTries < 1) {
    SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
    return false;
  }
  if (!ExchangeLine(request, true)) return false;
  if (Contains(Lower(ReplyBuffer), "err")) {
    SetLastError(VOMBRA_E_READER_ERROR, nullptr);
    return false;
  }
  SetLastError(0, nullptr);
  return true;
}

bool CReader::SetOutputFormat(const char* text) { return ProgramText(std::string("tFMT") + text + "\r\n"); }

bool CReader::SetOutputArgs(const char* text) { return ProgramText(std::string("tARG") + text + "\r\n"); }

bool CReader::SetNoCardText() { return ProgramText("tNOC" "No card\\r\\n" "\r\n"); }

bool CReader::RequestKeyLine(UINT* keyType, _KEYNUM_INFO* uid) {
  for (UINT attempt = 0; attempt < RequestTries; ++attempt) {
    if (!ExchangeLine("r\n", false)) return false;
    std::wstring line = Wide(ReplyBuffer);
    CutLineEnd(&line);
    if (IsNoCard(line)) {
      *keyType = 0;
      *uid = {};
      SetLastError(0, nullptr);
      return true;
    }
    if (LooksLikeKeyLine(line) &&
        ParseKeyLine(line.c_str(), keyType, uid, Model, Version, (StatusFlags & RSF_DIFFERENT_CODES) != 0)) {
      SetLastError(0, nullptr);
      return true;
    }
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::ReadMifareULText(UINT page, BYTE data[16]) {
  char request[16];
  snprintf(request, sizeof request, "get %.2x\r", page & 0xFF);
  for (UINT attempt = 0; attempt < RequestTries; ++attempt) {
    if (!ExchangeLine(request, false)) return false;
    std::string copy = Lower(ReplyBuffer);
    if (Contains(copy, "no card")) {
      SetLastError(VOMBRA_E_NO_KEY, nullptr);
      return false;
    }
    if (Contains(copy, "err")) {
      SetLastError(VOMBRA_E_READER_ERROR, nullptr);
      return false;
    }
    std::string more;
    if (!ReadLines(&more, 4, 500, true)) return false;
    copy += Lower(more);
    if (Contains(copy, "ok") && ParseUltralightPages(copy, data)) {
      SetLastError(0, nullptr);
      return true;
    }
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::WriteMifareULText(UINT page, const BYTE data[4]) {
  char request[32];
  snprintf(request, sizeof request, "put %.2x %.2x %.2x %.2x %.2x\r", page & 0xFF, data[0], data[1], data[2], data[3]);
  if (RequestTries < 1) {
    SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
    return false;
  }
  if (!ExchangeLine(request, true)) return false;
  std::string reply = Lower(ReplyBuffer);
  if (Contains(reply, "no card")) {
    SetLastError(VOMBRA_E_NO_KEY, nullptr);
    return false;
  }
  if (!Contains(reply, "err")) {
    SetLastError(0, nullptr);
    return true;
  }
  SetLastError(Contains(reply, "page lock") ? VOMBRA_E_KEY_DATA_LOCKED : VOMBRA_E_READER_ERROR, nullptr);
  return false;
}

void CReader::PollText() {
  StatusFlags &= ~RSF_PORT_EVENT;
  LastPollTime = Ticks();
  if (RxPeriod == INFINITE) {
    UINT waiting = 0;
    HRESULT hr = Port->GetRxCount(&waiting);
    if (FAILED(hr)) ThrowPortException(hr, Port->GetName());
    if (waiting) ReadWire(waiting, 0, false);
  } else {
    size_t before;
    do {
      before = RxBuffer.size();
      ReadWire(64, 0, false);
    } while (RxBuffer.size() > before && RxBuffer.size() <= kMaxTextLine);
  }
  if (!RxBuffer.empty()) ProcessTextLines();
}

void CReader::ProcessTextLines() {
  std::string bytes;
  while (TakeLine(&bytes)) {
    if (bytes.empty()) continue;
    std::wstring line = Wide(bytes);
    if (_wcsnicmp(line.c_str(), L"No card", 7) == 0) {
      OnNoCard((StatusFlags & RSF_TEMIC) && AutoTemic());
    } else if (LooksLikeKeyLine(line) && OnKeyLine(line.c_str())) {
    } else if (!(StatusFlags & RSF_UNRECOGNISED)) {
      StatusFlags |= RSF_UNRECOGNISED;
      std::wstring text;
      FormatMessageText(text, g_hResInstance, DWORD(VOMBRA_E_UNKNOWN_MESSAGE));
      if (Events) Events->OnReaderError(this, VOMBRA_E_UNKNOWN_MESSAGE, text.c_str());
    }
  }
  DropOverlongLine();
}

// The Ultralight pages a key line's key gets as its number when the settings ask for them.
static void ReadUltralightNumber(CReader* reader, _KEY_INFO& key) {
  if (key.KeyType != KT_MIFARE_UL || !g_pVombra) return;
  const _ULREAD_INFO ul = g_pVombra->GetMifareUL();
  if (!ul.Enabled) return;
  if (ul.Page > 15 || ul.Count < 1) {
    key.NumberStatus = E_INVALIDARG;
    return;
  }
  BYTE data[16] = {};
  if (reader->ReadMifareULText(ul.Page, data)) {
    MakeKeyNum(data, int(std::min<UINT>(4 * ul.Count, 15)), key.Number);
    key.NumberStatus = 0;
  } else {
    key.NumberStatus = reader->LastError;
  }
}

bool CReader::OnKeyLine(const wchar_t* line) {
  _KEY_INFO key;
  if (!ParseKeyLine(line, &key.KeyType, &key.Uid, Model, Version, (StatusFlags & RSF_DIFFERENT_CODES) != 0)) {
    return false;
  }
  const UINT keyTypes = g_pVombra ? g_pVombra->GetKeyTypes() : KEY_TYPES_ALL;
  if (key.KeyType >= 32 || !(keyTypes & (1u << key.KeyType))) return true;
  ReadUltralightNumber(this, key);
  {
    // A key line replaces whatever the list held, without loss events; the Temic keys of a
    // Temic-capable reader stay, as on "No card", since only the Temic scan may remove them.
    CCriticalSectionLock lock(&Lock);
    if (StatusFlags & RSF_TEMIC) {
      Keys.erase(std::remove_if(Keys.begin(), Keys.end(), [](const _KEY_INFO& k) { return k.KeyType != KT_TEMIC; }),
                 Keys.end());
    } else {
      Keys.clear();
    }
  }
  UpdateKeyList(key, true);
  return true;
}

void CReader::OnNoCard(bool defer) {
  if (defer) {
    NoCardPending = 1;
    NoCardTime = Ticks();
    ShortenWait(NextWait, kNoCardDelay);
    return;
  }
  NoCardPending = 0;
  UpdateKeyList(_KEY_INFO(), true);
}

void CReader::StartText() {
  _KEY_INFO key;
  if (!RequestKeyLine(&key.KeyType, &key.Uid)) return;
  ReadUltralightNumber(this, key);
  UpdateKeyList(key, false);
}

void CReader::HandleInterceptedLines() {
  while (!m_interceptedKeyLines.empty()) {
    std::vector<std::wstring> lines;
    lines.swap(m_interceptedKeyLines);
    for (const std::wstring& line : lines) {
      if (IsNoCard(line)) {
        OnNoCard((StatusFlags & RSF_TEMIC) && AutoTemic());
      } else if (State == RS_CONNECTED) {
        OnKeyLine(line.c_str());
      }
    }
  }
}
