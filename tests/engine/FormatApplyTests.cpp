// The format applier: backslash escapes, the template scanner's argument kinds, filling a template
// with the values of a key, the length cap, and the format checker. Built for Windows (under Wine)
// and natively with the sanitizers from the same tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "FormatApply.h"
#include "Messages.h"

#ifdef _WIN32
#include "AddinModule.h"
#endif

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  return out;
}

_KEYNUM_INFO Key(std::initializer_list<BYTE> bytes) {
  _KEYNUM_INFO key = {};
  for (BYTE b : bytes) key.Data[key.Length++] = b;
  return key;
}

// Number 12345 (bytes 0x39 0x30) and 123 (0x7B).
const _KEYNUM_INFO kKey = Key({0x39, 0x30, 0x7B});

TEST(DecodeEscapes, EveryEscapeForm) {
  const struct {
    const wchar_t* text;
    std::wstring decoded;
  } cases[] = {
      {L"plain", L"plain"},
      {L"a\\nb\\r\\t", L"a\nb\r\t"},
      {L"\\\"\\'\\\\\\?", L"\"'\\?"},
      {L"x\\a\\b\\f\\vy", L"xy"},
      {L"\\#65 \\#0651 \\#z", L"A A1 z"},
      {L"\\$41 \\x41 \\X41", L"A A X41"},
      {L"\\x0041 \\x00411 \\xg \\$", L"A A1 g "},
      {L"\\101 \\1012 \\7", L"A A2 \x07"},
      {L"\\8\\9\\q", L"89q"},
      {L"abc\\", L"abc"},
      {L"\\xFFFF\\#999\\777", std::wstring(1, wchar_t(0xFFFF)) + wchar_t(999) + wchar_t(511)},
      {L"a\\0b", std::wstring(L"a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    std::wstring out = L"old";
    DecodeEscapes(out, c.text);
    EXPECT_EQ(out, c.decoded);
  }
}

TEST(ParseFormatTemplate, KindsRewrittenTemplateAndOffsets) {
  const struct {
    const wchar_t* templ;
    std::vector<int> kinds;
    const wchar_t* rewritten;
    std::vector<size_t> offsets;
  } cases[] = {
      {L"", {}, L"", {}},
      {L"%5d", {3}, L"%5lld", {0}},
      {L"%.3u,%.5u", {3, 3}, L"%.3llu,%.5llu", {0, 5}},
      {L"a%hd%ld%I32d%lld%I64d%wd%Id", {1, 2, 2, 3, 3, 3, 3}, L"a%hd%ld%I32d%lld%I64d%wd%Id", {1, 4, 7, 12, 16, 21, 24}},
      {L"%i%o%x%X", {3, 3, 3, 3}, L"%lli%llo%llx%llX", {0, 2, 4, 6}},
      {L"%e%E%f%g%G%a%A", {4, 4, 4, 4, 4, 4, 4}, L"%e%E%f%g%G%a%A", {0, 2, 4, 6, 8, 10, 12}},
      {L"%c%hc%lc%wc%C%hC%lC%wC", {6, 5, 6, 6, 5, 5, 6, 6}, L"%c%hc%lc%wc%C%hC%lC%wC", {0, 2, 5, 8, 11, 13, 16, 19}},
      {L"%s%hs%ls%S%hS%lS%wS", {8, 7, 8, 7, 7, 8, 8}, L"%s%hs%ls%S%hS%lS%wS", {0, 2, 5, 8, 10, 13, 16}},
      {L"%n%p%Z%k", {9, 10, 0, 0}, L"%n%p%Z%k", {0, 2, 4, 6}},
      {L"%%d%d", {3}, L"%%d%lld", {3}},
      {L"%*.*x", {2, 2, 3}, L"%*.*llx", {0}},
      {L"%-+0 #12.4X", {3}, L"%-+0 #12.4llX", {0}},
      {L"abc%", {0}, L"abc%", {3}},
      {L"%*", {2, 0}, L"%*", {0}},
      {L"%5", {0}, L"%5", {0}},
      {L"%ll", {0}, L"%ll", {0}},
      {L"%I3d%d", {0, 3}, L"%I3d%lld", {0, 4}},
      {L"%hhd", {0}, L"%hhd", {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.templ));
    std::vector<int> kinds = {99};
    std::wstring rewritten;
    std::vector<size_t> offsets = {99};
    ParseFormatTemplate(kinds, c.templ, &rewritten, &offsets);
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(rewritten, c.rewritten);
    EXPECT_EQ(offsets, c.offsets);
  }
}

struct FormatCase {
  const wchar_t* templ;
  const wchar_t* params;
  std::wstring text;
};

void CheckFormats(const std::vector<FormatCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.templ) + " / " + Narrow(c.params));
    std::wstring out = L"old";
    try {
      FormatKeyNumber(out, c.templ, c.params, &kKey);
      EXPECT_EQ(out, c.text) << Narrow(out);
    } catch (const CKdParserException& e) {
      ADD_FAILURE() << "fault 0x" << std::hex << uint32_t(e.Code);
    }
  }
}

TEST(FormatKeyNumber, TemplatesFromTheFormatExamples) {
  CheckFormats({
      {L"%.3u,%.5u", L"b2 w01", L"123,12345"},
      {L"%u\\t%u", L"b2 w01", L"123\t12345"},
      {L"%.3u\\x2C%.5u", L"b2 w01", L"123,12345"},
      {L"\\x00411", L"", L"A1"},
      {L"\\#0651", L"", L"A1"},
      {L"a\\0b%d", L"", L"a"},
      {L"%d%%", L"-5", L"-5%"},
      {L"%u %u", L"b0", L"57 0"},
      {L"%*d", L"5 b0", L"   57"},
      {L"%d", L"1 2 3", L"1"},
      {L"no conversion", L"b0", L"no conversion"},
      {L"", L"b0", L""},
  });
}

TEST(FormatKeyNumber, IntegerWidths) {
  CheckFormats({
      {L"%x", L"-1", L"ffffffffffffffff"},
      {L"%lx", L"-1", L"ffffffff"},
      {L"%hd", L"65535", L"-1"},
      {L"%hu %ho", L"0x12345 8", L"9029 10"},
      {L"%I64d %I32u %Iu %wd", L"-1, -1, -1, -1", L"-1 4294967295 18446744073709551615 -1"},
      {L"%lld %ld", L"0x7FFFFFFFFFFFFFFF 0x7FFFFFFFFFFFFFFF", L"9223372036854775807 -1"},
      {L"%X %#x %+d %-4d| %04d", L"255 255 5 7 7", L"FF 0xff +5 7   | 0007"},
      {L"%.*d %*.*d|%*d|%.*d", L"3 7 5 3 7, -4, 7, -1, 7", L"007   007|7   |7"},
  });
}

TEST(FormatKeyNumber, FloatsCharactersStringsAndPointers) {
  CheckFormats({
      {L"%.2f %5.1f %g", L"7, -3, 100", L"7.00  -3.0 100"},
      {L"%c%lc%C%hc%wc%lC", L"65 0x10042 0x143 0x244 0x416 0x417", L"ABCD\x0416\x0417"},
      {L"%s %S %hs %ls", L"-12, -7, 123, 5", L"-12 -7 123 5"},
      {L"%.1s %.2s|%5s|%-5s|", L"123, -123, 42, 42", L"1 -1|   42|42   |"},
      {L"%p", L"", L"0000000000000000"},
      {L"[%20p]", L"", L"[    0000000000000000]"},
      {L"[%-18.2p]", L"", L"[0000000000000000  ]"},
  });
}

// Conversions printf cannot take safely, and texts beyond the cap, give an empty text.
TEST(FormatKeyNumber, UnformattableTemplatesGiveEmptyText) {
  const std::wstring longLiteral(kMaxNumberChars + 1, L'a');
  const std::wstring fullLiteral(kMaxNumberChars, L'a');
  const std::wstring almostFull = std::wstring(kMaxNumberChars - 5, L'a') + L"%6d";
  CheckFormats({
      {L"%k", L"b0", L""},
      {L"ab%n", L"b0", L""},
      {L"%d %y", L"b0 b1", L""},
      {L"%d%", L"b0", L""},
      {L"%5", L"b0", L""},
      {L"%Z", L"b0", L""},
      {L"%hhd", L"b0", L""},
      {L"%4097d", L"1", L""},
      {L"%*d", L"4097 1", L""},
      {L"%*d", L"-4097 1", L""},
      {L"%*d", L"0x80000000 1", L""},
      {L"%.4097d", L"1", L""},
      {L"%.*f", L"5000 1", L""},
      {L"%#.5000g", L"1", L""},
      {L"%99999999999999999999d", L"1", L""},
      {longLiteral.c_str(), L"", L""},
      {almostFull.c_str(), L"1", L""},
  });
  CheckFormats({
      {fullLiteral.c_str(), L"", fullLiteral},
      {L"%4096d", L"1", std::wstring(4095, L' ') + L"1"},
      {L"%.5000g %.9999s", L"1 42", L"1 42"},
  });
}

TEST(FormatKeyNumber, FaultsOfTheParametersLeaveTheTextUnchanged) {
  const struct {
    const wchar_t* templ;
    const wchar_t* params;
    HRESULT code;
  } cases[] = {
      {L"%d", L"b0 +", VOMBRA_E_UNEXPECTED_END},
      {L"%k", L"foo", VOMBRA_E_UNKNOWN_KEYWORD},
      {L"%d", L"b0/(b1-b1)", E_FAIL},
      {L"%d", L"b0%0", E_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.params));
    std::wstring out = L"old";
    try {
      FormatKeyNumber(out, c.templ, c.params, &kKey);
      ADD_FAILURE() << "no fault";
    } catch (const CKdParserException& e) {
      EXPECT_EQ(uint32_t(e.Code), uint32_t(c.code));
    }
    EXPECT_EQ(out, L"old");
  }
}

TEST(FormatKeyNumber, KeyBytesBeyondTheLengthAreNotRead) {
  _KEYNUM_INFO key = Key({0x11, 0x22});
  key.Data[2] = 0x33;  // garbage past Length must stay invisible
  std::wstring out;
  FormatKeyNumber(out, L"%d %d %d", L"b2 x[2] bl", &key);
  EXPECT_EQ(out, L"0 0 2");
  FormatKeyNumber(out, L"%d %d", L"bl b0", nullptr);
  EXPECT_EQ(out, L"0 0");
}

// Reader threads format their keys at the same time; parsing shares nothing between them.
TEST(FormatKeyNumber, ThreadsFormatIndependently) {
  const struct {
    const wchar_t* templ;
    const wchar_t* params;
    const wchar_t* text;
  } formats[] = {
      {L"%.3u,%.5u", L"b2 w01", L"123,12345"},
      {L"%X", L"w2(26,1,b0,b1,b2)", L"F66073"},
      {L"%d %d", L"set(1, b2) get(1) * 2", L"123 246"},
      {L"%d", L"(b0 + b1) / (b2 - 0x7B)", L""},  // divides by zero: the fault travels alone
  };
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const auto& f = formats[t];
      for (int i = 0; i < 2000; ++i) {
        std::wstring out;
        try {
          FormatKeyNumber(out, f.templ, f.params, &kKey);
        } catch (const CKdParserException&) {
          out.clear();
        }
        if (out != f.text) ++mismatches[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(CheckFormatText, FirstFaultWithPosition) {
  const size_t kNone = SIZE_MAX;
  const struct {
    const wchar_t* templ;
    const wchar_t* params;
    HRESULT result;
    size_t position;
    const char* textEnd;  // how the fault's text ends, or null
  } cases[] = {
      {L"%.3u,%.5u", L"b2 w01", S_OK, kNone, nullptr},
      {L"", L"", S_OK, kNone, nullptr},
      {L"\\x25u", L"", S_OK, kNone, nullptr},  // escapes are not decoded when checking
      {L"%d", L"b0/0", S_OK, kNone, nullptr},  // nothing is evaluated
      {L"%p", L"0", S_OK, kNone, nullptr},
      {L"%k", L"b0", VOMBRA_E_TEMPLATE_SPEC, 0, nullptr},
      {L"ab%n", L"b0", VOMBRA_E_TEMPLATE_SPEC, 2, nullptr},
      {L"%n%k", L"", VOMBRA_E_TEMPLATE_SPEC, 2, nullptr},
      {L"%d %n", L"b0 b1", VOMBRA_E_TEMPLATE_SPEC, 3, nullptr},
      {L"x%", L"b0", VOMBRA_E_TEMPLATE_SPEC, 1, nullptr},
      {L"%u%u", L"b0", VOMBRA_E_FEW_PARAMS, kNone, nullptr},
      {L"%*d", L"5", VOMBRA_E_FEW_PARAMS, kNone, nullptr},
      {L"%p", L"", VOMBRA_E_FEW_PARAMS, kNone, nullptr},
      {L"%u", L"b0 +", VOMBRA_E_UNEXPECTED_END, 4, " \"\""},
      {L"%d", L"b0 foo", VOMBRA_E_UNKNOWN_KEYWORD, 3, " \"foo\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.templ) + " / " + Narrow(c.params));
    size_t position = 12345;
    std::wstring text = L"old";
    EXPECT_EQ(uint32_t(CheckFormatText(c.templ, c.params, &position, &text)), uint32_t(c.result));
    EXPECT_EQ(position, c.position);
    if (c.result == S_OK) {
      EXPECT_TRUE(text.empty());
    }
    if (c.textEnd) {
      const std::string narrow = Narrow(text), end = c.textEnd;
      ASSERT_GE(narrow.size(), end.size());
      EXPECT_EQ(narrow.substr(narrow.size() - end.size()), end);
    }
  }
  EXPECT_EQ(uint32_t(CheckFormatText(L"%k", L"", nullptr, nullptr)), uint32_t(VOMBRA_E_TEMPLATE_SPEC));
}

#ifdef _WIN32
TEST(CheckFormatText, TextsComeFromTheMessageTable) {
  const struct {
    LANGID language;
    const wchar_t* templ;
    const wchar_t* params;
    const wchar_t* text;
  } cases[] = {
      {kEnglish, L"%k", L"", L"Template specifier is not supported."},
      {kEnglish, L"%u%u", L"b0", L"Not enough parameters."},
      {kEnglish, L"%u", L"b0 foo", L"Unknown keyword. \"foo\""},
      {kRussian, L"%k", L"", L"Спецификатор шаблона не поддерживается."},
      {kRussian, L"%u%u", L"b0", L"Недостаточно параметров."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.templ));
    ScopedThreadLanguage language(c.language);
    std::wstring text;
    CheckFormatText(c.templ, c.params, nullptr, &text);
    EXPECT_EQ(text, c.text);
  }
}
#endif

}  // namespace
