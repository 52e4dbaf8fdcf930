// libFuzzer target: the text forms of the settings key's values. The first byte chooses the form;
// the rest is the value's text, two bytes to a UTF-16 unit as the registry stores it. A multi-string
// is split within exactly its characters, and a Temic scan list reads back from its own text.
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "RegistryText.h"

namespace {

std::wstring Units(const uint8_t* p, size_t n) {
  std::wstring text;
  for (size_t i = 0; i + 1 < n; i += 2) text += wchar_t(p[i] | p[i + 1] << 8);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::wstring text = Units(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: {
      std::unique_ptr<wchar_t[]> block(new wchar_t[text.size() ? text.size() : 1]);
      for (size_t i = 0; i < text.size(); ++i) block[i] = text[i];
      size_t total = 0;
      for (const std::wstring& item : SplitMultiString(block.get(), text.size())) {
        FUZZ_CHECK(!item.empty() && item.find(L'\0') == std::wstring::npos);
        total += item.size() + 1;
      }
      FUZZ_CHECK(total <= text.size() + 1);
      break;
    }
    case 1: {
      UINT64 value = 0;
      ParseHex64(text, &value);
      break;
    }
    case 2: {
      const std::vector<UINT> list = ParseScanParams(text);
      FUZZ_CHECK(list.size() <= text.size() / 3 + 1);
      FUZZ_CHECK(ParseScanParams(ScanParamsText(list)) == list);
      break;
    }
    case 3: {
      UINT id = 0;
      if (ParseItemName(text, &id)) FUZZ_CHECK(text.compare(0, 4, L"Item") == 0);
      break;
    }
  }
  return 0;
}
