// The log texts of the string table: every id has its English text exactly as the log shows it and a
// Russian twin that takes the same arguments in the same order (a placeholder lost or swapped in the
// translation would print the wrong argument or read past the given ones).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddinModule.h"

namespace {

struct LogString {
  UINT id;
  const wchar_t* english;
};

const LogString kLogStrings[] = {
    {1001, L"Log %.2d.%.2d.%.4d (Vombra v%s, Windows v%s)"},
    {1002, L"Open port \"%s\" (%d,%C,%d,%s)."},
    {1003, L"Failed to open port \"%s\" (%d,%C,%d,%d) (code 0x%.8X): %s"},
    {1004, L"Closed port \"%s\"."},
    {1005, L"Port error 0x%.8X: %s"},
    {1006, L"< %s"},
    {1007, L"> %s"},
    {1008, L"Configured port %d,%C,%d,%s."},
    {1009, L"Failed to configure port %d,%C,%d,%s (code 0x%.8X): %s"},
    {1010, L"Connected reader %s s/n %d FW v%s."},
    {1011, L"Failed to connect to reader: %s"},
    {1012, L"Reader disconnected"},
    {1013, L"OS error (code %d): %s"},
    {1014, L"Error: %s"},
    {1015, L"Found key: %s %s"},
    {1016, L"Lost key: %s %s"},
    {1017, L"Number \"%s\" (key %s %s, data %s) is transferred."},
    {1018, L"Number transfer error (key %s %s, data %s) (code 0x%.8X): %s"},
    {1019, L"Format not specified for key: %s %s"},
    {1020, L"The format for the reader is set, ID = %d."},
    {1030, L"Transferred to key \"%s\"."},
    {1031, L"Failed to transer key \"%s\": %s"},
    {1032, L"Failed to get the list of COM ports (code 0x%.8X): %s."},
    {1033, L"Found COM ports: %d."},
    {1034, L"Calling ExternalEvent(\"%s\", \"%s\", \"%s\")..."},
    {1035, L"The ExternalEvent function returned %s."},
    {1036, L"Calling AddError(%d, \"%s\", \"%s\", %d)..."},
    {1037, L"The AddError function returned %s."},
    {1038, L"Call procedure %s(%s)..."},
    {1039, L"The procedure was completed successfully (%s)."},
    {1040, L"Procedure error (code 0x%.8X): %s"},
    {1041, L"Calling function %s(%s)..."},
    {1042, L"Function returned %s, parameters (%s)."},
    {1043, L"Function error (code 0x%.8X): %s"},
    {1044, L"Setting property %s = %s..."},
    {1045, L"The setting of the property has been successfully completed."},
    {1046, L"Property setting error (code 0x%.8X): %s."},
    {1047, L"UDP %s > %s"},
    {1048, L"UDP %s < %s"},
    {1049, L"Beginning of readers search"},
    {1050, L"End of readers search"},
    {1051, L"Finish"},
};

void PrintTo(const LogString& entry, std::ostream* os) { *os << "string " << entry.id; }

// The stored text in an explicit language; empty when there is none.
std::wstring StoredText(UINT id, LANGID language) {
  HRSRC block = FindResourceExW(AddinModule(), RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
  if (!block) return std::wstring();
  HGLOBAL loaded = LoadResource(AddinModule(), block);
  const wchar_t* p = loaded ? static_cast<const wchar_t*>(LockResource(loaded)) : nullptr;
  if (!p) return std::wstring();
  for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
  return std::wstring(p + 1, *p);
}

// The conversions of a printf format, each from its '%' to its type letter; "%%" is no conversion.
std::vector<std::wstring> Conversions(const std::wstring& format) {
  std::vector<std::wstring> found;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != L'%') continue;
    size_t end = format.find_first_of(L"%cCdiouxXeEfgGaAnpsS", i + 1);
    if (end == std::wstring::npos) break;
    if (format[end] != L'%') found.push_back(format.substr(i, end - i + 1));
    i = end;
  }
  return found;
}

class LogStringTable : public ::testing::TestWithParam<LogString> {};

TEST_P(LogStringTable, EnglishTextIsExact) {
  EXPECT_EQ(StoredText(GetParam().id, kEnglish), GetParam().english);
}

TEST_P(LogStringTable, RussianTwinTakesTheSameArguments) {
  std::wstring russian = StoredText(GetParam().id, kRussian);
  ASSERT_FALSE(russian.empty());
  EXPECT_EQ(Conversions(russian), Conversions(GetParam().english));
  // A text with words of its own (beyond its placeholders and "UDP") must have them translated.
  std::wstring words = GetParam().english;
  for (const std::wstring& conversion : Conversions(words)) {
    words.erase(words.find(conversion), conversion.size());
  }
  if (words.find_first_of(L"abcdefghijklmnopqrstuvwxyz") != std::wstring::npos) {
    EXPECT_NE(russian, GetParam().english);
  }
}

TEST_P(LogStringTable, ThreadLanguageSelectsTheText) {
  wchar_t buffer[512];
  {
    ScopedThreadLanguage english(kEnglish);
    int n = LoadStringW(AddinModule(), GetParam().id, buffer, 512);
    EXPECT_EQ(std::wstring(buffer, n > 0 ? n : 0), GetParam().english);
  }
  {
    ScopedThreadLanguage russian(kRussian);
    int n = LoadStringW(AddinModule(), GetParam().id, buffer, 512);
    EXPECT_EQ(std::wstring(buffer, n > 0 ? n : 0), StoredText(GetParam().id, kRussian));
  }
}

INSTANTIATE_TEST_SUITE_P(Ids, LogStringTable, ::testing::ValuesIn(kLogStrings),
                         [](const ::testing::TestParamInfo<LogString>& info) {
                           return "Id" + std::to_string(info.param.id);
                         });

}  // namespace
