// Core helpers: string tables, formatting, hexadecimal text, versions, folders and log text.
#include <windows.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AddinModule.h"
#include "Core.h"
#include "GuardedBlock.h"
#include "ResourceIds.h"
#include "Variant.h"

namespace {

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
  std::vector<BYTE> bytes;
  for (int v : values) bytes.push_back(BYTE(v));
  return bytes;
}

// ---- String tables and formatting ----

TEST(StringTable, LoadsTextsInTheThreadLanguage) {
  const struct {
    LANGID language;
    UINT id;
    const wchar_t* text;
  } cases[] = {
      {kEnglish, IDS_SYSTEM_ERROR, L"System error. Code: %d."},
      {kEnglish, IDS_COM_ERROR, L"COM error %#.8x"},
      {kRussian, IDS_SYSTEM_ERROR, L"Системная ошибка. Код: %d."},
      {kRussian, IDS_COM_ERROR, L"Ошибка COM %#.8x"},
  };
  for (const auto& c : cases) {
    ScopedThreadLanguage language(c.language);
    std::wstring text;
    EXPECT_EQ(LoadStr(c.id, text), int(wcslen(c.text)));
    EXPECT_EQ(text, c.text);
  }
}

TEST(StringTable, MissingIdGivesEmptyText) {
  std::wstring text = L"old";
  EXPECT_EQ(LoadStr(9999, text), 0);
  EXPECT_TRUE(text.empty());
  EXPECT_EQ(LoadStrFormat(text, 9999, 5), 0);
  EXPECT_TRUE(text.empty());
}

TEST(StringTable, LoadStrFormatFillsTheLoadedText) {
  ScopedThreadLanguage language(kEnglish);
  std::wstring text;
  LoadStrFormat(text, IDS_COM_ERROR, 0x80040211u);
  EXPECT_EQ(text, L"COM error 0x80040211");
}

TEST(StrFormat, UsesMicrosoftWideRules) {
  std::wstring text;
  EXPECT_EQ(StrFormat(text, L"[%s|%S|%d|%#.8x|%I64u]", L"wide", "narrow", -7, 0x1Au, 18446744073709551615ull), 48);
  EXPECT_EQ(text, L"[wide|narrow|-7|0x0000001a|18446744073709551615]");
}

TEST(StrFormat, KeepsTheWholeTextOfALongArgument) {
  std::wstring argument(2000, L'x');
  argument[1999] = L'z';
  std::wstring text = L"replaced";
  EXPECT_EQ(StrFormat(text, L"<%s>", argument.c_str()), 2002);
  EXPECT_EQ(text, L"<" + argument + L">");
}

TEST(StrFormat, AppendKeepsWhatWasThereAndGrows) {
  std::wstring text = L"head:";
  std::wstring argument(3000, L'y');
  EXPECT_EQ(StrAppendFormat(text, L"%s;%d", argument.c_str(), 42), 5 + 3000 + 3);
  EXPECT_EQ(text, L"head:" + argument + L";42");
  EXPECT_EQ(StrAppendFormat(text, L"%s", L""), 5 + 3000 + 3);
}

TEST(TextConversion, RoundTripsThroughTheAnsiCodePage) {
  std::wstring wide;
  EXPECT_EQ(AnsiToWide("COM7 key", -1, wide), 8);
  EXPECT_EQ(wide, L"COM7 key");
  EXPECT_EQ(AnsiToWide("COM7 key", 4, wide), 4);
  EXPECT_EQ(wide, L"COM7");
  std::string narrow;
  EXPECT_EQ(WideToAnsi(L"abc", -1, narrow), 3);
  EXPECT_EQ(narrow, "abc");
  EXPECT_EQ(WideToAnsi(L"abc", 0, narrow), 0);
  EXPECT_TRUE(narrow.empty());
  EXPECT_EQ(AnsiToWide(nullptr, -1, wide), 0);
  EXPECT_TRUE(wide.empty());
}

// ---- Hexadecimal text ----

struct HexCase {
  const wchar_t* text;
  int length;
  size_t max;
  std::vector<BYTE> forward;   // HexToBytes
  std::vector<BYTE> reversed;  // HexToBytesReversed
};

TEST(Hex, TextToBytesInBothOrders) {
  const HexCase cases[] = {
      {L"ABC", -1, 16, Bytes({0xAB, 0xC0}), Bytes({0xBC, 0x0A})},
      {L"ABC", -1, 1, Bytes({0xAB}), Bytes({0xBC})},  // a cut odd text: whole pairs, the low end kept
      {L"ABC", -1, 0, {}, {}},
      {L"G1", -1, 8, Bytes({0x01}), Bytes({0x01})},  // a non-hex digit counts as 0
      {L"0a1B", -1, 8, Bytes({0x0A, 0x1B}), Bytes({0x1B, 0x0A})},
      {L"123456", 4, 8, Bytes({0x12, 0x34}), Bytes({0x34, 0x12})},
      {L"12345", -1, 2, Bytes({0x12, 0x34}), Bytes({0x45, 0x23})},
      {L"F", -1, 4, Bytes({0xF0}), Bytes({0x0F})},
      {L"", -1, 4, {}, {}},
  };
  for (const HexCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "text " << std::string(c.text, c.text + wcslen(c.text)) << " max "
                                    << c.max);
    // Bytes beyond the count must stay untouched: the guard byte after max catches an overrun.
    std::vector<BYTE> out(c.max + 1, 0xEE);
    ASSERT_EQ(HexToBytes(c.text, c.length, out.data(), c.max), c.forward.size());
    EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + c.forward.size()), c.forward);
    EXPECT_EQ(out[c.max], 0xEE);
    std::fill(out.begin(), out.end(), 0xEE);
    ASSERT_EQ(HexToBytesReversed(c.text, c.length, out.data(), c.max), c.reversed.size());
    EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + c.reversed.size()), c.reversed);
    EXPECT_EQ(out[c.max], 0xEE);
  }
}

TEST(Hex, BytesToText) {
  const auto data = Bytes({0x02, 0x0A, 0xFF});
  std::wstring text;
  BytesToHexStr(data.data(), data.size(), text);
  EXPECT_EQ(text, L"020AFF");

  const struct {
    size_t bufferChars;
    size_t result;
    const wchar_t* text;
  } cases[] = {{7, 6, L"020AFF"}, {100, 6, L"020AFF"}, {6, 5, L"020AF"}, {2, 1, L"0"}, {1, 0, L""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bufferChars);
    std::vector<wchar_t> buffer(c.bufferChars + 1, L'#');
    EXPECT_EQ(BytesToHex(data.data(), data.size(), buffer.data(), c.bufferChars), c.result);
    EXPECT_STREQ(buffer.data(), c.text);
    EXPECT_EQ(buffer[c.bufferChars], L'#');
  }
}

TEST(Hex, DumpSeparatesBytesWithBlanks) {
  const struct {
    std::vector<BYTE> data;
    const wchar_t* text;
  } cases[] = {{{}, L""}, {Bytes({0x0F}), L"0F"}, {Bytes({0x02, 0x0A, 0xFF}), L"02 0A FF"}};
  for (const auto& c : cases) {
    std::wstring text = L"old";
    BytesToHexDump(text, c.data.data(), c.data.size());
    EXPECT_EQ(text, c.text);
  }
}

// ---- Versions ----

TEST(Version, PackedVersionAsText) {
  const struct {
    UINT packed;
    const wchar_t* text;
  } cases[] = {
      {0, L""},
      {10, L"10"},
      {(261u << 8) | 0xFF, L"261"},
      {1 | 9 << 8 | 5 << 16 | 7u << 24, L"1.9.5.7"},
      {9 | 5 << 8, L"9.5"},
      {3 | 0 << 8 | 2 << 16, L"3.0.2"},
      {0 | 0 << 8 | 0 << 16 | 1u << 24, L"0.0.0.1"},
      {0xFFFFFFFF, L"16777215"},
  };
  for (const auto& c : cases) {
    std::wstring text = L"old";
    VersionToStr(c.packed, text);
    EXPECT_EQ(text, c.text) << c.packed;
  }
}

TEST(Version, FileVersionOfTheAddin) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(AddinModule(), path, MAX_PATH), 0u);
  EXPECT_EQ(GetFileVersionNumber(path), 1u | 9u << 8 | 5u << 16 | 7u << 24);
  EXPECT_EQ(GetFileVersionNumber(L"C:\\no such folder\\none.dll"), 0u);
}

TEST(Version, WindowsSixOrLater) { EXPECT_TRUE(IsWindowsVistaOrLater()); }

// ---- Thread locale ----

// Runs on a fresh thread so that the test thread's own language stays as it was.
std::wstring SystemErrorTextAfterApplying(LCID lcid) {
  std::wstring text;
  std::thread worker([&] {
    LCID saved = g_lcid;
    g_lcid = lcid;
    ApplyThreadLocale();
    g_lcid = saved;
    LoadStr(IDS_SYSTEM_ERROR, text);
  });
  worker.join();
  return text;
}

TEST(ThreadLocale, PicksTheLanguageOfTheAddinLocale) {
  EXPECT_EQ(SystemErrorTextAfterApplying(MAKELCID(kRussian, SORT_DEFAULT)), L"Системная ошибка. Код: %d.");
  EXPECT_EQ(SystemErrorTextAfterApplying(MAKELCID(kEnglish, SORT_DEFAULT)), L"System error. Code: %d.");
  _wsetlocale(LC_ALL, L"C");
}

TEST(ThreadLocale, SetsTheRuntimeLocaleFromTheEnglishNames) {
  std::thread worker([] {
    LCID saved = g_lcid;
    g_lcid = MAKELCID(kEnglish, SORT_DEFAULT);
    ApplyThreadLocale();
    g_lcid = saved;
  });
  worker.join();
  const wchar_t* name = _wsetlocale(LC_ALL, nullptr);
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::wstring(name).rfind(L"English_United States", 0), 0u) << std::wstring(name).size();
  _wsetlocale(LC_ALL, L"C");
}

// ---- Folders ----

class FolderTest : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    m_root = std::wstring(temp) + L"vombra-folders-" + std::to_wstring(GetCurrentProcessId());
  }
  void TearDown() override {
    RemoveDirectoryW((m_root + L"\\a\\b").c_str());
    RemoveDirectoryW((m_root + L"\\a").c_str());
    RemoveDirectoryW(m_root.c_str());
  }
  static bool IsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  std::wstring m_root;
};

TEST_F(FolderTest, CreatesEveryMissingLevel) {
  EXPECT_TRUE(CreateDirectoryPath((m_root + L"\\a\\b\\").c_str()));
  EXPECT_TRUE(IsFolder(m_root + L"\\a"));
  EXPECT_TRUE(IsFolder(m_root + L"\\a\\b"));
  EXPECT_TRUE(CreateDirectoryPath((m_root + L"\\a\\b").c_str()));  // already there
}

TEST_F(FolderTest, NothingToCreate) {
  EXPECT_TRUE(CreateDirectoryPath(L""));
  EXPECT_TRUE(CreateDirectoryPath(L"vombra-bare-name"));
  EXPECT_FALSE(IsFolder(L"vombra-bare-name"));
  EXPECT_TRUE(CreateDirectoryPath(L"\\\\\\"));
}

TEST_F(FolderTest, FailsBelowAFile) {
  ASSERT_TRUE(CreateDirectoryPath(m_root.c_str()));
  std::wstring file = m_root + L"\\a";
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  CloseHandle(handle);
  EXPECT_FALSE(CreateDirectoryPath((file + L"\\b").c_str()));
  DeleteFileW(file.c_str());
}

// ---- Log text ----

TEST(LogText, EscapesPortTraffic) {
  const struct {
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"A\r\n\\", L"A\\r\\n\\\\"},
      {"Em-Marine[0C00] 123,45678", L"Em-Marine[0C00] 123,45678"},
      {std::string("\x80\xFF\x00x", 4), std::wstring{wchar_t(0xFF80), wchar_t(0xFFFF), L'\0', L'x'}},
      {"", L""},
  };
  for (const auto& c : cases) {
    std::wstring text = L"old";
    EscapeLogText(text, c.bytes.data(), int(c.bytes.size()));
    EXPECT_EQ(text, c.text);
  }
  std::wstring text;
  EscapeLogText(text, "up\nto NUL\0hidden", -1);
  EXPECT_EQ(text, L"up\\nto NUL");
}

TEST(LogText, EscapesWideText) {
  std::wstring text;
  EscapeLogTextW(text, L"Нет\r\n\\ключа\x0430", -1);
  EXPECT_EQ(text, L"Нет\\r\\n\\\\ключа\x0430");
  EscapeLogTextW(text, L"abc", 2);
  EXPECT_EQ(text, L"ab");
}

// ---- Native API values as log text ----

tVariant Value(uint16_t type) {
  tVariant value;
  std::memset(&value, 0, sizeof value);
  value.vt = type;
  return value;
}

TEST(VariantText, Scalars) {
  struct Case {
    tVariant value;
    const wchar_t* text;
  };
  std::vector<Case> cases;
  auto add = [&](uint16_t type, auto set, const wchar_t* text) {
    tVariant v = Value(type);
    set(v);
    cases.push_back({v, text});
  };
  add(VTYPE_EMPTY, [](tVariant&) {}, L"EMPTY");
  add(VTYPE_NULL, [](tVariant&) {}, L"NULL");
  add(VTYPE_I2, [](tVariant& v) { v.shortVal = -12; }, L"I2 -12");
  add(VTYPE_I4, [](tVariant& v) { v.lVal = -2147483647 - 1; }, L"I4 -2147483648");
  add(VTYPE_R4, [](tVariant& v) { v.fltVal = 1.5f; }, L"R4 1.500000");
  add(VTYPE_R8, [](tVariant& v) { v.dblVal = -0.25; }, L"R8 -0.250000");
  add(VTYPE_DATE, [](tVariant& v) { v.date = 45000.5; }, L"DATE 15.3.2023 12:0:0.0");
  add(VTYPE_BOOL, [](tVariant& v) { v.bVal = true; }, L"true");
  add(VTYPE_BOOL, [](tVariant& v) { v.bVal = false; }, L"false");
  add(VTYPE_I1, [](tVariant& v) { v.i8Val = -5; }, L"I1 -5");
  add(VTYPE_UI1, [](tVariant& v) { v.ui8Val = 200; }, L"UI1 200");
  add(VTYPE_UI2, [](tVariant& v) { v.ushortVal = 65535; }, L"UI2 65535");
  add(VTYPE_UI4, [](tVariant& v) { v.ulVal = 4294967295u; }, L"UI4 4294967295");
  add(VTYPE_I8, [](tVariant& v) { v.llVal = 0; }, L"I8 0");
  add(VTYPE_I8, [](tVariant& v) { v.llVal = -9223372036854775807ll - 1; }, L"I8 -9223372036854775808");
  add(VTYPE_UI8, [](tVariant& v) { v.ullVal = 18446744073709551615ull; }, L"UI8 18446744073709551615");
  add(VTYPE_INT, [](tVariant& v) { v.intVal = 7; }, L"INT 7");
  add(VTYPE_UINT, [](tVariant& v) { v.uintVal = 8; }, L"UINT 8");
  add(VTYPE_CLSID, [](tVariant&) {}, L"TYPE 24");
  add(VTYPE_I4 | 0x2000, [](tVariant& v) { v.lVal = 3; }, L"I4 3");  // flag bits are ignored
  add(0x2019, [](tVariant&) {}, L"TYPE 8217");                        // unknown: the whole type word
  for (const Case& c : cases) {
    std::wstring text = L"old";
    VariantToText(&c.value, text);
    EXPECT_EQ(text, c.text) << "type " << c.value.vt;
  }
}

TEST(VariantText, TimeStructure) {
  tVariant value = Value(VTYPE_TM);
  value.tmVal.tm_year = 123;
  value.tmVal.tm_mon = 2;
  value.tmVal.tm_mday = 15;
  value.tmVal.tm_hour = 12;
  std::wstring text;
  VariantToText(&value, text);
  ASSERT_GT(text.size(), 3u);
  EXPECT_EQ(text.substr(0, 3), L"TM ");
  EXPECT_NE(text.find(L"12:00:00"), std::wstring::npos) << std::string(text.begin(), text.end());

  value.tmVal.tm_mon = 14;  // out of range: shown as nothing, never handed to the run-time
  VariantToText(&value, text);
  EXPECT_EQ(text, L"TM ");
}

TEST(VariantText, StringsAndBlocksAreCut) {
  std::wstring wide(600, L'w');
  tVariant value = Value(VTYPE_PWSTR);
  value.pwstrVal = &wide[0];
  value.wstrLen = 600;
  std::wstring text;
  VariantToText(&value, text);
  EXPECT_EQ(text, L"\"" + std::wstring(512, L'w') + L"...\"");

  value.wstrLen = 512;
  VariantToText(&value, text);
  EXPECT_EQ(text, L"\"" + std::wstring(512, L'w') + L"\"");

  std::wstring special = L"a\tb\nc\rd\"e'f\\g";
  value.pwstrVal = &special[0];
  value.wstrLen = uint32_t(special.size());
  VariantToText(&value, text);
  EXPECT_EQ(text, L"\"a\\tb\\nc\\rd\\\"e\\'f\\\\g\"");

  value.wstrLen = 3;  // the length field counts, not a NUL
  VariantToText(&value, text);
  EXPECT_EQ(text, L"\"a\\tb\"");

  std::vector<char> block(300, '\x5A');
  block[0] = '\x01';
  for (uint16_t type : {VTYPE_BLOB, VTYPE_PSTR}) {
    tVariant blob = Value(type);
    blob.pstrVal = block.data();
    blob.strLen = 300;
    VariantToText(&blob, text);
    std::wstring expected = L"{01";
    for (int i = 1; i < 256; ++i) expected += L"5A";
    EXPECT_EQ(text, expected + L"...}");
    blob.strLen = 2;
    VariantToText(&blob, text);
    EXPECT_EQ(text, L"{015A}");
    blob.strLen = 0;
    VariantToText(&blob, text);
    EXPECT_EQ(text, L"{}");
  }
}

// A host's length is not trusted: the text shown stops where the host's block does, and "..." tells
// that the length asked for more.
TEST(VariantText, LengthsBeyondTheBlockStopAtItsEnd) {
  GuardedBlock textBlock(3 * sizeof(wchar_t));
  std::memcpy(textBlock.Data(), L"abc", 3 * sizeof(wchar_t));  // no NUL: the block ends after "c"
  GuardedBlock bytesBlock(2);
  std::memcpy(bytesBlock.Data(), "\x01\x02", 2);
  struct Case {
    const char* name;
    uint16_t type;
    void* data;
    uint32_t length;
    std::wstring text;
  } cases[] = {
      {"text of its own length", VTYPE_PWSTR, textBlock.Data(), 3, L"\"abc\""},
      {"text claiming a megabyte", VTYPE_PWSTR, textBlock.Data(), 1u << 20, L"\"abc...\""},
      {"text claiming the whole range", VTYPE_PWSTR, textBlock.Data(), 0xFFFFFFFFu, L"\"abc...\""},
      {"blob of its own length", VTYPE_BLOB, bytesBlock.Data(), 2, L"{0102}"},
      {"blob claiming a megabyte", VTYPE_BLOB, bytesBlock.Data(), 1u << 20, L"{0102...}"},
      {"narrow text claiming the whole range", VTYPE_PSTR, bytesBlock.Data(), 0xFFFFFFFFu, L"{0102...}"},
      {"no memory at all", VTYPE_PWSTR, nullptr, 1u << 20, L"\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tVariant value = Value(c.type);
    value.pstrVal = static_cast<char*>(c.data);
    value.strLen = c.length;
    std::wstring text;
    VariantToText(&value, text);
    EXPECT_EQ(text, c.text);
  }
}

// ---- Texts of error codes ----

TEST(MessageText, SystemTextsIgnoreInserts) {
  // ERROR_BAD_EXE_FORMAT's text holds "%1"; without the inserts flag the lookup itself would fail.
  std::wstring text;
  EXPECT_TRUE(FormatMessageText(text, nullptr, ERROR_BAD_EXE_FORMAT));
  EXPECT_FALSE(text.empty());
  ASSERT_TRUE(FormatMessageText(text, nullptr, ERROR_FILE_NOT_FOUND));
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), L'\n');
  EXPECT_NE(text.back(), L'\r');
}

}  // namespace
