// libFuzzer target: the settings the add-in exchanges with the host as text. The first byte chooses:
//   even: texts from the registry and the host (port names, device IDs, format names, the saved port)
//         as GetParameters writes them into its XML document. The rest is UTF-16 units, two bytes each.
//         The escaped text must be well-formed XML character data that a parser reads back as the
//         original wherever XML can hold the original; the character labels must be well-formed too.
//   odd:  one SetParameter call on the live connection parameters: a name mode byte (a known name in
//         English or Russian, that name with one letter's case flipped, or a name from the input), a
//         byte whose bit 0 makes the value a text (the bits above: the flags before the call), the
//         value's 32-bit number, its truth byte, then UTF-16 units (a name from the input ends at the
//         first U+0000, the value text follows). An accepted value must read back from its field,
//         every other field must stay as it was, a refusal changes nothing (but the empty port), and
//         a saved port reads back from the document.
#include <cwchar>
#include <memory>
#include <string>

#include "ConnectionParameter.h"
#include "FuzzSupport.h"
#include "PropNames.h"
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

std::wstring Utf16(const uint8_t* data, size_t size) {
  std::wstring text;
  for (size_t i = 0; i + 1 < size; i += 2) text += wchar_t(data[i] | data[i + 1] << 8);
  return text;
}

// The text inside an attribute of a document, as the XML document's parser reads it back.
bool ReadsBackFromDocument(const std::wstring& text) {
  CMemXML xml;
  const std::wstring document =
      L"<Settings><Parameter Name=\"Port\" DefaultValue=\"" + SettingsXmlEscape(text) + L"\"/></Settings>";
  xml.Parse(document.c_str(), document.size());
  const CMXNode* parameter = xml.GetRoot().FindPath(L"Settings\\Parameter", false);
  return parameter && parameter->GetAttribute(L"DefaultValue") == text;
}

// The numeric fields of the connection parameters and the property that sets each; the flag
// properties and the bit each owns.
struct NumberField {
  long prop;
  UINT _READERPARAMS_INFO::*field;
};
const NumberField kNumberFields[] = {
    {PROP_MODEL, &_READERPARAMS_INFO::Model},
    {PROP_SPEED, &_READERPARAMS_INFO::Speed},
    {PROP_STOP_BITS, &_READERPARAMS_INFO::StopBits},
    {PROP_CONNECT_TIMEOUT, &_READERPARAMS_INFO::ConnectTimeout},
    {PROP_REQUEST_TIMEOUT, &_READERPARAMS_INFO::RequestTimeout},
    {PROP_REQUEST_TRIES, &_READERPARAMS_INFO::RequestTries},
    {PROP_CONNECT_PERIOD, &_READERPARAMS_INFO::ConnectPeriod},
    {PROP_RX_PERIOD, &_READERPARAMS_INFO::RxPeriod},
    {PROP_READER_FORMAT_ID, &_READERPARAMS_INFO::FormatId},
    {PROP_PREFIX, &_READERPARAMS_INFO::Prefix},
    {PROP_SUFFIX, &_READERPARAMS_INFO::Suffix},
};
struct FlagField {
  long prop;
  UINT flag;
};
const FlagField kFlagFields[] = {
    {PROP_WIEGAND, RDF_WIEGAND},
    {PROP_BINARY_MODE, RDF_BINARY},
    {PROP_DIFFERENT_RK73, RDF_DIFFERENT_CODES},
    {PROP_NVT, RDF_NVT},
};

// params differs from before in the field of prop alone, if at all.
bool OnlyFieldOf(long prop, const _READERPARAMS_INFO& before, const _READERPARAMS_INFO& params) {
  if (prop != PROP_PORT && params.Port != before.Port) return false;
  for (const NumberField& f : kNumberFields) {
    if (f.prop != prop && params.*f.field != before.*f.field) return false;
  }
  UINT owned = 0;
  for (const FlagField& f : kFlagFields) {
    if (f.prop == prop) owned = f.flag;
  }
  return (params.Flags & ~owned) == (before.Flags & ~owned);
}

bool SameParams(const _READERPARAMS_INFO& a, const _READERPARAMS_INFO& b) { return OnlyFieldOf(-1, a, b); }

void FuzzSetParameter(const uint8_t* data, size_t size) {
  if (size < 7) return;
  const uint8_t mode = data[0];
  ParameterValue value;
  value.IsText = data[1] & 1;
  value.Number = uint32_t(data[2]) | uint32_t(data[3]) << 8 | uint32_t(data[4]) << 16 | uint32_t(data[5]) << 24;
  value.Truth = data[6] != 0;
  std::wstring rest = Utf16(data + 7, size - 7);

  // A known name in either language, optionally with one ASCII letter's case flipped, or a raw name.
  std::wstring name;
  long meant = -1;
  const long index = mode % 20;
  if (index < PROP_SUFFIX - PROP_PORT + 1) {
    meant = PROP_PORT + index;
    name = (mode & 0x20) ? g_PropNamesRu[meant] : g_PropNames[meant];
    if (mode & 0x40) {
      for (wchar_t& c : name) {
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z')) {
          c ^= 0x20;
          meant = -2;  // no longer the name as written
          break;
        }
      }
    }
  } else {
    const size_t end = rest.find(L'\0');
    name = rest.substr(0, end);
    rest = end == std::wstring::npos ? std::wstring() : rest.substr(end + 1);
  }
  if (value.IsText) value.Text = rest;

  const long prop = FindConnectionParameter(name);
  if (meant >= 0) FUZZ_CHECK(prop == meant);
  // Case matters, and a name is only ever found as written in one of the tables.
  if (meant == -2) FUZZ_CHECK(prop == -1);
  if (prop >= 0) FUZZ_CHECK(name == g_PropNames[prop] || name == g_PropNamesRu[prop]);

  _READERPARAMS_INFO params;
  params.Flags = (data[1] >> 1) & 0x17;  // any start, not only the defaults
  const _READERPARAMS_INFO before = params;
  const ParameterOutcome outcome = SetConnectionParameter(params, name, value);
  FUZZ_CHECK(OnlyFieldOf(prop, before, params));
  switch (outcome) {
    case ParameterOutcome::UnknownName:
      FUZZ_CHECK(prop == -1);
      FUZZ_CHECK(SameParams(before, params));
      break;
    case ParameterOutcome::WrongType:
      FUZZ_CHECK(prop == PROP_PORT && !value.IsText);
      FUZZ_CHECK(SameParams(before, params));
      break;
    case ParameterOutcome::OutOfRange:
      FUZZ_CHECK(prop == PROP_MODEL && value.Number >= READER_MODEL_COUNT);
      FUZZ_CHECK(SameParams(before, params));
      break;
    case ParameterOutcome::EmptyPort:
      FUZZ_CHECK(prop == PROP_PORT && value.IsText && value.Text.empty() && params.Port.empty());
      break;
    case ParameterOutcome::Set:
      FUZZ_CHECK(prop >= PROP_PORT && prop <= PROP_SUFFIX);
      if (prop == PROP_MODEL) FUZZ_CHECK(value.Number < READER_MODEL_COUNT);
      if (prop == PROP_PORT) {
        FUZZ_CHECK(value.IsText && !value.Text.empty() && params.Port == value.Text);
        // The port comes back from the settings document as it was set.
        if (Representable(params.Port) && params.Port.find(L'\0') == std::wstring::npos) {
          FUZZ_CHECK(ReadsBackFromDocument(params.Port));
        }
      }
      for (const NumberField& f : kNumberFields) {
        if (f.prop == prop) FUZZ_CHECK(params.*f.field == value.Number);
      }
      for (const FlagField& f : kFlagFields) {
        if (f.prop == prop) FUZZ_CHECK(((params.Flags & f.flag) != 0) == value.Truth);
      }
      break;
  }
  // The same call again changes nothing more.
  const _READERPARAMS_INFO once = params;
  FUZZ_CHECK(SetConnectionParameter(params, name, value) == outcome);
  FUZZ_CHECK(SameParams(once, params));
}

void FuzzEscape(const uint8_t* data, size_t size) {
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const fuzz::ExactBytes bytes(data + 1, size - 1);
  if (data[0] & 1) {
    FuzzSetParameter(bytes.data(), bytes.size());
  } else {
    FuzzEscape(bytes.data(), bytes.size());
  }
  return 0;
}
