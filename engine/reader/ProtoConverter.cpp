// Readers behind a converter: several readers share one port, each answering to its own decimal
// address put in front of the text protocol's requests. Identification and key request of one
// address, connecting an address, the key poll of an address and the converter's own poll.
#include <algorithm>
#include <cwchar>

#include "Clock.h"
#include "Core.h"
#include "Messages.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "ResourceIds.h"
#include "VombraContext.h"

using namespace reader_support;

namespace {

// Firmware 409 and 410 answer a key request with the address and the key as a decimal number.
bool AnswersInDecimal(UINT version) { return version == 0x199FF || version == 0x19AFF; }

}  // namespace

// Every converter exchange is a request and its answer, and an answer carries no address: the rest
// of one that came too late (a line cut off when its request timed out, lines not yet read) would
// join the next request's answer and make another address's key this one's.
void CReader::DropStaleAnswer() {
  RxBuffer.clear();
  if (Port) Port->Purge(true, false);
}

bool CReader::QueryConverterInfo(int address, UINT* hwCode, UINT* serial, UINT* firmware, UINT timeout, int attempts,
                                 std::wstring* info) {
  TxBuffer = "#" + ConverterAddressText(address) + " i\r";
  ReplyBuffer.clear();
  for (int attempt = 0; attempt < attempts; ++attempt) {
    DropStaleAnswer();
    WriteWire(Bytes(TxBuffer), UINT(TxBuffer.size()), timeout, false);
    if (!ReadLines(&ReplyBuffer, 1, timeout, true)) continue;
    // The converter may echo the address on a line of its own before the reader answers.
    if (IsConverterEcho(ReplyBuffer, address)) {
      if (!ReadLines(&ReplyBuffer, 1, timeout, true)) continue;
    }
    if (!ReadInfoReply(timeout)) continue;
    return ParseInfoReply(hwCode, serial, firmware, info);
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

bool CReader::RequestConverterKey(int address, UINT* keyType, _KEYNUM_INFO* uid) {
  const std::string request = "#" + ConverterAddressText(address) + " r\r";
  // The key line is parsed for the reader at the address, whose quirks the parser undoes; an
  // address without a record (none is made here) counts as a reader not yet identified.
  UINT model = RM_UNKNOWN;
  UINT version = 0;
  {
    CCriticalSectionLock lock(&Lock);
    auto record = AddressMap.find(address);
    if (record != AddressMap.end()) {
      model = record->second.Model;
      version = record->second.Version;
    }
  }
  const bool decimal = AnswersInDecimal(version);
  for (UINT attempt = 0; attempt < RequestTries; ++attempt) {
    DropStaleAnswer();
    if (!ExchangeLine(request, false)) return false;
    std::wstring line = Wide(ReplyBuffer);
    CutLineEnd(&line);
    if (decimal) {
      // "<address> <number>" or "<address> No card"; an answer for another address is no answer.
      if (ParseDecimalAnswer(line, address, uid) != DecimalAnswer::kNone) {
        *keyType = 0;
        return true;
      }
    } else {
      if (IsNoCard(line)) {
        *keyType = 0;
        *uid = {};
        return true;
      }
      if (LooksLikeKeyLine(line) &&
          ParseKeyLine(line.c_str(), keyType, uid, model, version, (StatusFlags & RSF_DIFFERENT_CODES) != 0)) {
        return true;
      }
    }
    SetLastError(VOMBRA_E_BAD_RESPONSE, nullptr);
  }
  SetLastError(VOMBRA_E_READ_TIMEOUT, nullptr);
  return false;
}

void CReader::PollAddressKey(bool silent, _ADDRESS_INFO* record) {
  record->Time = Ticks();
  UINT type = 0;
  _KEYNUM_INFO key = {};
  if (!RequestConverterKey(Address, &type, &key)) return;
  UINT oldType;
  _KEYNUM_INFO oldKey;
  std::wstring oldText;
  {
    CCriticalSectionLock lock(&Lock);
    oldType = record->KeyType;
    oldKey = record->Key;
    oldText = record->Text;
  }
  if (type == oldType && CompareKeyNum(key, oldKey) == 0) return;

  SetLastError(0, nullptr);
  std::wstring text;
  HRESULT formatError = S_OK;
  // Before the reader lock: the format lookup takes the add-in's lock.
  if (key.Length && !FormatKey(type, &key, &text)) formatError = LastError < 0 ? LastError : E_FAIL;
  {
    CCriticalSectionLock lock(&Lock);
    record->KeyType = type;
    record->Key = key;
    record->Text = text;
  }

  if (oldKey.Length) {
    if (LogLevel() >= 5) Log(0, IDS_LOG_KEY_LOST, KeyTypeName(oldType), KeyText(oldKey, oldType).c_str());
    if (!silent && Events) Events->OnKeyLost(this, oldType, &oldKey, &oldKey, oldText.c_str());
  }
  if (!key.Length) return;
  const std::wstring keyText = KeyText(key, type);
  if (LogLevel() >= 5) Log(0, IDS_LOG_KEY_FOUND, KeyTypeName(type), keyText.c_str());
  if (silent || !Events) return;
  // Index 0 stands for the record of the address being served.
  Events->OnKeyFound(this, 0);
  if (formatError < 0) {
    std::wstring errorText;
    {
      CCriticalSectionLock lock(&Lock);
      errorText = LastErrorText;
    }
    if (errorText.empty()) FormatMessageText(errorText, g_hResInstance, DWORD(formatError));
    if (LogLevel() >= 2) {
      Log(2, IDS_LOG_NUMBER_TRANSFER_ERROR, KeyTypeName(type), keyText.c_str(), L"", UINT(formatError),
          errorText.c_str());
    }
    Events->OnNumberTransferError(this, 0, formatError, errorText.c_str());
  } else if (!text.empty()) {
    Events->OnNumberTransfer(this, 0);
    if (LogLevel() >= 5) Log(0, IDS_LOG_NUMBER_TRANSFERRED, text.c_str(), KeyTypeName(type), keyText.c_str(), L"");
  } else if (LogLevel() >= 2) {
    Log(1, IDS_LOG_NO_FORMAT_FOR_KEY, KeyTypeName(type), keyText.c_str());
  }
}

bool CReader::ConnectAddress(_ADDRESS_INFO* record) {
  UINT timeout, tries;
  {
    CCriticalSectionLock lock(&Lock);
    record->Flags &= ~AF_CONNECT_DUE;
    // A reconnect asked for before this attempt (and not yet taken up) is answered by it.
    record->Changes &= ~0x1u;
    timeout = RequestTimeout;
    tries = RequestTries;
    record->Time = Ticks();
    record->State = RS_CONNECTING;
  }
  try {
    UINT hwCode = 0, serial = 0xFFFFFFFF, version = 0;
    std::wstring info;
    if (QueryConverterInfo(Address, &hwCode, &serial, &version, timeout, int(tries), &info)) {
      const UINT model = ModelFromHwCode(hwCode);
      {
        CCriticalSectionLock lock(&Lock);
        record->Model = model;
        record->SerialNumber = serial;
        record->Version = version;
        if (model == RM_UNKNOWN) record->Flags |= AF_UNSUPPORTED;
      }
      if (model == RM_UNKNOWN) {
        std::wstring text;
        LoadStrFormat(text, IDS_MODEL_NOT_SUPPORTED, hwCode);
        SetLastError(E_FAIL, text.c_str());
      } else {
        PollAddressKey(true, record);
        {
          CCriticalSectionLock lock(&Lock);
          record->InfoText = info;
          record->State = RS_CONNECTED;
        }
        ReportConnected(model, serial, version);
        return true;
      }
    }
  } catch (const CKdPortException& e) {
    SetLastError(e.Code(), WideMessage(e).c_str());
    // The link itself failed, not the address: that is the converter's port error, which disconnects
    // it and brings the link back. Kept to the address it would leave a dead link that no connected
    // address polls, and every reconnect of the address would fail on it again.
    {
      CCriticalSectionLock lock(&Lock);
      record->State = RS_DISCONNECTED;
    }
    throw;
  } catch (const std::exception& e) {
    SetLastError(E_FAIL, WideMessage(e).c_str());
  }
  // Also after an identification whose first key poll failed: a record left connecting would never
  // be taken up again, while a disconnected one is connected on the next reconnect request.
  CCriticalSectionLock lock(&Lock);
  record->State = RS_DISCONNECTED;
  return false;
}

void CReader::StartConverter() {
  {
    // A converter that connects again (after a port error, say) connects its readers again too.
    CCriticalSectionLock lock(&Lock);
    for (auto& entry : AddressMap) {
      if (entry.second.State != RS_CONNECTED) entry.second.Flags |= AF_CONNECT_DUE;
    }
  }
  for (auto& entry : AddressMap) {
    if (!Running) break;
    if (entry.second.State != RS_CONNECTED) continue;
    Address = entry.first;
    PollAddressKey(true, &entry.second);
  }
  Address = -1;
}

void CReader::ConverterModePoll() {
  if (StatusFlags & RSF_PORT_EVENT) {
    // Every exchange is a request and its reply: bytes that come on their own are stale.
    Port->Purge(true, false);
    StatusFlags &= ~RSF_PORT_EVENT;
  }
  for (auto& entry : AddressMap) {
    if (!Running) break;
    Address = entry.first;
    _ADDRESS_INFO& record = entry.second;
    if (record.Flags & AF_CONNECT_DUE) ConnectAddress(&record);
    if (record.State != RS_CONNECTED || KeyPollPeriod == INFINITE) continue;
    if (TimerDue(NextWait, record.Time, KeyPollPeriod, Ticks())) {
      PollAddressKey(false, &record);
      ShortenWait(NextWait, KeyPollPeriod);
    }
  }
  Address = -1;
}

bool CReader::IdentifyAddress(PORT_KIND kind, const wchar_t* port, BYTE stopBits, UINT connectTimeout, UINT rxPeriod,
                              UINT requestTimeout, UINT requestTries, std::wstring* info) {
  if (!OpenOrConfigurePort(kind, port, 9600, stopBits, connectTimeout, rxPeriod)) return false;
  UINT hwCode = 0, serial = 0xFFFFFFFF, version = 0;
  if (!QueryConverterInfo(Address, &hwCode, &serial, &version, requestTimeout, int(requestTries), info)) return false;
  if (ModelFromHwCode(hwCode) == RM_UNKNOWN) {
    std::wstring text;
    LoadStrFormat(text, IDS_MODEL_NOT_SUPPORTED, hwCode);
    SetLastError(E_FAIL, text.c_str());
    return false;
  }
  return true;
}
