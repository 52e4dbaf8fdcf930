// Number texts per second through the add-in's method "Format", called by number with CallAsFunc as
// the platform calls it (argument check, key built from a BLOB, the text copied into host memory and
// freed again), beside FormatKeyNumber itself for the same formats and key.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "FormatApply.h"
#include "Vombra.h"

namespace {

// The platform's memory manager, reduced to what a call needs.
class CBenchMemory : public IMemoryManager {
 public:
  void* ScalarDeletingDestructor(unsigned int) override { return this; }
  bool AllocMemory(void** memory, unsigned long bytes) override {
    *memory = std::malloc(bytes);
    return *memory != nullptr;
  }
  void FreeMemory(void** memory) override {
    std::free(*memory);
    *memory = nullptr;
  }
};

struct BenchFormat {
  const char* name;
  const wchar_t* templ;
  const wchar_t* params;
};

const BenchFormat kFormats[] = {
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

tVariant Text(const wchar_t* text) {
  tVariant value{};
  value.pwstrVal = const_cast<WCHAR_T*>(text);
  value.wstrLen = uint32_t(wcslen(text));
  value.vt = VTYPE_PWSTR;
  return value;
}

}  // namespace

int main() {
  CBenchMemory memory;
  CVombra addin(L"VombraExtension");
  addin.setMemManager(&memory);
  const long method = addin.FindMethod(L"Format");
  char keyBytes[5] = {0x39, 0x30, 0x0C, 0x34, 0x12};
  _KEYNUM_INFO key = {5, {0x39, 0x30, 0x0C, 0x34, 0x12}};
  size_t sink = 0;
  int failures = 0;

  for (const auto& format : kFormats) {
    tVariant params[5] = {};
    params[1] = Text(format.templ);
    params[2] = Text(format.params);
    params[3].ulVal = 1;
    params[3].vt = VTYPE_UI4;
    params[4].pstrVal = keyBytes;
    params[4].strLen = sizeof keyBytes;
    params[4].vt = VTYPE_BLOB;
    std::wstring shown;

    const double viaCall = Rate([&](int i) {
      keyBytes[0] = char(i);
      params[0] = tVariant{};
      tVariant result{};
      if (!addin.CallAsFunc(method, &result, params, 5) || result.vt != VTYPE_BOOL || !result.bVal) ++failures;
      if (params[0].vt == VTYPE_PWSTR) {
        sink += params[0].wstrLen;
        if (shown.empty()) shown = params[0].pwstrVal;
        void* block = params[0].pwstrVal;
        memory.FreeMemory(&block);
      }
    });
    std::wstring text;
    const double direct = Rate([&](int i) {
      key.Data[0] = BYTE(i);
      FormatKeyNumber(text, format.templ, format.params, &key);
      sink += text.size();
    });
    std::printf("%-9s CallAsFunc(\"Format\") %10.0f /s   FormatKeyNumber %10.0f /s   (\"%ls\")\n", format.name,
                viaCall, direct, shown.c_str());
  }
  if (failures) std::printf("%d calls failed\n", failures);
  return failures != 0 || sink == 0;
}
