// The methods with which the application reads and edits the key-filter and format lists, checks a
// format and formats a key without a reader; and the finders they share with the readers.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>

#include "Core.h"
#include "FormatApply.h"
#include "KdParser.h"
#include "Messages.h"
#include "MethodSupport.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

// MinGW's winerror.h lacks it.
constexpr HRESULT INDEX_BOUNDS = HRESULT(0x8000000B);  // E_BOUNDS
constexpr UINT KEY_TYPE_LIMIT = 22;      // key types are 0..21
constexpr UINT KEY_FILTER_ID_MAX = 31;
constexpr UINT NEW_FILTER_FLAGS = 1;     // what the registry load gives every filter
constexpr UINT NEW_FORMAT_KEYFILTERS = 1;
constexpr UINT NEW_FORMAT_FLAGS = 2;     // SaveInVombra

// An index argument; an index outside the list is refused with E_BOUNDS by the caller.
bool InList(int32_t index, size_t size) { return index >= 0 && size_t(index) < size; }

// The key of Format from its last argument; false for a type that holds no key.
bool KeyFromArgument(const tVariant& value, _KEYNUM_INFO& key) {
  std::memset(&key, 0, sizeof key);
  size_t bytes = 0;
  switch (VariantType(&value)) {
    case VTYPE_EMPTY:
    case VTYPE_NULL:
      return true;
    case VTYPE_I1:
    case VTYPE_UI1:
      bytes = 1;
      break;
    case VTYPE_I2:
    case VTYPE_UI2:
      bytes = 2;
      break;
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_INT:
    case VTYPE_UINT:
      bytes = 4;
      break;
    case VTYPE_I8:
    case VTYPE_UI8:
      bytes = 8;
      break;
    case VTYPE_BLOB:
    case VTYPE_PSTR: {
      size_t length = std::min<size_t>(BlockBytes(value), sizeof key.Data);
      if (length) std::memcpy(key.Data, value.pstrVal, length);
      key.Length = BYTE(length);
      return true;
    }
    case VTYPE_PWSTR: {
      const wchar_t* text = value.pwstrVal;
      int length = int(std::min<size_t>(TextChars(value), 0x7FFFFFFF));
      if (length > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        key.Length = BYTE(HexToBytesReversed(text + 2, length - 2, key.Data, sizeof key.Data));
      } else if (length > 0) {
        key.Length = BYTE(HexToBytes(text, length, key.Data, sizeof key.Data));
      }
      return true;
    }
    default:
      return false;
  }
  // Integers: the value's own bytes, least significant first (the platform is little-endian).
  std::memcpy(key.Data, &value.ullVal, bytes);
  key.Length = BYTE(bytes);
  return true;
}

}  // namespace

int KeyFilterIndexById(const std::vector<_KEYFILTER_INFO>& list, UINT id) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].Id == id) return int(i);
  }
  return -1;
}

int FormatIndexByName(const std::vector<_FORMAT_INFO>& list, const wchar_t* name) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].Name == name) return int(i);
  }
  return -1;
}

UINT CVombra::NextKeyFilterId() {
  auto isFree = [this](UINT id) { return KeyFilterIndexById(KeyFilters, id) < 0; };
  // A stored next ID of 0 (a load without the subkey) must not hand out 0.
  const UINT start = KeyFilterNewId ? KeyFilterNewId : 1;
  for (UINT id = start; id <= KEY_FILTER_ID_MAX; ++id) {
    if (isFree(id)) return id;
  }
  for (UINT id = 1; id < start && id <= KEY_FILTER_ID_MAX; ++id) {
    if (isFree(id)) return id;
  }
  return 0;
}

bool CVombra::FindKeyFilterByID(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetI4(result, KeyFilterIndexById(KeyFilters, params[0].ulVal));
  return true;
}

bool CVombra::FindKeyFilterForKey(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 3) return Refuse();
  static const VARIANT_TYPE types[] = {VTYPE_I4, VTYPE_I4, VTYPE_I4};
  if (!CheckArgs(params, count, types, 3)) return Refuse();
  const UINT keyType = params[0].ulVal;
  if (keyType >= KEY_TYPE_LIMIT) return Refuse();
  SetI4(result, KeyFilterIndexForKey(KeyFilters, keyType, params[1].ulVal, params[2].lVal));
  return true;
}

bool CVombra::GetKeyFilter(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4};
  if (!CheckArgs(params, count, types, 1)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, KeyFilters.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  const _KEYFILTER_INFO& filter = KeyFilters[size_t(index)];
  StringToVariant(&params[1], filter.Name.c_str());
  SetUI4(&params[2], filter.KeyTypes);
  SetI4(&params[3], int32_t(filter.KeySize));
  SetUI4(&params[4], filter.FormatId);
  SetUI4(&params[5], filter.Id);
  SetBool(result, true);
  return true;
}

bool CVombra::SetKeyFilter(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 5) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4, VTYPE_PWSTR, VTYPE_UI4, VTYPE_I4, VTYPE_UI4};
  if (!CheckArgs(params, count, types, 5, 0x1E)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, KeyFilters.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  const bool hasName = IsGiven(params[1]);
  std::wstring name;
  if (hasName) {
    name = TextUpToNul(params[1]);
    if (name.empty()) {
      SetError(VOMBRA_E_KEYFILTER_NAME, nullptr);
      return true;
    }
    // The edited filter's own name counts too: applications rely on this answer.
    if (KeyFilterIndexByName(KeyFilters, name.c_str()) >= 0) {
      SetError(VOMBRA_E_KEYFILTER_EXISTS, nullptr);
      return true;
    }
  }
  {
    CCriticalSectionLock lock(&Lock);
    _KEYFILTER_INFO& filter = KeyFilters[size_t(index)];
    if (hasName) filter.Name = std::move(name);
    if (IsGiven(params[2])) filter.KeyTypes = params[2].ulVal;
    if (IsGiven(params[3])) filter.KeySize = params[3].ulVal;
    if (IsGiven(params[4])) filter.FormatId = params[4].ulVal;
    KeyFilterSortCol = 0;
    ModifiedParts |= SP_LISTS;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::InsertKeyFilter(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4, VTYPE_PWSTR, VTYPE_UI4, VTYPE_I4, VTYPE_UI4, VTYPE_EMPTY};
  if (!CheckArgs(params, count, types, 6, 0x30)) return true;
  _KEYFILTER_INFO filter;
  filter.Name = TextUpToNul(params[1]);
  if (filter.Name.empty()) {
    SetError(VOMBRA_E_KEYFILTER_NAME, nullptr);
    return true;
  }
  if (KeyFilterIndexByName(KeyFilters, filter.Name.c_str()) >= 0) {
    SetError(VOMBRA_E_KEYFILTER_EXISTS, nullptr);
    return true;
  }
  filter.KeyTypes = params[2].ulVal;
  filter.KeySize = params[3].ulVal;
  filter.Flags = NEW_FILTER_FLAGS;
  filter.FormatId = IsGiven(params[4]) ? params[4].ulVal : 0;

  int32_t index = params[0].lVal;
  {
    CCriticalSectionLock lock(&Lock);
    filter.Id = NextKeyFilterId();
    if (filter.Id == 0) {
      SetError(VOMBRA_E_KEYFILTER_LIMIT, nullptr);
      return true;
    }
    KeyFilterNewId = filter.Id + 1;
    if (InList(index, KeyFilters.size())) {
      KeyFilters.insert(KeyFilters.begin() + index, filter);
    } else {
      KeyFilters.push_back(filter);
      index = int32_t(KeyFilters.size() - 1);
    }
    KeyFilterSortCol = 0;
    ModifiedParts |= SP_LISTS;
  }
  // The index goes back as an I4 whatever number type came in: a double left with only its low four
  // bytes overwritten would read back as garbage.
  SetI4(&params[0], index);
  if (!IsNullArg(params[5])) SetUI4(&params[5], filter.Id);
  SetBool(result, true);
  return true;
}

bool CVombra::DeleteKeyFilter(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4};
  if (!CheckArgs(params, count, types, 1)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, KeyFilters.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  {
    CCriticalSectionLock lock(&Lock);
    KeyFilters.erase(KeyFilters.begin() + index);
    ModifiedParts |= SP_LISTS;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::ClearKeyFilters(tVariant* result, tVariant*, long) {
  if (!result) return Refuse();
  if (!KeyFilters.empty()) {
    CCriticalSectionLock lock(&Lock);
    KeyFilters.clear();
    ModifiedParts |= SP_LISTS;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::FindFormatByID(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  const tVariant& value = params[0];
  UINT id = 0;
  switch (VariantType(&value)) {
    case VTYPE_I1: id = UINT(int32_t(value.i8Val)); break;
    case VTYPE_I2: id = UINT(int32_t(value.shortVal)); break;
    case VTYPE_UI1: id = value.ui8Val; break;
    case VTYPE_UI2: id = value.ushortVal; break;
    case VTYPE_I4:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8:
    case VTYPE_INT:
    case VTYPE_UINT:
      id = value.ulVal;
      break;
    default:
      return Refuse();
  }
  int index;
  {
    CCriticalSectionLock lock(&Lock);
    index = GetFormatIndex(id);
  }
  SetI4(result, index);
  return true;
}

bool CVombra::FindFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  if (VariantType(&params[0]) != VTYPE_PWSTR) return Refuse();
  SetI4(result, FormatIndexByName(Formats, TextUpToNul(params[0]).c_str()));
  return true;
}

bool CVombra::GetFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4};
  if (!CheckArgs(params, count, types, 1)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, Formats.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  const _FORMAT_INFO& format = Formats[size_t(index)];
  StringToVariant(&params[1], format.Name.c_str());
  StringToVariant(&params[2], format.Template.c_str());
  StringToVariant(&params[3], format.Params.c_str());
  StringToVariant(&params[4], format.Comment.c_str());
  SetUI4(&params[5], format.Id);
  SetBool(result, true);
  return true;
}

bool CVombra::SetFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 5) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_PWSTR};
  if (!CheckArgs(params, count, types, 5, 0x1E)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, Formats.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  CCriticalSectionLock lock(&Lock);
  _FORMAT_INFO& format = Formats[size_t(index)];
  if (IsGiven(params[1])) {
    std::wstring name = TextUpToNul(params[1]);
    if (name.empty()) {
      SetError(VOMBRA_E_FORMAT_NAME, nullptr);
      return true;
    }
    for (size_t i = 0; i < Formats.size(); ++i) {
      if (i != size_t(index) && Formats[i].Name == name) {
        SetError(VOMBRA_E_FORMAT_EXISTS, nullptr);
        return true;
      }
    }
    format.Name = std::move(name);
  }
  // Template and Params are stored unchecked; CheckFormat is there for that.
  if (IsGiven(params[2])) format.Template = TextUpToNul(params[2]);
  if (IsGiven(params[3])) format.Params = TextUpToNul(params[3]);
  if (IsGiven(params[4])) format.Comment = TextUpToNul(params[4]);
  ModifiedParts |= SP_LISTS;
  SetBool(result, true);
  return true;
}

bool CVombra::InsertFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 6) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_UI4};
  if (!CheckArgs(params, count, types, 6, 0x30)) return true;
  _FORMAT_INFO format;
  format.Name = TextUpToNul(params[1]);
  if (format.Name.empty()) {
    SetError(VOMBRA_E_FORMAT_NAME, nullptr);
    return true;
  }
  if (FormatIndexByName(Formats, format.Name.c_str()) >= 0) {
    SetError(VOMBRA_E_FORMAT_EXISTS, nullptr);
    return true;
  }
  format.Template = TextUpToNul(params[2]);
  format.Params = TextUpToNul(params[3]);
  if (IsGiven(params[4])) format.Comment = TextUpToNul(params[4]);
  format.KeyFilters = NEW_FORMAT_KEYFILTERS;
  format.Flags = NEW_FORMAT_FLAGS;

  int32_t index = params[0].lVal;
  {
    CCriticalSectionLock lock(&Lock);
    const UINT nextId = FormatNewId;
    format.Id = NextFormatId();
    if (format.Id == 0) {
      FormatNewId = nextId;  // a failed insert leaves the next ID as it was
      SetError(VOMBRA_E_FORMAT_LIMIT, nullptr);
      return true;
    }
    if (InList(index, Formats.size())) {
      Formats.insert(Formats.begin() + index, std::move(format));
    } else {
      Formats.push_back(std::move(format));
      index = int32_t(Formats.size() - 1);
    }
    FormatIndexCache.clear();
    ModifiedParts |= SP_LISTS;
  }
  // As in InsertKeyFilter, the index goes back as an I4.
  SetI4(&params[0], index);
  if (!IsNullArg(params[5])) SetUI4(&params[5], Formats[size_t(index)].Id);
  SetBool(result, true);
  return true;
}

bool CVombra::DeleteFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_I4};
  if (!CheckArgs(params, count, types, 1)) return true;
  const int32_t index = params[0].lVal;
  if (!InList(index, Formats.size())) {
    SetError(INDEX_BOUNDS, nullptr);
    return true;
  }
  {
    CCriticalSectionLock lock(&Lock);
    Formats.erase(Formats.begin() + index);
    FormatIndexCache.clear();
    ModifiedParts |= SP_LISTS;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::ClearFormats(tVariant* result, tVariant*, long) {
  if (!result) return Refuse();
  if (!Formats.empty()) {
    CCriticalSectionLock lock(&Lock);
    Formats.clear();
    FormatIndexCache.clear();
    ModifiedParts |= SP_LISTS;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::CheckFormat(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 3) return Refuse();
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_EMPTY};
  if (!CheckArgs(params, count, types, 3)) return true;
  size_t position = size_t(-1);
  std::wstring text;
  HRESULT code =
      CheckFormatText(TextUpToNul(params[0]).c_str(), TextUpToNul(params[1]).c_str(), &position, &text);
  SetI4(&params[2], position == size_t(-1) || position > 0x7FFFFFFF ? -1 : int32_t(position));
  if (code != S_OK) {
    SetError(code, text.c_str());
    return true;
  }
  SetBool(result, true);
  return true;
}

bool CVombra::Format(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 5) return Refuse();
  // False before anything can throw: the dispatcher then answers the call with this false result.
  SetBool(result, false);
  static const VARIANT_TYPE types[] = {VTYPE_EMPTY, VTYPE_PWSTR, VTYPE_PWSTR, VTYPE_UI4, VTYPE_EMPTY};
  if (!CheckArgs(params, count, types, 5)) return true;
  _KEYNUM_INFO key;
  if (params[3].ulVal >= KEY_TYPE_LIMIT || !KeyFromArgument(params[4], key)) {
    SetError(E_INVALIDARG, nullptr);
    return true;
  }
  std::wstring text;
  FormatKeyNumber(text, TextUpToNul(params[1]).c_str(), TextUpToNul(params[2]).c_str(), &key);
  StringToVariant(&params[0], text.c_str());
  SetError(S_OK, nullptr);
  SetBool(result, true);
  return true;
}
