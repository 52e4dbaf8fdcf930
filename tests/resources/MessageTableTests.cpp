// The message table of the built Vombra.dll: every add-in code has its English text exactly as the
// application sees it, a Russian twin, CR LF at the end of the stored text, and the gaps have none.
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "AddinModule.h"
#include "Core.h"

namespace {

const std::map<DWORD, std::wstring> kEnglishTexts = {
    {0x80040201u, L"Parameter does not exist."},
    {0x80040202u, L"Invalid parameter type."},
    {0x80040203u, L"There are not enough resources to complete the operation."},
    {0x80040204u, L"Winsock startup routine failed."},
    {0x80040205u, L"File access denied."},
    {0x80040206u, L"No disk space."},
    {0x80040210u, L"Incorrect port name."},
    {0x80040211u, L"Port not exists."},
    {0x80040212u, L"Port is busy."},
    {0x80040213u, L"Port is disconnected."},
    {0x80040215u, L"Timeout TCP connection."},
    {0x80040216u, L"Timeout sending request data to the port."},
    {0x80040217u, L"Timeout response data from the port."},
    {0x80040218u, L"Reader sent an invalid response."},
    {0x80040219u, L"Reader returned an error."},
    {0x8004021Au, L"No key."},
    {0x8004021Bu, L"Key authorization error."},
    {0x8004021Cu, L"Error accessing key data."},
    {0x8004021Du, L"Key data is locked from overwriting."},
    {0x8004021Eu, L"Command is not supported."},
    {0x8004021Fu, L"The reader message was not recognized. Probably not factory firmware."},
    {0x80040220u, L"Wrong address Mifare block."},
    {0x80040230u, L"Timeout readers search."},
    {0x80040231u, L"No more readers."},
    {0x80040232u, L"Reader is not found."},
    {0x80040233u, L"Reader is not registered by the function \"Open\"."},
    {0x80040234u, L"Incorrect format name."},
    {0x80040235u, L"Format with the specified name already exists."},
    {0x80040236u, L"Not enough parameters."},
    {0x80040237u, L"Template specifier is not supported."},
    {0x80040238u, L"Unknown keyword."},
    {0x80040239u, L"Unexpected end of expression."},
    {0x8004023Au, L"Unknown symbol."},
    {0x8004023Bu, L"Expected '(' or '['."},
    {0x8004023Cu, L"Expected ')' or ']'."},
    {0x8004023Du, L"Bad suffix on number."},
    {0x8004023Eu, L"Unexpected operator."},
    {0x80040240u, L"Incorrect key filter name."},
    {0x80040241u, L"The key filter with the specified name already exists."},
    {0x80040242u, L"Key Filters Limit Reached (maximum 31)."},
    {0x80040243u, L"Formats Limit Reached (maximum 0xffffffff)."}
};

// The stored text, untrimmed, in an explicit language; empty when there is none.
std::wstring RawText(DWORD code, LANGID language) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                AddinModule(), code, language, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring result = length && text ? std::wstring(text, length) : std::wstring();
  if (text) LocalFree(text);
  return result;
}

std::string Hex(DWORD code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08lX", code);
  return buffer;
}

TEST(MessageTable, EveryListedCodeHasItsTextsInBothLanguagesAndNoOtherCodeHasAny) {
  for (DWORD code = 0x80040200; code <= 0x80040250; ++code) {
    SCOPED_TRACE(Hex(code));
    std::wstring english = RawText(code, kEnglish);
    std::wstring russian = RawText(code, kRussian);
    auto listed = kEnglishTexts.find(code);
    if (listed == kEnglishTexts.end()) {
      EXPECT_TRUE(english.empty());
      EXPECT_TRUE(russian.empty());
      continue;
    }
    EXPECT_EQ(english, listed->second + L"\r\n");
    ASSERT_GE(russian.size(), 3u);
    EXPECT_EQ(russian.substr(russian.size() - 2), L"\r\n");
    EXPECT_NE(russian, english);
    EXPECT_NE(russian.find_first_of(L"АБВГДЕЖЗИКЛМНОПРСТУФХЦЧШЩЭЮЯабвгдежзиклмнопрстуфхцчшщыьэюя"),
              std::wstring::npos);
  }
}

TEST(MessageTable, ThreadLanguagePicksTheTextAndTheLineEndIsTrimmed) {
  struct Case {
    LANGID language;
    DWORD code;
    const wchar_t* text;
  };
  const Case cases[] = {
      {kEnglish, 0x8004021A, L"No key."},
      {kRussian, 0x8004021A, L"Нет ключа."},
      {kEnglish, 0x80040233, L"Reader is not registered by the function \"Open\"."},
      {kRussian, 0x80040211, L"Порт не существует."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Hex(c.code));
    ScopedThreadLanguage language(c.language);
    std::wstring text = L"unchanged";
    ASSERT_TRUE(FormatMessageText(text, AddinModule(), c.code));
    EXPECT_EQ(text, c.text);
  }
}

TEST(MessageTable, AddinCodeWithoutModuleOrGapHasNoTextAndLeavesOutAlone) {
  const struct {
    HMODULE module;
    DWORD code;
  } cases[] = {{nullptr, 0x8004021A}, {AddinModule(), 0x80040207}, {AddinModule(), 0x8004023F}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Hex(c.code));
    std::wstring text = L"unchanged";
    EXPECT_FALSE(FormatMessageText(text, c.module, c.code));
    EXPECT_EQ(text, L"unchanged");
  }
}

}  // namespace
