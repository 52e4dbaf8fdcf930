// libFuzzer target: texts from the registry and the host (port names, device IDs, format names, the
// saved port) as GetParameters writes them into its XML document. The input is UTF-16 units, two
// bytes each. The escaped text must be well-formed XML character data that a parser reads back as the
// original wherever XML can hold the original; the character labels must be well-formed too.
#include <cwchar>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "SettingsXmlText.h"
#include "Xml.h"

namespace {

bool IsXmlChar(unsigned c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Text that a strict parser takes inside a double-quoted attribute: XML characters only (surrogate
// halves only in pairs), no markup character, and every '&' one of the references written.
bool WellFormed(const std::wstring& text) {
  static const wchar_t* const kReferences[] = {L"&amp;", L"&lt;", L"&gt;", L"&quot;", L"&#x9;", L"&#xA;",
                                               L"&#xD;", L"&#x"};
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned c = unsigned(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || unsigned(text[i + 1]) < 0xDC00 || unsigned(text[i + 1]) > 0xDFFF) return false;
      ++i;
      continue;
    }
    if (!IsXmlChar(c) || c == '<' || c == '>' || c == '"') return false;
    if (c != '&') continue;
    bool known = false;
    for (const wchar_t* reference : kReferences) {
      if (text.compare(i, std::wcslen(reference), reference) == 0) known = true;
    }
    if (!known || text.find(L';', i) == std::wstring::npos) return false;
  }
  return true;
}

// The text holds only what XML can carry, so it must come back unchanged.
bool Representable(const std::wstring& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned c = unsigned(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && unsigned(text[i + 1]) >= 0xDC00 &&
        unsigned(text[i + 1]) <= 0xDFFF) {
      ++i;
      continue;
    }
    if (!IsXmlChar(c) || (c >= 0xD800 && c <= 0xDFFF)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text += wchar_t(data[i] | data[i + 1] << 8);
  const std::wstring escaped = SettingsXmlEscape(text);
  FUZZ_CHECK(WellFormed(escaped));

  CMemXML xml;
  const std::wstring document = L"<Settings><Item Value=\"" + escaped + L"\">" + escaped + L"</Item></Settings>";
  xml.Parse(document.c_str(), document.size());
  const CMXNode* item = xml.GetRoot().FindPath(L"Settings\\Item", false);
  FUZZ_CHECK(item != nullptr);
  if (Representable(text) && text.find(L'\0') == std::wstring::npos) {
    FUZZ_CHECK(item->GetAttribute(L"Value") == text);
  }

  if (size > 0) {
    const int value = int(data[0] % 129) - 1;
    const std::wstring label = SettingsControlLabel(value);
    FUZZ_CHECK(WellFormed(label));
  }
  return 0;
}
