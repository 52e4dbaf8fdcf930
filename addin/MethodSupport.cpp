// The helpers every method body stands on: its arguments, the last error it reports through, the
// host's error report, the device its ID names and the results it hands into the host's memory.
#include "MethodSupport.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "Core.h"
#include "Messages.h"
#include "ResourceIds.h"
#include "Vombra.h"

namespace {

// What the host's AddError receives as code and source with every report of ours.
constexpr unsigned short ADDERROR_CODE = 1004;
const wchar_t ERROR_SOURCE[] = L"Vombra";

// Optional bits reach as far as the mask does; no method has more parameters than that.
constexpr long kOptionalBits = 32;

bool IsNumberType(uint16_t type) {
  return (type >= VTYPE_I2 && type <= VTYPE_R8) || type == VTYPE_BOOL ||
         (type >= VTYPE_I1 && type <= VTYPE_UINT);
}

// Whether an argument of type actual passes where the method expects the type expected.
bool Accepts(VARIANT_TYPE expected, uint16_t actual) {
  switch (expected) {
    case VTYPE_I4:
    case VTYPE_BOOL:
    case VTYPE_UI4:
    case VTYPE_I8:
    case VTYPE_UI8:
      return IsNumberType(actual);
    case VTYPE_PWSTR:
      return actual == VTYPE_PWSTR;
    case VTYPE_BLOB:
      return actual == VTYPE_BLOB || actual == VTYPE_PSTR;
    default:
      return actual == expected;
  }
}

}  // namespace

// --- Arguments -----------------------------------------------------------------------------------

bool IsGiven(const tVariant& value) {
  const uint16_t type = VariantType(&value);
  return type != VTYPE_EMPTY && type != VTYPE_NULL;
}

bool IsNullArg(const tVariant& value) { return VariantType(&value) == VTYPE_NULL; }

size_t TextChars(const tVariant& value) {
  if (!value.pwstrVal) return 0;
  const size_t chars = value.wstrLen;
  const size_t readable = ReadableBytes(value.pwstrVal, chars * sizeof(WCHAR_T)) / sizeof(WCHAR_T);
  return readable == chars ? chars : wcsnlen(value.pwstrVal, readable);
}

size_t BlockBytes(const tVariant& value) {
  return value.pstrVal ? ReadableBytes(value.pstrVal, value.strLen) : 0;
}

std::wstring TextByLength(const tVariant& value) {
  if (!value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, TextChars(value));
}

std::wstring TextUpToNul(const tVariant& value) {
  if (!value.pwstrVal) return std::wstring();
  // A text without its NUL ends where the readable memory does. The search widens from the given
  // length, so a sound text costs one look at its memory.
  size_t limit = std::max<size_t>(size_t(value.wstrLen) + 1, 256);
  for (;;) {
    const size_t readable = ReadableBytes(value.pwstrVal, limit * sizeof(WCHAR_T)) / sizeof(WCHAR_T);
    const size_t chars = wcsnlen(value.pwstrVal, readable);
    if (chars < readable || readable < limit || limit > (size_t(1) << 40)) {
      return std::wstring(value.pwstrVal, chars);
    }
    limit *= 2;
  }
}

bool TruthOfFirstByte(const tVariant& value) { return value.ui8Val != 0; }

bool TruthOfValue(const tVariant& value) {
  switch (VariantType(&value)) {
    case VTYPE_BOOL:
      return value.bVal;
    case VTYPE_R4:
      return value.fltVal != 0;
    case VTYPE_R8:
      return value.dblVal != 0;
    case VTYPE_I8:
    case VTYPE_UI8:
      return value.ullVal != 0;
    default:
      return value.ulVal != 0;
  }
}

bool CVombra::CheckArgs(const tVariant* params, long count, const VARIANT_TYPE* expected, long n,
                        UINT optional) {
  for (long i = 0; i < n; ++i) {
    if (expected[i] == 0) continue;
    const bool present = params && i < count;
    if (present && i < kOptionalBits && (optional & (1u << i)) && !IsGiven(params[i])) continue;
    if (!present || !Accepts(expected[i], VariantType(&params[i]))) {
      SetError(VOMBRA_E_PARAM_TYPE, nullptr);
      return false;
    }
  }
  return true;
}

bool CVombra::Refuse() {
  SetError(E_INVALIDARG, nullptr);
  return false;
}

// --- The last error and the host's error report --------------------------------------------------

void CVombra::SetError(HRESULT code, const wchar_t* text, size_t length) {
  LastError = code;
  if (!text) {
    LastErrorText.clear();
  } else if (length == size_t(-1)) {
    LastErrorText.assign(text);
  } else {
    LastErrorText.assign(text, length);
  }
}

void CVombra::SetErrorA(HRESULT code, const char* text) {
  LastError = code;
  LastErrorText.clear();
  if (text) AnsiToWide(text, -1, LastErrorText);
}

void CVombra::SetErrorAndReport(HRESULT code, const char* text) {
  LastError = code;
  LastErrorText.clear();
  if (text) {
    AnsiToWide(text, -1, LastErrorText);
  } else {
    FormatMessageText(LastErrorText, g_hResInstance, DWORD(code));
  }
  AddError(LastErrorText.c_str(), HostErrorCode(code));
}

void CVombra::FillLastErrorText() {
  if (LastErrorText.empty()) FormatMessageText(LastErrorText, g_hResInstance, DWORD(LastError));
}

// A Windows error number travels to the host as an HRESULT of the Win32 facility.
HRESULT HostErrorCode(HRESULT code) {
  return code > 0 ? HRESULT(0x80070000u | (DWORD(code) & 0xFFFF)) : code;
}

void CVombra::AddError(const wchar_t* text, HRESULT code) {
  if (!Host) return;
  if (!text) text = L"";
  if (LogLevel >= 6) {
    Log(0, nullptr, IDS_LOG_CALL_ADD_ERROR, int(ADDERROR_CODE), ERROR_SOURCE, text, long(code));
  }
  // The host gets buffers of ours that live for the call only.
  std::wstring source(ERROR_SOURCE);
  std::wstring description(text);
  bool answer = Host->AddError(ADDERROR_CODE, source.c_str(), description.c_str(), code);
  if (LogLevel >= 6) Log(0, nullptr, IDS_LOG_ADD_ERROR_RESULT, answer ? L"true" : L"false");
}

// --- The device an ID names ----------------------------------------------------------------------

const _DEVICEID_INFO* CVombra::FindDevice(const tVariant& deviceId) {
  auto known = DeviceIds.find(TextByLength(deviceId));
  if (known == DeviceIds.end()) {
    SetError(VOMBRA_E_NOT_OPENED, nullptr);
    return nullptr;
  }
  return &known->second;
}

const _DEVICEID_INFO* CVombra::FindCommandDevice(const tVariant& deviceId) {
  const _DEVICEID_INFO* device = FindDevice(deviceId);
  if (device && device->Address != -1) {
    // A converter passes key numbers only; there is no way to a card behind it.
    SetError(VOMBRA_E_NOT_SUPPORTED, nullptr);
    return nullptr;
  }
  return device;
}

// --- Results in the host's memory ----------------------------------------------------------------

WCHAR_T* CopyToHost(IMemoryManager* memory, const wchar_t* text) {
  if (!memory) return nullptr;
  size_t length = wcslen(text);
  void* block = nullptr;
  if (!memory->AllocMemory(&block, static_cast<unsigned long>((length + 1) * sizeof(WCHAR_T))) || !block) {
    return nullptr;
  }
  wmemcpy(static_cast<WCHAR_T*>(block), text, length + 1);
  return static_cast<WCHAR_T*>(block);
}

tVariant* CVombra::StringToVariant(tVariant* out, const wchar_t* text) {
  if (!text) text = L"";
  WCHAR_T* copy = CopyToHost(MemoryManager, text);
  if (!copy) throw std::bad_alloc();
  // The type is set only with the memory, so a host that frees the result of a failed call never
  // frees a stale pointer.
  out->pwstrVal = copy;
  out->wstrLen = static_cast<uint32_t>(wcslen(text));
  out->vt = VTYPE_PWSTR;
  return out;
}

tVariant* CVombra::BlobToVariant(tVariant* out, const BYTE* data, size_t length) {
  out->ullVal = 0;
  out->strLen = 0;
  out->vt = VTYPE_BLOB;
  if (length == 0 || !MemoryManager) return out;
  void* memory = nullptr;
  if (!MemoryManager->AllocMemory(&memory, (unsigned long)length) || !memory) return out;
  std::memcpy(memory, data, length);
  out->pstrVal = static_cast<char*>(memory);
  out->strLen = uint32_t(length);
  return out;
}
