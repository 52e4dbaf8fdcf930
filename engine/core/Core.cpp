#include "Core.h"

#include <oleauto.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "Variant.h"

HINSTANCE g_hInstance = nullptr;
HINSTANCE g_hResInstance = nullptr;
LCID g_lcid = GetSystemDefaultLCID();

namespace {

constexpr size_t kStringBufferChars = 512;
// A formatted text larger than this is refused rather than grown further (a runaway argument).
constexpr size_t kMaxFormattedChars = 64u * 1024 * 1024;

const wchar_t kHexDigits[] = L"0123456789ABCDEF";

BYTE HexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return BYTE(c - L'0');
  if (c >= L'a' && c <= L'f') return BYTE(c - L'a' + 10);
  if (c >= L'A' && c <= L'F') return BYTE(c - L'A' + 10);
  return 0;
}

size_t TextLength(const wchar_t* text, int length) {
  if (!text) return 0;
  return length < 0 ? wcslen(text) : size_t(length);
}

// Formats into out starting at position start, growing the buffer until the text fits.
// msvcrt's _vsnwprintf answers -1 when the room is too small, and also for a format it rejects,
// hence the upper bound.
int FormatAt(std::wstring& out, size_t start, const wchar_t* format, va_list args) {
  size_t room = std::max(out.capacity(), start + kStringBufferChars) - start;
  if (room < kStringBufferChars) room = kStringBufferChars;
  for (;;) {
    out.resize(start + room);
    va_list copy;
    va_copy(copy, args);
    int written = _vsnwprintf(&out[start], room, format, copy);
    va_end(copy);
    if (written >= 0 && size_t(written) <= room) {
      out.resize(start + size_t(written));
      return int(out.size());
    }
    if (room >= kMaxFormattedChars) {
      out.resize(start);
      return int(out.size());
    }
    room *= 2;
  }
}

}  // namespace

int LoadStr(UINT id, std::wstring& out) {
  out.resize(kStringBufferChars);
  int length = LoadStringW(g_hResInstance, id, &out[0], int(kStringBufferChars));
  if (length <= 0) length = LoadStringW(g_hInstance, id, &out[0], int(kStringBufferChars));
  out.resize(length > 0 ? size_t(length) : 0);
  return int(out.size());
}

int LoadStrFormat(std::wstring& out, UINT id, ...) {
  std::wstring format;
  LoadStr(id, format);
  va_list args;
  va_start(args, id);
  int length = StrFormatV(out, format.c_str(), args);
  va_end(args);
  return length;
}

int AnsiToWide(const char* text, int length, std::wstring& out) {
  out.clear();
  if (!text || length == 0) return 0;
  int needed = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
  if (needed <= 0) return 0;
  out.resize(size_t(needed));
  int done = MultiByteToWideChar(CP_ACP, 0, text, length, &out[0], needed);
  if (done <= 0) {
    out.clear();
    return 0;
  }
  out.resize(size_t(done));
  if (length < 0 && !out.empty() && out.back() == L'\0') out.pop_back();
  return int(out.size());
}

int WideToAnsi(const wchar_t* text, int length, std::string& out) {
  out.clear();
  if (!text || length == 0) return 0;
  int needed = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return 0;
  out.resize(size_t(needed));
  int done = WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], needed, nullptr, nullptr);
  if (done <= 0) {
    out.clear();
    return 0;
  }
  out.resize(size_t(done));
  if (length < 0 && !out.empty() && out.back() == '\0') out.pop_back();
  return int(out.size());
}

int StrFormat(std::wstring& out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int length = StrFormatV(out, format, args);
  va_end(args);
  return length;
}

int StrFormatV(std::wstring& out, const wchar_t* format, va_list args) {
  out.clear();
  if (!format) return 0;
  return FormatAt(out, 0, format, args);
}

int StrAppendFormat(std::wstring& out, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int length = StrAppendFormatV(out, format, args);
  va_end(args);
  return length;
}

int StrAppendFormatV(std::wstring& out, const wchar_t* format, va_list args) {
  if (!format) return int(out.size());
  return FormatAt(out, out.size(), format, args);
}

size_t BytesToHex(const BYTE* data, size_t n, wchar_t* buffer, size_t bufferChars) {
  if (!buffer || bufferChars == 0) return 0;
  size_t written = std::min(2 * n, bufferChars - 1);
  for (size_t k = 0; k < written; ++k) {
    BYTE b = data[k / 2];
    buffer[k] = kHexDigits[k % 2 ? b & 0x0F : b >> 4];
  }
  buffer[written] = L'\0';
  return written;
}

void BytesToHexStr(const BYTE* data, size_t n, std::wstring& out) {
  out.resize(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kHexDigits[data[i] >> 4];
    out[2 * i + 1] = kHexDigits[data[i] & 0x0F];
  }
}

size_t HexToBytes(const wchar_t* hex, int length, BYTE* out, size_t max) {
  size_t n = TextLength(hex, length);
  size_t count = std::min((n + 1) / 2, max);
  size_t pairs = std::min(count, n / 2);
  for (size_t i = 0; i < pairs; ++i) out[i] = BYTE(HexValue(hex[2 * i]) << 4 | HexValue(hex[2 * i + 1]));
  // The odd last digit becomes a byte only when every digit fits; a cut text ends on whole pairs.
  if (count > pairs) out[pairs] = BYTE(HexValue(hex[n - 1]) << 4);
  return count;
}

size_t HexToBytesReversed(const wchar_t* hex, int length, BYTE* out, size_t max) {
  size_t n = TextLength(hex, length);
  size_t count = std::min((n + 1) / 2, max);
  // Pairs from the end of the text; the cut keeps the least significant bytes.
  for (size_t i = 0; i < count; ++i) {
    size_t low = n - 1 - 2 * i;
    out[i] = low == 0 ? HexValue(hex[0]) : BYTE(HexValue(hex[low - 1]) << 4 | HexValue(hex[low]));
  }
  return count;
}

void UIntToStr(UINT value, std::wstring& out) { out = std::to_wstring(value); }

void VersionToStr(UINT version, std::wstring& out) {
  out.clear();
  if (version == 0) return;
  if ((version & 0xFF) == 0xFF) {
    UIntToStr(version >> 8, out);
    return;
  }
  int parts = 4;
  while (parts > 1 && ((version >> (8 * (parts - 1))) & 0xFF) == 0) --parts;
  for (int i = 0; i < parts; ++i) {
    if (i) out += L'.';
    out += std::to_wstring((version >> (8 * i)) & 0xFF);
  }
}

UINT GetFileVersionNumber(const wchar_t* file) {
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(file, &handle);
  if (size == 0) return 0;
  std::vector<BYTE> block(size);
  if (!GetFileVersionInfoW(file, 0, size, block.data())) return 0;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoSize = 0;
  if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info ||
      infoSize < sizeof(VS_FIXEDFILEINFO))
    return 0;
  UINT major = HIWORD(info->dwFileVersionMS) & 0xFF;
  UINT minor = LOWORD(info->dwFileVersionMS) & 0xFF;
  UINT build = HIWORD(info->dwFileVersionLS) & 0xFF;
  UINT revision = LOWORD(info->dwFileVersionLS) & 0xFF;
  return major | minor << 8 | build << 16 | revision << 24;
}

bool IsWindowsVistaOrLater() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  info.dwMajorVersion = 6;
  DWORDLONG condition = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&info, VER_MAJORVERSION, condition) != FALSE;
}

void ApplyThreadLocale() {
  LCID lcid = g_lcid;
  LANGID language = LANGID(lcid & 0xFFFF);
  wchar_t languageName[256];
  wchar_t countryName[256];
  if (GetLocaleInfoW(language, LOCALE_SENGLANGUAGE, languageName, 256) > 0 &&
      GetLocaleInfoW(language, LOCALE_SENGCOUNTRY, countryName, 256) > 0) {
    std::wstring name = std::wstring(languageName) + L"_" + countryName;
    _wsetlocale(LC_ALL, name.c_str());
  }
  if (IsWindowsVistaOrLater()) {
    SetThreadUILanguage(language);
    // Wine ignores the UI language; resources follow the thread locale there.
    SetThreadLocale(lcid);
  } else {
    SetThreadLocale(language);
  }
}

BOOL CreateDirectoryPath(const wchar_t* path) {
  if (!path || !*path) return TRUE;
  DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return TRUE;
  std::wstring folder(path);
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  size_t slash = folder.rfind(L'\\');
  if (slash == std::wstring::npos) return TRUE;
  std::wstring parent = folder.substr(0, slash);
  if (!parent.empty()) {
    attributes = GetFileAttributesW(parent.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (!CreateDirectoryPath(parent.c_str())) return FALSE;
    }
  }
  return CreateDirectoryW(folder.c_str(), nullptr);
}

void EscapeLogText(std::wstring& out, const char* bytes, int length) {
  out.clear();
  if (!bytes) return;
  size_t n = length < 0 ? strlen(bytes) : size_t(length);
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char c = bytes[i];
    if (c == '\n') {
      out += L"\\n";
    } else if (c == '\r') {
      out += L"\\r";
    } else if (c == '\\') {
      out += L"\\\\";
    } else {
      out += wchar_t(static_cast<signed char>(c));  // 0x80..0xFF show as U+FF80..U+FFFF
    }
  }
}

void EscapeLogTextW(std::wstring& out, const wchar_t* text, int length) {
  out.clear();
  size_t n = TextLength(text, length);
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    wchar_t c = text[i];
    if (c == L'\n') {
      out += L"\\n";
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\\') {
      out += L"\\\\";
    } else {
      out += c;
    }
  }
}

void BytesToHexDump(std::wstring& out, const BYTE* data, size_t n) {
  out.clear();
  if (n == 0) return;
  out.reserve(3 * n);
  for (size_t i = 0; i < n; ++i) {
    if (i) out += L' ';
    out += kHexDigits[data[i] >> 4];
    out += kHexDigits[data[i] & 0x0F];
  }
}

size_t ReadableBytes(const void* data, size_t bytes) {
  const BYTE* start = static_cast<const BYTE*>(data);
  if (!start || bytes == 0) return 0;
  const BYTE* p = start;
  while (size_t(p - start) < bytes) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(p, &region, sizeof region) == 0 || region.State != MEM_COMMIT) break;
    const DWORD access = region.Protect & 0xFF;
    if ((region.Protect & PAGE_GUARD) || access == PAGE_NOACCESS || access == PAGE_EXECUTE) break;
    p = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize;
  }
  return std::min<size_t>(size_t(p - start), bytes);
}

namespace {

constexpr size_t kMaxLoggedBytes = 256;
constexpr size_t kMaxLoggedChars = 512;

// The host's length is not trusted: what is shown ends with the readable memory too.
void AppendBlock(std::wstring& out, const char* data, uint32_t length) {
  if (!data) length = 0;
  size_t shown = ReadableBytes(data, std::min<size_t>(length, kMaxLoggedBytes));
  std::wstring hex;
  BytesToHexStr(reinterpret_cast<const BYTE*>(data), shown, hex);
  out += L'{';
  out += hex;
  if (length > shown) out += L"...";
  out += L'}';
}

void AppendQuoted(std::wstring& out, const wchar_t* text, uint32_t length) {
  if (!text) length = 0;
  size_t shown = ReadableBytes(text, std::min<size_t>(length, kMaxLoggedChars) * sizeof(wchar_t)) / sizeof(wchar_t);
  out += L'"';
  for (size_t i = 0; i < shown; ++i) {
    wchar_t c = text[i];
    switch (c) {
      case L'\t': out += L"\\t"; break;
      case L'\n': out += L"\\n"; break;
      case L'\r': out += L"\\r"; break;
      case L'"': out += L"\\\""; break;
      case L'\'': out += L"\\'"; break;
      case L'\\': out += L"\\\\"; break;
      default: out += c;
    }
  }
  if (length > shown) out += L"...";
  out += L'"';
}

// msvcrt's wcsftime treats fields out of range as an invalid parameter, which ends the process.
bool IsPrintableTm(const struct tm& t) {
  return t.tm_sec >= 0 && t.tm_sec <= 60 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_hour >= 0 &&
         t.tm_hour <= 23 && t.tm_mday >= 1 && t.tm_mday <= 31 && t.tm_mon >= 0 && t.tm_mon <= 11 &&
         t.tm_year >= -1900 && t.tm_year <= 8099 && t.tm_wday >= 0 && t.tm_wday <= 6 && t.tm_yday >= 0 &&
         t.tm_yday <= 365;
}

}  // namespace

void VariantToText(const tVariant* value, std::wstring& out) {
  out.clear();
  if (!value) return;
  switch (VariantType(value)) {
    case VTYPE_EMPTY: out = L"EMPTY"; break;
    case VTYPE_NULL: out = L"NULL"; break;
    case VTYPE_I2: StrFormat(out, L"I2 %d", int(value->shortVal)); break;
    case VTYPE_I4: StrFormat(out, L"I4 %d", int(value->lVal)); break;
    case VTYPE_R4: StrFormat(out, L"R4 %f", double(value->fltVal)); break;
    case VTYPE_R8: StrFormat(out, L"R8 %f", value->dblVal); break;
    case VTYPE_DATE: {
      SYSTEMTIME st;
      if (VariantTimeToSystemTime(value->date, &st))
        StrFormat(out, L"DATE %d.%d.%d %d:%d:%d.%d", st.wDay, st.wMonth, st.wYear, st.wHour, st.wMinute,
                  st.wSecond, st.wMilliseconds);
      else
        StrFormat(out, L"DATE %f", value->date);
      break;
    }
    case VTYPE_TM: {
      out = L"TM ";
      wchar_t buffer[128];
      if (IsPrintableTm(value->tmVal) && wcsftime(buffer, 128, L"%x %X", &value->tmVal) > 0) out += buffer;
      break;
    }
    case VTYPE_PSTR:
    case VTYPE_BLOB: AppendBlock(out, value->pstrVal, value->strLen); break;
    case VTYPE_BOOL: out = value->bVal ? L"true" : L"false"; break;
    case VTYPE_I1: StrFormat(out, L"I1 %d", int(value->i8Val)); break;
    case VTYPE_UI1: StrFormat(out, L"UI1 %u", unsigned(value->ui8Val)); break;
    case VTYPE_UI2: StrFormat(out, L"UI2 %u", unsigned(value->ushortVal)); break;
    case VTYPE_UI4: StrFormat(out, L"UI4 %u", unsigned(value->ulVal)); break;
    case VTYPE_I8: StrFormat(out, L"I8 %I64d", value->llVal); break;
    case VTYPE_UI8: StrFormat(out, L"UI8 %I64u", value->ullVal); break;
    case VTYPE_INT: StrFormat(out, L"INT %d", value->intVal); break;
    case VTYPE_UINT: StrFormat(out, L"UINT %u", value->uintVal); break;
    case VTYPE_PWSTR: AppendQuoted(out, value->pwstrVal, value->wstrLen); break;
    default: StrFormat(out, L"TYPE %d", int(value->vt)); break;
  }
}

bool FormatMessageTextArray(std::wstring& out, HMODULE module, DWORD id, const DWORD_PTR* inserts) {
  const bool ownCode = ((id >> 16) & 0x1FFF) == FACILITY_ITF;
  if (ownCode && !module) return false;
  DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER;
  if (ownCode) {
    flags |= FORMAT_MESSAGE_FROM_HMODULE;
  } else {
    // System texts may hold %1-style inserts that no caller supplies.
    flags |= FORMAT_MESSAGE_FROM_SYSTEM;
    inserts = nullptr;
  }
  flags |= inserts ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(flags, ownCode ? module : nullptr, id, 0, reinterpret_cast<wchar_t*>(&text), 0,
                                reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(inserts)));
  if (length == 0 || !text) {
    if (text) LocalFree(text);
    return false;
  }
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
  out.assign(text, length);
  LocalFree(text);
  return true;
}
