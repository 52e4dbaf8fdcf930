// Number texts per second made by the format applier directly: the built-in format and a complex
// one, with the time split into parsing and evaluating versus the whole formatting.
#include <chrono>
#include <cstdio>
#include <string>

#include "FormatApply.h"

namespace {

struct Format {
  const char* name;
  const wchar_t* templ;
  const wchar_t* params;
};

const Format kFormats[] = {
    {"built-in", L"%.3u,%.5u", L"b2 w01"},
    {"complex", L"[%08llX] %.3u,%.5u\\t%u %s %c",
     L"w2(26, 1, b0, b1, b2), b2, w01, ds(1, 1, b0, b1, b2, b3, b4, b5) ^ rbit(2, l3210 & 0xFFFF),"
     L" set(1, lh0123ZZZZ * 3) - get(1) / 2 + (bx << 4 | by), 0x41 + log10(m01234567) % 26"},
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Runs f for about half a second and answers calls per second.
template <class F>
double Rate(F f) {
  using Clock = std::chrono::steady_clock;
  size_t calls = 0;
  const auto start = Clock::now();
  Clock::duration elapsed{};
  do {
    for (int i = 0; i < 1000; ++i) f(i);
    calls += 1000;
    elapsed = Clock::now() - start;
  } while (elapsed < std::chrono::milliseconds(500));
  return double(calls) / Seconds(elapsed);
}

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
