// The key-number format language: values of parameter texts over key bytes, and the faults of
// malformed texts with their code, position and token. Built for Windows (under Wine) and natively
// with the sanitizers from the same tables.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "KdParser.h"
#include "Messages.h"

#ifdef _WIN32
#include "AddinModule.h"
#endif

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// An Em-Marine key: number 12345 (0x3039), series 12, code bytes 0x34 0x12.
const std::vector<BYTE> kEm = {0x39, 0x30, 0x0C, 0x34, 0x12};
// Six serial bytes of a Dallas key.
const std::vector<BYTE> kDallas = {0xA2, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7};
const std::vector<BYTE> kEmpty = {};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
  return out;
}

std::vector<int64_t> Values(const wchar_t* params, const std::vector<BYTE>& key) {
  CKdParser parser;
  parser.Parse(params);
  parser.Evaluate(key.data(), key.size());
  return parser.Values;
}

struct ValueCase {
  const wchar_t* params;
  const std::vector<BYTE>* key;
  std::vector<int64_t> values;
};

void CheckValues(const std::vector<ValueCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.params));
    try {
      EXPECT_EQ(Values(c.params, *c.key), c.values);
    } catch (const CKdParserException& e) {
      ADD_FAILURE() << "fault 0x" << std::hex << uint32_t(e.Code) << " at " << std::dec << e.Position;
    }
  }
}

TEST(KdParserValues, ListsAndSeparators) {
  CheckValues({
      {L"", &kEm, {}},
      {L" \t\r\n\v\f", &kEm, {}},
      {L"\u00A0b0\u00A0", &kEm, {0x39}},
      {L"b2 w01", &kEm, {12, 12345}},
      {L"b0,b1,", &kEm, {0x39, 0x30}},
      {L"b0 -b1", &kEm, {0x39 - 0x30}},  // binary operators join across blanks
      {L"b0 !b1", &kEm, {0x39, 0}},
      {L"b0 (b1)", &kEm, {0x39, 0x30}},
      {L"w2 26", &kEm, {0x0C, 26}},  // no bracket right behind: the operand w2, then a number
      {L"w2 (26)", &kEm, {0x0C, 26}},
  });
}

TEST(KdParserValues, ByteAndNibbleOperands) {
  CheckValues({
      {L"B0 W01 LOG10(b1)", &kEm, {0x39, 0x3039, 1}},
      {L"b012 b0g", &kEm, {0x39, 0x39}},  // characters beyond the element count are ignored
      {L"w0", &kEm, {0x39}},
      {L"bh mh", &kEm, {0, 0}},
      {L"l3210 l0123", &kEm, {0x39300C34, 0x340C3039}},
      {L"i3210", &kEm, {0x39300C34}},
      {L"m01234567", &kEm, {0x12340C3039}},
      {L"m76543210", &kDallas, {static_cast<int64_t>(0xA2B3C4D5E6F70000ull)}},
      {L"m10ffffff", &kDallas, {0xA2B3}},
      {L"ml bl hl", &kEm, {5, 5, 5}},
      {L"bf b5", &kEm, {0, 0}},
      {L"h0 h1 h9 bh01 bh10 wh0123", &kEm, {9, 3, 1, 0x39, 0x93, 0x3039}},
      {L"lh012346ZZ", &kEm, {0x004C3039}},
      {L"l012Z^0xffffff", &kEm, {0xF3CFC6}},
      {L"bx bX by", &kEm, {0xED, 0xED, 0xD0}},
      {L"bx by", &kDallas, {0x3D, 0x39}},
      {L"bl bx by hx", &kEmpty, {0, 0, 0, 0}},
      {L"wxy", &kEm, {0xD0ED}},
      {L"bz", &kEm, {0}},
  });
}

TEST(KdParserValues, EightByteOperandWithHighBitIsNegative) {
  const std::vector<BYTE> key = {0, 0, 0, 0, 0, 0, 0, 0x80};
  CheckValues({{L"m01234567", &key, {kMin}}, {L"mh0123456789abcdef", &key, {kMin}}});
}

TEST(KdParserValues, NumbersInEveryBase) {
  CheckValues({
      {L"010 007 0", &kEm, {8, 7, 0}},
      {L"08", &kEm, {0, 8}},
      {L"0b101 0B11 0b2", &kEm, {5, 3, 0, 2}},
      {L"0x1f 0X1F", &kEm, {31, 31}},
      {L"0x7FFFFFFFFFFFFFFF 0xFFFFFFFFFFFFFFFF 99999999999999999999", &kEm, {kMax, kMax, kMax}},
      {L"9223372036854775807 9223372036854775808", &kEm, {kMax, kMax}},
  });
}

TEST(KdParserValues, OperatorsAndPrecedence) {
  CheckValues({
      {L"1+2*3 (1+2)*3 2+3*4-5", &kEm, {7, 9, 9}},
      {L"7/2, -7/2, 7%3, -7%3, 7%-3", &kEm, {3, -3, 1, -1, 1}},
      {L"1<<64, 1<<63, -1>>70, -8>>1, 8>>1", &kEm, {1, kMin, -1, -4, 4}},
      {L"!0 !5 ~0, -5, +5, --5", &kEm, {1, 0, -1, -5, 5, 5}},
      {L"6&3 6|3 6^3", &kEm, {2, 7, 5}},
      {L"0&&1 2&&3 0||0 0||7 5||0", &kEm, {0, 1, 0, 1, 1}},
      {L"1|2^3&4 1+1<<2 1||0&&0 0&&1||1", &kEm, {3, 8, 1, 1}},
      {L"0x7FFFFFFFFFFFFFFF+1 0x7FFFFFFFFFFFFFFF*2", &kEm, {kMin, -2}},
      {L"(-0x7FFFFFFFFFFFFFFF-1)/-1 (-0x7FFFFFFFFFFFFFFF-1)%-1, -(-0x7FFFFFFFFFFFFFFF-1)", &kEm, {kMin, 0, kMin}},
  });
}

TEST(KdParserValues, ShortCircuitSkipsTheRightSide) {
  CheckValues({
      {L"0&&set(1,5) get(1) 1||set(2,6) get(2)", &kEm, {0, 0, 1, 0}},
      {L"1&&set(1,5) get(1)", &kEm, {1, 5}},
      {L"0&&b0/0 1||b0%0", &kEm, {0, 1}},
  });
}

TEST(KdParserValues, Functions) {
  CheckValues({
      {L"log10(0) log10(1000) log10(-5) log10(9) log10(10) log10()", &kEm, {-1, 3, kMin, 0, 1, 0}},
      {L"log10(999999999999999999) log10(1000000000000000000) log10(0x7FFFFFFFFFFFFFFF)", &kEm, {17, 18, 18}},
      {L"rbit(1, 0x0102) rbit(9, 1) rbit(0, 1) rbit(8, 1) rbit(2, 3) rbit(1)", &kEm, {0x0140, 0, 0, kMin, 0xC000, 0}},
      {L"rbit(4, l432Z)", &kEm, {0x482C3000}},
      {L"cbit(1, 0x1FF) cbit(8, -1) cbit(0, 5) cbit(2, 0x10101)", &kEm, {8, 64, 0, 2}},
      {L"set(1, 5) get(1) get(2)", &kEm, {5, 5, 0}},
      {L"rbit(0, set(1, 5)) get(1)", &kEm, {0, 0}},
      {L"set(0x100000001, 7) get(1) set(-1, 3) get(0xFFFFFFFF) set(1) get()", &kEm, {7, 7, 3, 3, 0, 0}},
      {L"ds(1, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39)", &kEm, {0xA1}},
      {L"ds(3, 0x333231, 0x363534, 0x393837) ds(0, 1) ds(8, 1) ds(1)", &kEm, {0xA1, 0, 0, 0}},
      {L"ds(1, 1, b0, b1, b2, b3, b4, b5)", &kEm, {0xED}},
      {L"x[0] x[4] x[5] x[-1] x[99] x[b1-0x2C]", &kEm, {0x39, 0x12, 0, 0, 0, 0x12}},
  });
}

TEST(KdParserValues, WiegandFrames) {
  CheckValues({
      {L"w2(26,1,b0,b1,b2) w(26,1,b0,b1,b2)", &kEm, {0x186073, 0x2004186073}},
      {L"w2(26, 3, l012z) W2(26,2,w01,b2)", &kEm, {0x186073, 0x186073}},
      {L"w2(34,1,b0,b1,b2,b3)", &kEm, {0x268186073}},
      {L"w2(1,1,b0) w2(0,1,b0) w2(-26,1,b0) w2(65,1,b0) w2(26,0,b0) w2(26,8,b0) w2(26,1)", &kEm,
       {0, 0, 0, 0, 0, 0, 0}},
  });
}

TEST(KdParserValues, VariablesLiveForOneParse) {
  CKdParser parser;
  parser.Parse(L"set(1, 42)");
  parser.Evaluate(kEm.data(), kEm.size());
  parser.Parse(L"get(1)");
  parser.Evaluate(kEm.data(), kEm.size());
  EXPECT_EQ(parser.Values, std::vector<int64_t>{0});
}

struct FaultCase {
  const wchar_t* params;
  HRESULT code;
  size_t position;
  const wchar_t* token;
};

void CheckFaults(const std::vector<FaultCase>& cases, bool evaluate) {
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.params));
    CKdParser parser;
    try {
      parser.Parse(c.params);
      if (evaluate) parser.Evaluate(kEm.data(), kEm.size());
      ADD_FAILURE() << "no fault";
    } catch (const CKdParserException& e) {
      EXPECT_EQ(uint32_t(e.Code), uint32_t(c.code));
      EXPECT_EQ(e.Position, c.position);
      const std::string message = e.Message;
      const std::string quoted = " \"" + Narrow(c.token) + "\"";
      ASSERT_GE(message.size(), quoted.size());
      EXPECT_EQ(message.substr(message.size() - quoted.size()), quoted);
      if (!evaluate) {
        EXPECT_TRUE(parser.Expressions.empty());
      }
    }
  }
}

TEST(KdParserFaults, CodePositionAndToken) {
  CheckFaults(
      {
          {L"log10 (b0)", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"log10"},
          {L"foo", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"foo"},
          {L"b0 FOO", VOMBRA_E_UNKNOWN_KEYWORD, 3, L"foo"},
          {L"b", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"b"},
          {L"h", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"h"},
          {L"bg", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"bg"},
          {L"bhg0", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"bhg0"},
          {L"hh", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"hh"},
          {L"x1", VOMBRA_E_UNKNOWN_KEYWORD, 0, L"x1"},
          {L"0x", VOMBRA_E_UNEXPECTED_END, 2, L""},
          {L"b0 0b", VOMBRA_E_UNEXPECTED_END, 5, L""},
          {L"0xg", VOMBRA_E_NUMBER_SUFFIX, 2, L"g"},
          {L"0b-1", VOMBRA_E_NUMBER_SUFFIX, 2, L"-"},
          {L"b0 +", VOMBRA_E_UNEXPECTED_END, 4, L""},
          {L"(b0", VOMBRA_E_EXPECTED_CLOSE, 3, L""},
          {L"(b0 b1)", VOMBRA_E_EXPECTED_CLOSE, 4, L"b1"},
          {L"rbit(1, b0", VOMBRA_E_EXPECTED_CLOSE, 10, L""},
          {L"x[1", VOMBRA_E_EXPECTED_CLOSE, 3, L""},
          {L"x[1)", VOMBRA_E_EXPECTED_CLOSE, 4, L""},
          {L"x(1)", VOMBRA_E_EXPECTED_OPEN, 2, L""},
          {L"rbit[1]", VOMBRA_E_EXPECTED_OPEN, 5, L""},
          {L"x[]", VOMBRA_E_UNEXPECTED_OPERATOR, 2, L"]"},
          {L"b0,,b1", VOMBRA_E_UNEXPECTED_OPERATOR, 3, L","},
          {L",", VOMBRA_E_UNEXPECTED_OPERATOR, 0, L","},
          {L")", VOMBRA_E_UNEXPECTED_OPERATOR, 0, L")"},
          {L"*b0", VOMBRA_E_UNEXPECTED_OPERATOR, 0, L"*"},
          {L"b0 && || b1", VOMBRA_E_UNEXPECTED_OPERATOR, 6, L"||"},
          {L"rbit(1,)", VOMBRA_E_UNEXPECTED_OPERATOR, 7, L")"},
          {L"b0 # b1", VOMBRA_E_UNKNOWN_SYMBOL, 3, L"#"},
          {L"b0 < b1", VOMBRA_E_UNKNOWN_SYMBOL, 3, L"<"},
          {L"b0 = 1", VOMBRA_E_UNKNOWN_SYMBOL, 3, L"="},
          {L"b0;b1", VOMBRA_E_UNKNOWN_SYMBOL, 2, L";"},
          {L"b0 \u4E00", VOMBRA_E_UNKNOWN_SYMBOL, 3, L"?"},  // not in any ANSI code page
      },
      false);
}

TEST(KdParserFaults, DivisionByZeroIsAFaultOfTheFormat) {
  CheckFaults(
      {
          {L"b0/0", E_FAIL, 2, L"/"},
          {L"b0 b1 % (b1-b1)", E_FAIL, 6, L"%"},
          {L"rbit(1, 5/x[9])", E_FAIL, 9, L"/"},
      },
      true);
}

std::wstring Repeat(const wchar_t* piece, size_t n) {
  std::wstring text;
  for (size_t i = 0; i < n; ++i) text += piece;
  return text;
}

// Texts that nest or chain beyond any real format end in a fault, never in a stack overflow.
TEST(KdParserFaults, DeepTextsAreRefused) {
  const std::wstring texts[] = {
      Repeat(L"(", 100000) + L"b0",
      Repeat(L"-", 100000) + L"b0",
      Repeat(L"rbit(1,", 100000),
      Repeat(L"x[", 100000),
      L"b0" + Repeat(L"+b0", 100000),
      L"b0" + Repeat(L"*b0", 100000),
  };
  for (const auto& text : texts) {
    SCOPED_TRACE(Narrow(text.substr(0, 12)));
    CKdParser parser;
    try {
      parser.Parse(text.c_str());
      ADD_FAILURE() << "no fault";
    } catch (const CKdParserException& e) {
      EXPECT_EQ(uint32_t(e.Code), uint32_t(E_FAIL));
      EXPECT_LT(e.Position, text.size());
    }
  }
}

TEST(KdParserFaults, ModerateNestingStillParses) {
  const std::wstring text = Repeat(L"(", 40) + L"b0" + Repeat(L")", 40) + L" " + Repeat(L"b0+", 100) + L"b0";
  EXPECT_EQ(Values(text.c_str(), kEm), (std::vector<int64_t>{0x39, 101 * 0x39}));
}

#ifdef _WIN32
TEST(KdParserFaults, MessageIsTheTableTextAndTheQuotedToken) {
  ScopedThreadLanguage language(kEnglish);
  CKdParser parser;
  try {
    parser.Parse(L"b0 foo");
    FAIL() << "no fault";
  } catch (const CKdParserException& e) {
    const CKdParserException copy = e;
    EXPECT_STREQ(copy.what(), "Unknown keyword. \"foo\"");
    EXPECT_EQ(copy.Position, 3u);
    EXPECT_EQ(uint32_t(copy.Code), 0x80040238u);
  }
}
#endif

}  // namespace
