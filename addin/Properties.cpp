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
#include "PortEnum.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

constexpr long PROP_TEMIC_SCAN = 31;
constexpr long PROP_FIRST_SOUND = 37;
constexpr long PROP_LAST_SOUND = 42;
constexpr long PROP_FORMAT_COUNT = 44;
constexpr long PROP_KEY_FILTER_COUNT = 45;
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

void PutI4(tVariant* value, UINT number) {
  value->ullVal = 0;
  value->lVal = int32_t(number);
  value->vt = VTYPE_I4;
}

void PutUI4(tVariant* value, UINT number) {
  value->ullVal = 0;
  value->ulVal = number;
  value->vt = VTYPE_UI4;
}

// Whatever the value's type, a number is its first 32 bits and a truth value its first byte.
UINT NumberOf(const tVariant* value) { return value->ulVal; }
bool TruthOf(const tVariant* value) { return value->ui8Val != 0; }

bool IsText(const tVariant* value) { return VariantType(value) == VTYPE_PWSTR; }

std::wstring TextOf(const tVariant* value) {
  if (!value->pwstrVal) return std::wstring();
  return std::wstring(value->pwstrVal, value->wstrLen);
}

UINT WithBit(UINT word, UINT bit, bool on) { return on ? (word | bit) : (word & ~bit); }

// A settings number of part 1 or 2: the mark only when the value changes.
void SetNumber(CVombra& addin, UINT& member, UINT number, UINT part) {
  if (member == number) return;
  member = number;
  addin.ModifiedParts |= part;
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
      const size_t chars = value->pwstrVal ? value->wstrLen : 0;
      if (chars > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        length = HexToBytesReversed(text + 2, int(std::min(chars - 2, maxChars)), data, maxBytes);
      } else {
        length = HexToBytes(text, int(std::min(chars, maxChars)), data, maxBytes);
      }
      break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB:
      if (value->strLen == 0 || !value->pstrVal) {
        std::memset(&key, 0, sizeof key);
        return true;
      }
      MakeAuthKey(reinterpret_cast<const BYTE*>(value->pstrVal), int(std::min<size_t>(value->strLen, maxBytes)),
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
  std::wstring path = TextOf(value);
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
  const bool parsed = ParseTemicScanList(TextOf(value), list);
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
  const bool truth = TruthOf(value);
  switch (number) {
    case 0: SetNumber(addin, addin.SearchFlags, WithBit(addin.SearchFlags, SF_STD_COM, truth), SP_MAIN); break;
    case 1: SetNumber(addin, addin.SearchFlags, WithBit(addin.SearchFlags, SF_VIRTUAL_COM, truth), SP_MAIN); break;
    case 2: SetNumber(addin, addin.SearchFlags, WithBit(addin.SearchFlags, SF_CCID, truth), SP_MAIN); break;
    case 3: SetNumber(addin, addin.SearchFlags, WithBit(addin.SearchFlags, SF_IP, truth), SP_MAIN); break;
    case 4: SetNumber(addin, addin.FindIpTimeout, n, SP_MAIN); break;
    case 5: SetNumber(addin, addin.FindIpTries, n, SP_MAIN); break;
    case 6: {
      if (!IsText(value)) return VOMBRA_E_PARAM_TYPE;
      std::wstring port = TextOf(value);
      addin.LiveParams.Port = port;
      if (addin.SavedParams.Port != port) {
        addin.SavedParams.Port.swap(port);
        addin.ModifiedParts |= SP_MAIN;
      }
      break;
    }
    case 7:
      if (n > MAX_MODEL) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Model, n);
      break;
    case 8: SetConnection(addin, &_READERPARAMS_INFO::Speed, n); break;
    case 9: SetConnection(addin, &_READERPARAMS_INFO::StopBits, n); break;
    case 10: SetConnection(addin, &_READERPARAMS_INFO::ConnectTimeout, n); break;
    case 11: SetConnection(addin, &_READERPARAMS_INFO::ConnectPeriod, n); break;
    case 12: SetConnection(addin, &_READERPARAMS_INFO::RxPeriod, n); break;
    case 13: SetConnection(addin, &_READERPARAMS_INFO::RequestTimeout, n); break;
    case 14: SetConnection(addin, &_READERPARAMS_INFO::RequestTries, n); break;
    case 15: SetConnectionFlag(addin, RDF_WIEGAND, truth); break;
    case 16: SetConnectionFlag(addin, RDF_BINARY, truth); break;
    case 17: SetConnectionFlag(addin, RDF_DIFFERENT_CODES, truth); break;
    case 18: SetConnectionFlag(addin, RDF_NVT, truth); break;
    case 19: SetConnection(addin, &_READERPARAMS_INFO::FormatId, n); break;
    case 20:
      if (!IsPrefixValue(n)) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Prefix, n);
      break;
    case 21:
      if (!IsPrefixValue(n)) return E_INVALIDARG;
      SetConnection(addin, &_READERPARAMS_INFO::Suffix, n);
      break;
    case 22:
      if (n > MAX_LOG_LEVEL) return E_INVALIDARG;
      SetNumber(addin, addin.LogLevel, n, SP_MAIN);
      break;
    case 23: SetNumber(addin, addin.LogMaxSize, n, SP_MAIN); break;
    case 24: {
      // Reader threads read the default format under the lock.
      CCriticalSectionLock lock(&addin.Lock);
      SetNumber(addin, addin.DefaultFormatId, n, SP_LISTS);
      break;
    }
    case 25: SetNumber(addin, addin.KeyTypes, n, SP_MAIN); break;
    case 26: SetNumber(addin, addin.IdentKeyDelay, n, SP_MAIN); break;
    case 27: SetNumber(addin, addin.DelayKeyTypes, WithBit(addin.DelayKeyTypes, DKT_MIFARE_CLASSIC, truth), SP_MAIN); break;
    case 28: SetNumber(addin, addin.DelayKeyTypes, WithBit(addin.DelayKeyTypes, DKT_MIFARE_PLUS, truth), SP_MAIN); break;
    case 29: SetNumber(addin, addin.DelayKeyTypes, WithBit(addin.DelayKeyTypes, DKT_MIFARE_UL, truth), SP_MAIN); break;
    case 30: SetNumber(addin, addin.DelayKeyTypes, WithBit(addin.DelayKeyTypes, DKT_TEMIC, truth), SP_MAIN); break;
    case PROP_TEMIC_SCAN: return SetTemicScanList(addin, value);
    case 32: SetBool(addin, addin.MifareC.Enabled, truth); break;
    case 33: SetBool(addin, addin.MifareP.Enabled, truth); break;
    case 34: SetBool(addin, addin.MifareUL.Enabled, truth); break;
    case 35: SetBool(addin, addin.Temic.Enabled, truth); break;
    case 36:
      if (addin.SoundEnabled == truth) break;
      addin.SoundEnabled = truth;
      addin.ModifiedParts |= SP_MAIN;
      if (!truth) addin.CloseMedia();
      break;
    case 37:
    case 38:
    case 39:
    case 40:
    case 41:
    case PROP_LAST_SOUND:
      return SetSoundPath(addin, int(number - PROP_FIRST_SOUND), value);
    case 43:
      if ((addin.ModifiedParts != 0) != truth) addin.ModifiedParts = truth ? UINT(SP_ALL) : 0u;
      break;
    case 46:
      if (!SetAuthKey(addin.AuthKeyMC, value, MC_KEY_BYTES, true)) return VOMBRA_E_PARAM_TYPE;
      break;
    case 47:
      if (!SetAuthKey(addin.AuthKeyMP, value, MP_KEY_BYTES, false)) return VOMBRA_E_PARAM_TYPE;
      break;
    default:
      return REFUSED_QUIETLY;  // the counts 44 and 45, and numbers outside the table
  }
  return S_OK;
}

std::wstring LogName(long number) {
  if (number < 0 || number >= VOMBRA_PROP_COUNT) {
    std::wstring name;
    StrFormat(name, L"#%ld", number);
    return name;
  }
  return PRIMARYLANGID(LANGIDFROMLCID(g_lcid)) == LANG_RUSSIAN ? g_PropNamesRu[number] : g_PropNames[number];
}

}  // namespace

bool CVombra::GetPropVal(const long number, tVariant* value) {
  if (!value || number < 0 || number >= VOMBRA_PROP_COUNT) return false;
  // A text is copied first and handed to the host's memory after the lock is released.
  std::wstring text;
  bool isText = false;
  switch (number) {
    case 0: PutBool(value, SearchFlags & SF_STD_COM); break;
    case 1: PutBool(value, SearchFlags & SF_VIRTUAL_COM); break;
    case 2: PutBool(value, SearchFlags & SF_CCID); break;
    case 3: PutBool(value, SearchFlags & SF_IP); break;
    case 4: PutUI4(value, FindIpTimeout); break;
    case 5: PutI4(value, FindIpTries); break;
    case 6:
      text = LiveParams.Port;
      isText = true;
      break;
    case 7: PutI4(value, LiveParams.Model); break;
    case 8: PutI4(value, LiveParams.Speed); break;
    case 9: PutI4(value, LiveParams.StopBits); break;
    case 10: PutI4(value, LiveParams.ConnectTimeout); break;
    case 11: PutI4(value, LiveParams.ConnectPeriod); break;
    case 12: PutI4(value, LiveParams.RxPeriod); break;
    case 13: PutI4(value, LiveParams.RequestTimeout); break;
    case 14: PutI4(value, LiveParams.RequestTries); break;
    case 15: PutBool(value, LiveParams.Flags & RDF_WIEGAND); break;
    case 16: PutBool(value, LiveParams.Flags & RDF_BINARY); break;
    case 17: PutBool(value, LiveParams.Flags & RDF_DIFFERENT_CODES); break;
    case 18: PutBool(value, LiveParams.Flags & RDF_NVT); break;
    case 19: PutUI4(value, LiveParams.FormatId); break;
    case 20: PutI4(value, LiveParams.Prefix); break;
    case 21: PutI4(value, LiveParams.Suffix); break;
    case 22: PutI4(value, LogLevel); break;
    case 23: PutUI4(value, LogMaxSize); break;
    case 24: PutUI4(value, DefaultFormatId); break;
    case 25: PutUI4(value, KeyTypes); break;
    case 26: PutI4(value, IdentKeyDelay); break;
    case 27: PutBool(value, DelayKeyTypes & DKT_MIFARE_CLASSIC); break;
    case 28: PutBool(value, DelayKeyTypes & DKT_MIFARE_PLUS); break;
    case 29: PutBool(value, DelayKeyTypes & DKT_MIFARE_UL); break;
    case 30: PutBool(value, DelayKeyTypes & DKT_TEMIC); break;
    case PROP_TEMIC_SCAN: {
      CCriticalSectionLock lock(&Lock);
      text = TemicScanListText(Temic.ScanParams);
      isText = true;
      break;
    }
    case 32: PutBool(value, MifareC.Enabled); break;
    case 33: PutBool(value, MifareP.Enabled); break;
    case 34: PutBool(value, MifareUL.Enabled); break;
    case 35: PutBool(value, Temic.Enabled); break;
    case 36: PutBool(value, SoundEnabled); break;
    case 37:
    case 38:
    case 39:
    case 40:
    case 41:
    case PROP_LAST_SOUND: {
      CCriticalSectionLock lock(&Lock);
      text = SoundFileList[number - PROP_FIRST_SOUND];
      isText = true;
      break;
    }
    case 43: PutBool(value, ModifiedParts != 0); break;
    case PROP_FORMAT_COUNT: {
      CCriticalSectionLock lock(&Lock);
      PutI4(value, UINT(Formats.size()));
      break;
    }
    case PROP_KEY_FILTER_COUNT: {
      CCriticalSectionLock lock(&Lock);
      PutI4(value, UINT(KeyFilters.size()));
      break;
    }
    case 46:
      text = AuthKeyText(AuthKeyMC);
      isText = true;
      break;
    case 47:
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
  if (LogLevel >= 6) {
    std::wstring text;
    if (value) VariantToText(value, text);
    Log(0, nullptr, 1044, LogName(number).c_str(), text.c_str());
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
      Log(0, nullptr, 1045);
    } else if (outcome == REFUSED_QUIETLY) {
      // The last error belongs to an earlier call and stays as it is; the log still says why.
      std::wstring text = LastErrorText;
      if (text.empty()) FormatMessageText(text, g_hResInstance, DWORD(LastError));
      Log(2, nullptr, 1046, LastError, text.c_str());
    } else {
      FillLastErrorText();
      Log(2, nullptr, 1046, LastError, LastErrorText.c_str());
    }
  }
  return answer;
}
