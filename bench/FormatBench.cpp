// Number texts per second made by the format applier directly: the built-in format and a complex
// one, with the time split into parsing and evaluating versus the whole formatting.
#include <chrono>
#include <cstdio>
#include <string>

#include "BenchFormats.h"
#include "FormatApply.h"

namespace {

}  // namespace

int main() {
  _KEYNUM_INFO key = {5, {0x39, 0x30, 0x0C, 0x34, 0x12}};
  size_t sink = 0;
  for (const auto& format : kFormats) {
    std::wstring text;
    FormatKeyNumber(text, format.templ, format.params, &key);
    const double whole = Rate([&](int i) {
      key.Data[0] = BYTE(i);
      FormatKeyNumber(text, format.templ, format.params, &key);
      sink += text.size();
    });
    const double evaluate = Rate([&](int i) {
      key.Data[0] = BYTE(i);
      CKdParser parser;
      parser.Parse(format.params);
      parser.Evaluate(key.Data, key.Length);
      sink += parser.Values.size();
    });
    std::printf("%-9s FormatKeyNumber %10.0f /s   parse+evaluate %10.0f /s   (\"%ls\")\n", format.name, whole,
                evaluate, text.c_str());
  }
  return sink == 0;
}
