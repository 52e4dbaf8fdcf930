// libFuzzer target: random parameter texts, templates and key bytes through the parser, the
// evaluator, the template scanner, the applier and the checker. Any crash, hang or sanitizer report
// is a finding; faults of the text are expected and caught.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FormatApply.h"

namespace {

// Splits the input into key bytes, a parameter text and a template. A byte is one character (ASCII
// and Latin-1, the no-break space among them); 0xFF escapes the next two bytes as one UTF-16 unit,
// so that every unit a Windows caller could pass stays reachable without drowning the grammar.
std::wstring TakeText(const uint8_t*& p, const uint8_t* end, size_t units) {
  std::wstring text;
  while (units-- && p < end) {
    wchar_t c = wchar_t(*p++);
    if (c == 0xFF && end - p >= 2) {
      c = wchar_t(p[0] | (p[1] << 8));
      p += 2;
    }
    if (c) text += c;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  const size_t keyLength = *p++ % 16;
  const size_t paramUnits = *p++;
  const size_t templateUnits = *p++;
  _KEYNUM_INFO key = {};
  key.Length = BYTE(keyLength);
  for (size_t i = 0; i < keyLength && p < end; ++i) key.Data[i] = *p++;
  const std::wstring params = TakeText(p, end, paramUnits);
  const std::wstring templ = TakeText(p, end, templateUnits);

  try {
    CKdParser parser;
    parser.Parse(params.c_str());
    parser.Evaluate(key.Data, key.Length);
  } catch (const CKdParserException&) {
  }
  try {
    std::wstring out;
    FormatKeyNumber(out, templ.c_str(), params.c_str(), &key);
    if (out.size() > kMaxNumberChars) __builtin_trap();
  } catch (const CKdParserException&) {
  }
  std::vector<int> kinds;
  std::wstring rewritten;
  std::vector<size_t> offsets;
  ParseFormatTemplate(kinds, templ.c_str(), &rewritten, &offsets);
  size_t position = 0;
  std::wstring text;
  CheckFormatText(templ.c_str(), params.c_str(), &position, &text);
  return 0;
}
