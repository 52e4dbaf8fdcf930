// The 48 properties: the settings members, the live connection parameters and the two Mifare
// authentication keys as the host reads and writes them, with the marks that tell SaveSettings and
// Done which parts changed.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "Core.h"
#include "Exceptions.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "NameTables.h"
#include "PortEnum.h"
#include "ResourceIds.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

// The six sound paths fill slots 0 to 5 in property order, so from SoundFoundKey on a name is one slot
// early: SoundFoundKey holds the driver-error sound and SoundLostKey the key-found sound, as stored
// settings and applications already have them.
constexpr long PROP_FIRST_SOUND = PROP_SOUND_TRANSFER;
constexpr UINT MAX_MODEL = 12;
constexpr UINT MAX_LOG_LEVEL = 6;
constexpr UINT MAX_PREFIX = 127;
// A stored sound path this long would make every later settings load fail.
constexpr size_t MAX_SOUND_PATH = 259;
constexpr size_t MC_KEY_BYTES = 6;
constexpr size_t MP_KEY_BYTES = 16;

// The answer of a refusal that leaves the last error as it was (read-only and unknown numbers).
constexpr HRESULT REFUSED_QUIETLY = S_FALSE;

void PutBool(tVariant* value, bool truth) {
  value->ullVal = 0;
  value->bVal = truth;
  value->vt = VTYPE_BOOL;
}

// Whatever the value's type, a number is its first 32 bits (a truth value its first byte).
UINT NumberOf(const tVariant* value) { return value->ulVal; }

bool IsText(const tVariant* value) { return VariantType(value) == VTYPE_PWSTR; }

UINT WithBit(UINT word, UINT bit, bool on) { return on ? (word | bit) : (word & ~bit); }

// A settings number of part 1 or 2: the mark only when the value changes.
void SetNumber(CVombra& addin, UINT& member, UINT number, UINT part) {
  if (member == number) return;
  member = number;
  addin.ModifiedParts |= part;
}

// One bit of a settings word of part 1.
void SetBit(CVombra& addin, UINT& word, UINT bit, bool on) {
  SetNumber(addin, word, WithBit(word, bit, on), SP_MAIN);
}

void SetBool(CVombra& addin, bool& member, bool truth) {
  if (member == truth) return;
  member = truth;
  addin.ModifiedParts |= SP_MAIN;
}

// A connection number: the live value always, the stored one (and the mark) when it differs.
void SetConnection(CVombra& addin, UINT _READERPARAMS_INFO::*field, UINT number) {
  addin.LiveParams.*field = number;
  if (addin.SavedParams.*field == number) return;
  addin.SavedParams.*field = number;
  addin.ModifiedParts |= SP_MAIN;
}

void SetConnectionFlag(CVombra& addin, UINT bit, bool on) {
  addin.LiveParams.Flags = WithBit(addin.LiveParams.Flags, bit, on);
  if (((addin.SavedParams.Flags & bit) != 0) == on) return;
  addin.SavedParams.Flags = WithBit(addin.SavedParams.Flags, bit, on);
  addin.ModifiedParts |= SP_MAIN;
}

bool IsPrefixValue(UINT number) { return number <= MAX_PREFIX || number == 0xFFFFFFFFu; }

// Reads one "%d" the way the C run-time's scanner does: blanks skipped, an optional sign, at least
// one digit; the value wraps at 32 bits.
bool ReadDecimal(const wchar_t*& p, const wchar_t* end, int& number) {
  while (p < end && iswspace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == L'+' || *p == L'-')) {
    negative = *p == L'-';
    ++p;
  }
  if (p >= end || *p < L'0' || *p > L'9') return false;
  UINT value = 0;
  for (; p < end && *p >= L'0' && *p <= L'9'; ++p) value = value * 10 + UINT(*p - L'0');
  number = int(negative ? 0u - value : value);
  return true;
}

// How many of "%d,%d,%d" a piece gives.
int ScanPiece(const wchar_t* p, const wchar_t* end, int numbers[3]) {
  int read = 0;
  while (read < 3) {
    if (read > 0) {
      if (p >= end || *p != L',') break;
      ++p;
    }
    if (!ReadDecimal(p, end, numbers[read])) break;
    ++read;
  }
  return read;
}

// Parses the scan-list text into list; false at the first piece with fewer than two numbers, the
// entries before it kept.
bool ParseTemicScanList(const std::wstring& text, std::vector<UINT>& list) {
  const wchar_t* p = text.c_str();
  const wchar_t* const end = p + text.size();
  while (p < end) {
    const wchar_t* stop = std::find(p, end, L';');
    if (stop != p) {
      int numbers[3] = {0, 0, 0};
      int read = ScanPiece(p, stop, numbers);
      if (read < 2) return false;
      UINT entry = (UINT(numbers[0]) & 0xFF) | (UINT(numbers[1]) & 0xFF) << 8;
      if (read == 3) entry += UINT(numbers[2]) << 16;
      list.push_back(entry);
    }
    p = stop == end ? end : stop + 1;
  }
  return true;
}

std::wstring TemicScanListText(const std::vector<UINT>& list) {
  std::wstring text;
  for (UINT entry : list) {
    std::wstring piece;
    StrFormat(piece, L"%d,%d,%d;", int(entry & 0xFF), int((entry >> 8) & 0xFF), int(entry >> 16));
    text += piece;
  }
  return text;
}

// Applies one of the key forms to key; false for a type no form takes.
bool SetAuthKey(_AUTHKEY_INFO& key, const tVariant* value, size_t maxBytes, bool takesNumber) {
  BYTE data[sizeof key.Data] = {};
  size_t length = 0;
  const size_t maxChars = 2 * maxBytes;
  switch (VariantType(value)) {
    case VTYPE_PWSTR: {
      const wchar_t* text = value->pwstrVal ? value->pwstrVal : L"";
      const size_t chars = TextChars(*value);
      if (chars > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        length = HexToBytesReversed(text + 2, int(std::min(chars - 2, maxChars)), data, maxBytes);
      } else {
        length = HexToBytes(text, int(std::min(chars, maxChars)), data, maxBytes);
      }
      break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB:
      if (BlockBytes(*value) == 0) {
        std::memset(&key, 0, sizeof key);
        return true;
      }
      MakeAuthKey(reinterpret_cast<const BYTE*>(value->pstrVal), int(std::min<size_t>(BlockBytes(*value), maxBytes)),
                  key);
      return true;
    case VTYPE_I8:
    case VTYPE_UI8:
      if (!takesNumber) return false;
      for (size_t i = 0; i < MC_KEY_BYTES; ++i) data[i] = BYTE(value->ullVal >> (8 * i));
      length = MC_KEY_BYTES;
      break;
    default:
      return false;
  }
  std::memset(&key, 0, sizeof key);
  key.Length = BYTE(length);
  std::memcpy(key.Data, data, length);
  return true;
}

std::wstring AuthKeyText(const _AUTHKEY_INFO& key) {
  std::wstring text;
  BytesToHexStr(key.Data, std::min<size_t>(key.Length, sizeof key.Data), text);
  return text;
}

// Replaces the path of one sound slot; the open MCI file goes when its path changes.
HRESULT SetSoundPath(CVombra& addin, int slot, const tVariant* value) {
  if (!IsText(value)) return VOMBRA_E_PARAM_TYPE;
  std::wstring path = TextByLength(*value);
  if (path.size() > MAX_SOUND_PATH) return E_INVALIDARG;
  {
    // Reader threads and the window thread read the paths under the lock.
    CCriticalSectionLock lock(&addin.Lock);
    addin.SoundFileList[slot].swap(path);
  }
  if (addin.OpenSound == slot) addin.CloseMedia();
  addin.ModifiedParts |= SP_MAIN;
  return S_OK;
}

HRESULT SetTemicScanList(CVombra& addin, const tVariant* value) {
  if (!IsText(value)) return VOMBRA_E_PARAM_TYPE;
  std::vector<UINT> list;
  const bool parsed = ParseTemicScanList(TextByLength(*value), list);
  {
    // The Temic scan reads the list under the lock; it sees the old list or the new one, whole.
    CCriticalSectionLock lock(&addin.Lock);
    addin.Temic.ScanParams.swap(list);
  }
  if (!parsed) return E_INVALIDARG;
  addin.ModifiedParts |= SP_MAIN;
  return S_OK;
}

// S_OK, the code of a refused value, or REFUSED_QUIETLY.
HRESULT ApplyProperty(CVombra& addin, long number, const tVariant* value) {
  const UINT n = NumberOf(value);
  const bool truth = TruthOfFirstByte(*value);
  switch (number) {
    case PROP_SEARCH_STANDARD_COM_PORTS: SetBit(addin, addin.SearchFlags, SF_STD_COM, truth); break;
    case PROP_SEARCH_VIRTUAL_COM_PORTS: SetBit(addin, addin.SearchFlags, SF_VIRTUAL_COM, truth); break;
    case PROP_SEARCH_CCID: SetBit(addin, addin.SearchFlags, SF_CCID, truth); break;
    case PROP_SEARCH_IP_PORTS: SetBit(addin, addin.SearchFlags, SF_IP, truth); break;
    case PROP_FIND_IP_TIMEOUT: SetNumber(addin, addin.FindIpTimeout, n, SP_MAIN); break;
    case PROP_FIND_IP_TRIES: SetNumber(addin, addin.FindIpTries, n, SP_MAIN); break;
    case PROP_PORT: {
      if (!IsText(value)) return VOMBRA_E_PARAM_TYPE;
      std::wstring port = TextByLength(*value);
      addin.LiveParams.Port = port;
      if (addin.SavedParams.Port != port) {
        addin.SavedParams.Port.swap(port);
        addin.ModifiedParts |= SP_MAIN;
      }
      break;
    }
    case PROP_MODEL:
      if (n > MAX_MODEL) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Model, n);
      break;
    case PROP_SPEED: SetConnection(addin, &_READERPARAMS_INFO::Speed, n); break;
    case PROP_STOP_BITS: SetConnection(addin, &_READERPARAMS_INFO::StopBits, n); break;
    case PROP_CONNECT_TIMEOUT: SetConnection(addin, &_READERPARAMS_INFO::ConnectTimeout, n); break;
    case PROP_CONNECT_PERIOD: SetConnection(addin, &_READERPARAMS_INFO::ConnectPeriod, n); break;
    case PROP_RX_PERIOD: SetConnection(addin, &_READERPARAMS_INFO::RxPeriod, n); break;
    case PROP_REQUEST_TIMEOUT: SetConnection(addin, &_READERPARAMS_INFO::RequestTimeout, n); break;
    case PROP_REQUEST_TRIES: SetConnection(addin, &_READERPARAMS_INFO::RequestTries, n); break;
    case PROP_WIEGAND: SetConnectionFlag(addin, RDF_WIEGAND, truth); break;
    case PROP_BINARY_MODE: SetConnectionFlag(addin, RDF_BINARY, truth); break;
    case PROP_DIFFERENT_RK73: SetConnectionFlag(addin, RDF_DIFFERENT_CODES, truth); break;
    case PROP_NVT: SetConnectionFlag(addin, RDF_NVT, truth); break;
    case PROP_READER_FORMAT_ID: SetConnection(addin, &_READERPARAMS_INFO::FormatId, n); break;
    case PROP_PREFIX:
      if (!IsPrefixValue(n)) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Prefix, n);
      break;
    case PROP_SUFFIX:
      if (!IsPrefixValue(n)) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Suffix, n);
      break;
    case PROP_LOG_LEVEL:
      if (n > MAX_LOG_LEVEL) return E_INVALIDARG;
      SetNumber(addin, addin.LogLevel, n, SP_MAIN);
      break;
    case PROP_MAX_LOG_SIZE: SetNumber(addin, addin.LogMaxSize, n, SP_MAIN); break;
    case PROP_DEFAULT_FORMAT_ID: {
      // Reader threads read the default format under the lock.
      CCriticalSectionLock lock(&addin.Lock);
      SetNumber(addin, addin.DefaultFormatId, n, SP_LISTS);
      break;
    }
    case PROP_KEY_TYPES: SetNumber(addin, addin.KeyTypes, n, SP_MAIN); break;
    case PROP_KEY_HOLD_TIMEOUT: SetNumber(addin, addin.IdentKeyDelay, n, SP_MAIN); break;
    case PROP_HOLD_MIFARE_C: SetBit(addin, addin.DelayKeyTypes, DKT_MIFARE_CLASSIC, truth); break;
    case PROP_HOLD_MIFARE_P: SetBit(addin, addin.DelayKeyTypes, DKT_MIFARE_PLUS, truth); break;
    case PROP_HOLD_MIFARE_UL: SetBit(addin, addin.DelayKeyTypes, DKT_MIFARE_UL, truth); break;
    case PROP_HOLD_TEMIC: SetBit(addin, addin.DelayKeyTypes, DKT_TEMIC, truth); break;
    case PROP_TEMIC_SCAN_PARAMETERS: return SetTemicScanList(addin, value);
    case PROP_AUTO_MIFARE_C: SetBool(addin, addin.MifareC.Enabled, truth); break;
    case PROP_AUTO_MIFARE_P: SetBool(addin, addin.MifareP.Enabled, truth); break;
    case PROP_AUTO_MIFARE_UL: SetBool(addin, addin.MifareUL.Enabled, truth); break;
    case PROP_AUTO_TEMIC: SetBool(addin, addin.Temic.Enabled, truth); break;
    case PROP_SOUND_ENABLED:
      if (addin.SoundEnabled == truth) break;
      addin.SoundEnabled = truth;
      addin.ModifiedParts |= SP_MAIN;
      if (!truth) addin.CloseMedia();
      break;
    case PROP_SOUND_TRANSFER:
    case PROP_SOUND_TRANSFER_ERROR:
    case PROP_SOUND_CONNECTIONS:
    case PROP_SOUND_DISCONNECTIONS:
    case PROP_SOUND_FOUND_KEY:
    case PROP_SOUND_LOST_KEY:
      return SetSoundPath(addin, int(number - PROP_FIRST_SOUND), value);
    case PROP_SETTINGS_MODIFIED:
      if ((addin.ModifiedParts != 0) != truth) addin.ModifiedParts = truth ? UINT(SP_ALL) : 0u;
      break;
    case PROP_AUTHORIZATION_KEY_MC:
      if (!SetAuthKey(addin.AuthKeyMC, value, MC_KEY_BYTES, true)) return VOMBRA_E_PARAM_TYPE;
      break;
    case PROP_AUTHORIZATION_KEY_MP:
      if (!SetAuthKey(addin.AuthKeyMP, value, MP_KEY_BYTES, false)) return VOMBRA_E_PARAM_TYPE;
      break;
    default:
      return REFUSED_QUIETLY;  // the two counts, and numbers outside the table
  }
  return S_OK;
}

}  // namespace

bool CVombra::GetPropVal(const long number, tVariant* value) {
  if (!value || number < 0 || number >= VOMBRA_PROP_COUNT) return false;
  CallScope call(*this);
  // A text is copied first and handed to the host's memory after the lock is released.
  std::wstring text;
  bool isText = false;
  switch (number) {
    case PROP_SEARCH_STANDARD_COM_PORTS: PutBool(value, SearchFlags & SF_STD_COM); break;
    case PROP_SEARCH_VIRTUAL_COM_PORTS: PutBool(value, SearchFlags & SF_VIRTUAL_COM); break;
    case PROP_SEARCH_CCID: PutBool(value, SearchFlags & SF_CCID); break;
    case PROP_SEARCH_IP_PORTS: PutBool(value, SearchFlags & SF_IP); break;
    case PROP_FIND_IP_TIMEOUT: SetUI4(value, FindIpTimeout); break;
    case PROP_FIND_IP_TRIES: SetI4(value, int32_t(FindIpTries)); break;
    case PROP_PORT:
      text = LiveParams.Port;
      isText = true;
      break;
    case PROP_MODEL: SetI4(value, int32_t(LiveParams.Model)); break;
    case PROP_SPEED: SetI4(value, int32_t(LiveParams.Speed)); break;
    case PROP_STOP_BITS: SetI4(value, int32_t(LiveParams.StopBits)); break;
    case PROP_CONNECT_TIMEOUT: SetI4(value, int32_t(LiveParams.ConnectTimeout)); break;
    case PROP_CONNECT_PERIOD: SetI4(value, int32_t(LiveParams.ConnectPeriod)); break;
    case PROP_RX_PERIOD: SetI4(value, int32_t(LiveParams.RxPeriod)); break;
    case PROP_REQUEST_TIMEOUT: SetI4(value, int32_t(LiveParams.RequestTimeout)); break;
    case PROP_REQUEST_TRIES: SetI4(value, int32_t(LiveParams.RequestTries)); break;
    case PROP_WIEGAND: PutBool(value, LiveParams.Flags & RDF_WIEGAND); break;
    case PROP_BINARY_MODE: PutBool(value, LiveParams.Flags & RDF_BINARY); break;
    case PROP_DIFFERENT_RK73: PutBool(value, LiveParams.Flags & RDF_DIFFERENT_CODES); break;
    case PROP_NVT: PutBool(value, LiveParams.Flags & RDF_NVT); break;
    case PROP_READER_FORMAT_ID: SetUI4(value, LiveParams.FormatId); break;
    case PROP_PREFIX: SetI4(value, int32_t(LiveParams.Prefix)); break;
    case PROP_SUFFIX: SetI4(value, int32_t(LiveParams.Suffix)); break;
    case PROP_LOG_LEVEL: SetI4(value, int32_t(LogLevel)); break;
    case PROP_MAX_LOG_SIZE: SetUI4(value, LogMaxSize); break;
    case PROP_DEFAULT_FORMAT_ID: SetUI4(value, DefaultFormatId); break;
    case PROP_KEY_TYPES: SetUI4(value, KeyTypes); break;
    case PROP_KEY_HOLD_TIMEOUT: SetI4(value, int32_t(IdentKeyDelay)); break;
    case PROP_HOLD_MIFARE_C: PutBool(value, DelayKeyTypes & DKT_MIFARE_CLASSIC); break;
    case PROP_HOLD_MIFARE_P: PutBool(value, DelayKeyTypes & DKT_MIFARE_PLUS); break;
    case PROP_HOLD_MIFARE_UL: PutBool(value, DelayKeyTypes & DKT_MIFARE_UL); break;
    case PROP_HOLD_TEMIC: PutBool(value, DelayKeyTypes & DKT_TEMIC); break;
    case PROP_TEMIC_SCAN_PARAMETERS: {
      CCriticalSectionLock lock(&Lock);
      text = TemicScanListText(Temic.ScanParams);
      isText = true;
      break;
    }
    case PROP_AUTO_MIFARE_C: PutBool(value, MifareC.Enabled); break;
    case PROP_AUTO_MIFARE_P: PutBool(value, MifareP.Enabled); break;
    case PROP_AUTO_MIFARE_UL: PutBool(value, MifareUL.Enabled); break;
    case PROP_AUTO_TEMIC: PutBool(value, Temic.Enabled); break;
    case PROP_SOUND_ENABLED: PutBool(value, SoundEnabled); break;
    case PROP_SOUND_TRANSFER:
    case PROP_SOUND_TRANSFER_ERROR:
    case PROP_SOUND_CONNECTIONS:
    case PROP_SOUND_DISCONNECTIONS:
    case PROP_SOUND_FOUND_KEY:
    case PROP_SOUND_LOST_KEY: {
      CCriticalSectionLock lock(&Lock);
      text = SoundFileList[number - PROP_FIRST_SOUND];
      isText = true;
      break;
    }
    case PROP_SETTINGS_MODIFIED: PutBool(value, ModifiedParts != 0); break;
    case PROP_FORMAT_COUNT: {
      CCriticalSectionLock lock(&Lock);
      SetI4(value, int32_t(Formats.size()));
      break;
    }
    case PROP_KEY_FILTER_COUNT: {
      CCriticalSectionLock lock(&Lock);
      SetI4(value, int32_t(KeyFilters.size()));
      break;
    }
    case PROP_AUTHORIZATION_KEY_MC:
      text = AuthKeyText(AuthKeyMC);
      isText = true;
      break;
    case PROP_AUTHORIZATION_KEY_MP:
      text = AuthKeyText(AuthKeyMP);
      isText = true;
      break;
    default:
      return false;
  }
  if (!isText) return true;
  try {
    StringToVariant(value, text.c_str());
  } catch (const std::exception& e) {
    SetErrorA(E_FAIL, e.what());
    AddError(LastErrorText.c_str(), HostErrorCode(E_FAIL));
    return false;
  }
  return true;
}

bool CVombra::SetPropVal(const long number, tVariant* value) {
  CallScope call(*this);
  if (LogLevel >= 6) {
    std::wstring text;
    if (value) VariantToText(value, text);
    Log(0, nullptr, IDS_LOG_SET_PROPERTY, PropLogName(number).c_str(), text.c_str());
  }

  HRESULT outcome = REFUSED_QUIETLY;
  bool answer = false;
  try {
    if (value) outcome = ApplyProperty(*this, number, value);
    answer = outcome == S_OK;
    if (!answer && outcome != REFUSED_QUIETLY) SetError(outcome, nullptr);
  } catch (const CComException& e) {
    SetErrorAndReport(e.Code(), e.what());
    outcome = e.Code();
  } catch (const std::bad_alloc&) {
    SetErrorAndReport(E_OUTOFMEMORY, nullptr);
    outcome = E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    SetErrorAndReport(E_FAIL, e.what());
    outcome = E_FAIL;
  }

  if (LogLevel >= 6) {
    if (answer) {
      Log(0, nullptr, IDS_LOG_SET_PROPERTY_DONE);
    } else if (outcome == REFUSED_QUIETLY) {
      // The last error belongs to an earlier call and stays as it is; the log still says why.
      std::wstring text = LastErrorText;
      if (text.empty()) FormatMessageText(text, g_hResInstance, DWORD(LastError));
      Log(2, nullptr, IDS_LOG_SET_PROPERTY_ERROR, LastError, text.c_str());
    } else {
      FillLastErrorText();
      Log(2, nullptr, IDS_LOG_SET_PROPERTY_ERROR, LastError, LastErrorText.c_str());
    }
  }
  return answer;
}
