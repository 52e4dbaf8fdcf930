// libFuzzer target: any text through the XML parser, the serializer and the parser again. The text
// lies in a buffer of exactly its length, with no terminating NUL, so that a read past it is a
// sanitizer report. Nothing is compared: the parser must only take what it can, never fail.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Xml.h"

namespace {

// A byte is one character; 0xFF escapes the next two bytes as one UTF-16 unit (NULs included).
std::wstring TakeText(const uint8_t* p, const uint8_t* end) {
  std::wstring text;
  while (p < end) {
    wchar_t c = wchar_t(*p++);
    if (c == 0xFF && end - p >= 2) {
      c = wchar_t(p[0] | (p[1] << 8));
      p += 2;
    }
    text += c;
  }
  return text;
}

void ParseExact(CMemXML& xml, const std::wstring& text) {
  const std::unique_ptr<wchar_t[]> exact(new wchar_t[text.size() ? text.size() : 1]);
  std::copy(text.begin(), text.end(), exact.get());
  xml.Parse(exact.get(), text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = TakeText(data, data + size);
  CMemXML xml;
  ParseExact(xml, text);
  std::wstring written;
  xml.Serialize(written);
  CMemXML again;
  ParseExact(again, written);
  std::wstring decoded;
  xml.Unescape(decoded, text.data(), text.size());
  xml.GetRoot().FindPath(text.c_str(), false);
  return 0;
}
