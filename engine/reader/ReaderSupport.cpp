#include "ReaderSupport.h"

#include "Core.h"
#include "VombraContext.h"

namespace reader_support {

UINT LogLevel() { return g_pVombra ? g_pVombra->GetLogLevel() : 0; }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

std::wstring Wide(const std::string& bytes) {
  std::wstring text;
  AnsiToWide(bytes.data(), int(bytes.size()), text);
  return text;
}

std::wstring WideMessage(const std::exception& e) {
  std::wstring text;
  AnsiToWide(e.what(), -1, text);
  return text;
}

std::wstring KeyText(const _KEYNUM_INFO& key, UINT type) {
  std::wstring text;
  KeyNumToStr(text, key, type);
  return text;
}

std::wstring TrafficText(const BYTE* data, size_t n, bool binary) {
  std::wstring text;
  if (binary) {
    BytesToHexDump(text, data, n);
  } else {
    EscapeLogText(text, reinterpret_cast<const char*>(data), int(n));
  }
  return text;
}

}  // namespace reader_support
