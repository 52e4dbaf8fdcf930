// Number texts per second through the add-in's method "Format", called by number with CallAsFunc as
// the platform calls it (argument check, key built from a BLOB, the text copied into host memory and
// freed again), beside FormatKeyNumber itself for the same formats and key.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "BenchFormats.h"
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
