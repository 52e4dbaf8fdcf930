// Key model: key lines of every reader family, identification replies, key texts, the Dallas CRC and
// Wiegand frames. Expected bytes and texts are worked out by hand from the readers' line formats.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "KeyModel.h"

namespace {

_KEYNUM_INFO Key(std::initializer_list<int> bytes) {
  std::vector<BYTE> data(bytes.begin(), bytes.end());
  _KEYNUM_INFO key;
  MakeKeyNum(data.data(), int(data.size()), key);
  return key;
}

std::string Hex(const BYTE* data, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    if (i) text += ' ';
    text += digits[data[i] >> 4];
    text += digits[data[i] & 0xF];
  }
  return text;
}

// ---- Key lines ----

struct KeyLineCase {
  const char* name;
  const wchar_t* line;
  READER_MODEL model;
  UINT firmware;
  bool differentCodes;
  bool result;
  KEY_TYPE type;
  std::vector<int> bytes;  // Data[0 .. Length - 1]; every later byte must be 0
  const wchar_t* text;     // KeyNumToStr of the result
};

void PrintTo(const KeyLineCase& c, std::ostream* os) { *os << c.name; }

const KeyLineCase kKeyLines[] = {
    // Em-Marine: number in bytes 0..1, series in byte 2, the bracketed code in bytes 3..4.
    {"EmMarine", L"Em-Marine[1234] 012,12345", 0, 0, false, true, KT_EM_MARINE, {0x39, 0x30, 0x0C, 0x34, 0x12},
     L"[1234] 012,12345"},
    {"EmMarineCapitalsLowerHex", L"EM-MARINE[00ab] 1,2", 0, 0, false, true, KT_EM_MARINE,
     {0x02, 0x00, 0x01, 0xAB, 0x00}, L"[00AB] 001,00002"},
    {"EmMarineOddDigitsDropLeftmost", L"Em-Marine[ABC] 5,7", 0, 0, false, true, KT_EM_MARINE,
     {0x07, 0x00, 0x05, 0xBC, 0x00}, L"[00BC] 005,00007"},
    {"EmMarineFirstDecimalOnly", L"Em-Marine[1234] 012", 0, 0, false, true, KT_EM_MARINE,
     {0x00, 0x00, 0x0C, 0x34, 0x12}, L"[1234] 012,00000"},
    {"EmMarineTrailingBlanks", L"Em-Marine[1234]   012,12345   ", 0, 0, false, true, KT_EM_MARINE,
     {0x39, 0x30, 0x0C, 0x34, 0x12}, L"[1234] 012,12345"},
    {"EmMarineWithoutDecimalRejected", L"Em-Marine[1234]", 0, 0, false, false, KT_UNKNOWN, {}, L""},
    {"BlankBeforeBracketRejected", L"Em-Marine [1234] 012,12345", 0, 0, false, false, KT_UNKNOWN, {}, L""},
    {"UnknownNameRejected", L"Proxy[1234] 1,2", 0, 0, false, false, KT_UNKNOWN, {}, L""},
    {"NameCutAtFifteenRejected", L"Em-Marine-Reader[1234] 1,2", 0, 0, false, false, KT_UNKNOWN, {}, L""},
    {"NoOpeningBracketRejected", L"Em-Marine 012,12345", 0, 0, false, false, KT_UNKNOWN, {}, L""},
    {"NoClosingBracketRejected", L"Em-Marine[1234 012,12345", 0, 0, false, false, KT_UNKNOWN, {}, L""},

    // HID: card number in bytes 0..1, up to four code bytes from byte 2.
    {"Hid", L"HID[12345678] 4660", 0, 0, false, true, KT_HID, {0x34, 0x12, 0x78, 0x56, 0x34, 0x12},
     L"[12345678] 4660"},
    {"HidShortCodeLowerCase", L"hid[0a1b] 7", 0, 0, false, true, KT_HID, {0x07, 0x00, 0x1B, 0x0A, 0x00, 0x00},
     L"[00000A1B] 7"},
    {"HidKeepsFourCodeBytes", L"HID[0102030405] 9", 0, 0, false, true, KT_HID, {0x09, 0x00, 0x05, 0x04, 0x03, 0x02},
     L"[02030405] 9"},
    {"HidModel1Firmware106TextOrder", L"HID[0102030405] 9", RM_KD6_A, 106, false, true, KT_HID,
     {0x01, 0x02, 0x03, 0x04, 0x05, 0x00}, L"[00050403] 513"},
    {"HidModel1Firmware106LongCode", L"HID[0102030405060708] 9", RM_KD6_A, 106, false, true, KT_HID,
     {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, L"[06050403] 513"},
    {"HidModel1OtherFirmware", L"HID[0102030405] 9", RM_KD6_A, 107, false, true, KT_HID,
     {0x09, 0x00, 0x05, 0x04, 0x03, 0x02}, L"[02030405] 9"},
    {"HidOtherModelFirmware106", L"HID[0102030405] 9", RM_KD6_C, 106, false, true, KT_HID,
     {0x09, 0x00, 0x05, 0x04, 0x03, 0x02}, L"[02030405] 9"},
    {"HidWithoutDecimalRejected", L"HID[1234]", 0, 0, false, false, KT_UNKNOWN, {}, L""},

    // Mifare: type from the sub-name, else from SAK/ATQA; UIDs longer than 4 bytes are rotated.
    {"MifareUltralightRotated", L"Mifare[04A1B2C3D4E5F6] UL", 0, 0, false, true, KT_MIFARE_UL,
     {0xD4, 0xE5, 0xF6, 0x04, 0xA1, 0xB2, 0xC3}, L"C3B2A104F6E5D4"},
    {"MifareSubNameAfterDecimal", L"Mifare[A1B2C3D4] 0 1K", 0, 0, false, true, KT_MIFARE_1K,
     {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"},
    {"MifareDigitSubNameIsDecimal", L"Mifare[A1B2C3D4] 1K", 0, 0, false, false, KT_UNKNOWN,
     {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"},
    {"MifareDesfireLowerCase", L"mifare[a1b2c3d4] df", 0, 0, false, true, KT_DESFIRE, {0xA1, 0xB2, 0xC3, 0xD4},
     L"D4C3B2A1"},
    {"MifareProx", L"Mifare[A1B2C3D4] PX", 0, 0, false, true, KT_PROX, {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"},
    {"MifareSubNameBeatsSak", L"Mifare[A1B2C3D4] (0004 08) UL", 0, 0, false, true, KT_MIFARE_UL,
     {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"},
    {"MifareUnknownWordThenSak", L"Mifare[A1B2C3D4] XX (0004 08)", 0, 0, false, true, KT_MIFARE_1K,
     {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"},
    {"MifareNoTypeInformation", L"Mifare[A1B2C3D4]", 0, 0, false, false, KT_UNKNOWN, {0xA1, 0xB2, 0xC3, 0xD4},
     L"D4C3B2A1"},
#define SAK_ROW(name, items, type)                                                                  \
  {                                                                                                 \
    "MifareSak" name, L"Mifare[A1B2C3D4] " items, 0, 0, false, type != KT_UNKNOWN, type,            \
        {0xA1, 0xB2, 0xC3, 0xD4}, L"D4C3B2A1"                                                       \
  }
    SAK_ROW("08", L"(0004 08)", KT_MIFARE_1K),
    SAK_ROW("08CommaSeparated", L"(0004,08)", KT_MIFARE_1K),
    SAK_ROW("09", L"(0004 09)", KT_MIFARE_MINI),
    SAK_ROW("28", L"(0004 28)", KT_SMART_MX_1K),
    SAK_ROW("18", L"(0002 18)", KT_MIFARE_4K),
    SAK_ROW("19", L"(0002 19)", KT_MIFARE_2K),
    SAK_ROW("38", L"(0002 38)", KT_SMART_MX_4K),
    SAK_ROW("10", L"(0004 10)", KT_MIFARE_PLUS_2K),
    SAK_ROW("11", L"(0002 11)", KT_MIFARE_PLUS_4K),
    SAK_ROW("20Atqa0002", L"(0002 20)", KT_MIFARE_PLUS_4K),
    SAK_ROW("20Atqa0042", L"(0042 20)", KT_MIFARE_PLUS_4K),
    SAK_ROW("20Atqa0004", L"(0004 20)", KT_MIFARE_PLUS_2K),
    SAK_ROW("20Atqa0044", L"(0044 20)", KT_MIFARE_PLUS_2K),
    SAK_ROW("20Atqa0344", L"(0344 20)", KT_DESFIRE),
    SAK_ROW("20OtherAtqa", L"(0001 20)", KT_MIFARE_PLUS),
    SAK_ROW("00", L"(0044 00)", KT_MIFARE_UL),
    SAK_ROW("0ARejected", L"(0004 0A)", KT_UNKNOWN),
#undef SAK_ROW

    // iCode: bytes 0..1 second decimal, byte 2 first decimal, then code bytes from byte 3 of the code.
    {"ICode", L"iCode[E004010012345678] 1,2", 0, 0, false, true, KT_ICODE,
     {0x02, 0x00, 0x01, 0x12, 0x00, 0x01, 0x04, 0xE0}, L"E004010012010002"},
    {"ICodeShortCode", L"ICODE[123456] 1,2", 0, 0, false, true, KT_ICODE, {0x02, 0x00, 0x01}, L"010002"},
    {"ICodeWithoutDecimalRejected", L"iCode[123456]", 0, 0, false, false, KT_UNKNOWN, {}, L""},

    // 433 MHz fobs: button code in byte 3, nibbles exchanged when the reader's habit and the
    // different-codes setting disagree.
    {"Cod433", L"Cod433[ABCD] 3,258", 0, 0, false, true, KT_COD433, {0x02, 0x01, 0x03, 0xCD}, L"CD030102"},
    {"Cod433SwappedBySetting", L"Cod433[ABCD] 3,258", 0, 0, true, true, KT_COD433, {0x02, 0x01, 0xD3, 0xC0},
     L"C0D30102"},
    {"Cod433FixFourCodeBytes", L"cod433 fix[12345678] 7,9", RM_KD6_C, 0x0103, true, true, KT_COD433F,
     {0x09, 0x00, 0x07, 0x75}, L"75070009"},
    {"Cod433FixModel6EvenFirmware", L"cod433 fix[12345678] 7,9", RM_KD6_C, 0x0102, true, true, KT_COD433F,
     {0x09, 0x00, 0x57, 0x70}, L"70570009"},
    {"Cod433Model8Firmware10", L"COD433[5A] 1,2", RM_ORVEL_7, 10, false, true, KT_COD433, {0x02, 0x00, 0xA1, 0x50},
     L"50A10002"},
    {"Cod433Model8LowByte9", L"COD433[5A] 1,2", RM_ORVEL_7, 0x0A09, false, true, KT_COD433,
     {0x02, 0x00, 0x01, 0x5A}, L"5A010002"},
    {"Cod433WithoutDecimal", L"COD433[5A]", 0, 0, false, true, KT_COD433, {0x00, 0x00, 0x00, 0x5A}, L"5A000000"},

    {"Came433", L"Came433[FF] 1,2", 0, 0, false, true, KT_CAME, {0x02, 0x00, 0x01}, L"010002"},
    {"Came433WithoutDecimalRejected", L"CAME433[FF]", 0, 0, false, false, KT_UNKNOWN, {}, L""},

    // Dallas: a whole ROM with a good CRC (Maxim's example 02 1C B8 01 00 00 00, CRC A2) keeps its serial.
    {"DallasValidCrc", L"Dallas[A200000001B81C02]", 0, 0, false, true, KT_DALLAS,
     {0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00}, L"00000001B81C"},
    {"DallasWrongCrc", L"Dallas[A300000001B81C02]", 0, 0, false, true, KT_DALLAS,
     {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA3}, L"A300000001B81C02"},
    {"DallasCapitalsShort", L"DALLAS[0102]", 0, 0, false, true, KT_DALLAS, {0x02, 0x01}, L"0102"},
    {"DallasEmptyCode", L"Dallas[]", 0, 0, false, true, KT_DALLAS, {}, L""},
    {"DallasKeepsRightmost15Bytes", L"Dallas[FF000102030405060708090A0B0C0D0E]", 0, 0, false, true, KT_DALLAS,
     {0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x00},
     L"000102030405060708090A0B0C0D0E"},
    {"DallasNonHexFoldsToNibble", L"Dallas[zz]", 0, 0, false, true, KT_DALLAS, {0x33}, L"33"},
};

class KeyLine : public ::testing::TestWithParam<KeyLineCase> {};

TEST_P(KeyLine, Parses) {
  const KeyLineCase& c = GetParam();
  UINT type = 99;
  _KEYNUM_INFO key;
  std::memset(&key, 0xEE, sizeof key);  // whatever the caller held must not survive
  EXPECT_EQ(ParseKeyLine(c.line, &type, &key, c.model, c.firmware, c.differentCodes), c.result);
  EXPECT_EQ(type, c.type);
  std::vector<BYTE> expected(15, 0);
  for (size_t i = 0; i < c.bytes.size(); ++i) expected[i] = BYTE(c.bytes[i]);
  EXPECT_EQ(key.Length, c.bytes.size());
  EXPECT_EQ(Hex(key.Data, 15), Hex(expected.data(), 15));
  std::wstring text;
  KeyNumToStr(text, key, type);
  EXPECT_EQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, KeyLine, ::testing::ValuesIn(kKeyLines),
                         [](const ::testing::TestParamInfo<KeyLineCase>& info) { return info.param.name; });

// ---- Key texts beyond what the key lines produce ----

TEST(KeyNumToStr, FormatsEachTypeFamily) {
  const struct {
    const char* what;
    KEY_TYPE type;
    _KEYNUM_INFO key;
    const wchar_t* text;
  } cases[] = {
      {"Em-Marine largest", KT_EM_MARINE, Key({0xFF, 0xFF, 0xFF, 0x00, 0x00}), L"[0000] 255,65535"},
      {"HID one code byte", KT_HID, Key({0x01, 0x00, 0x0A}), L"[0A] 1"},
      {"HID no code bytes", KT_HID, Key({0x39, 0x30}), L"[] 12345"},
      {"HID one byte", KT_HID, Key({0x05}), L"[0] 5"},
      {"HID empty", KT_HID, Key({}), L"[0] 0"},
      {"HID longer than six", KT_HID, Key({0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), L"[44332211] 1"},
      {"Dallas", KT_DALLAS, Key({0x01, 0x02, 0x03}), L"030201"},
      {"Mifare 4K, all bytes", KT_MIFARE_4K,
       Key({0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87, 0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E}),
       L"1E2D3C4B5A69788796A5B4C3D2E1F0"},
      {"unknown, empty", KT_UNKNOWN, Key({}), L""},
  };
  for (const auto& c : cases) {
    std::wstring text = L"old";
    KeyNumToStr(text, c.key, c.type);
    EXPECT_EQ(text, c.text) << c.what;
  }
}

// ---- Records ----

TEST(KeyNumRecord, MakeKeepsAtMost15BytesAndZeroesTheRest) {
  BYTE twenty[20];
  for (int i = 0; i < 20; ++i) twenty[i] = BYTE(i + 1);
  _KEYNUM_INFO key;
  std::memset(&key, 0xEE, sizeof key);
  MakeKeyNum(twenty, 20, key);
  EXPECT_EQ(key.Length, 15);
  EXPECT_EQ(Hex(key.Data, 15), "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");

  for (int n : {0, -3}) {
    std::memset(&key, 0xEE, sizeof key);
    MakeKeyNum(twenty, n, key);
    EXPECT_EQ(key.Length, 0) << n;
    EXPECT_EQ(Hex(key.Data, 15), std::string("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00")) << n;
  }

  std::memset(&key, 0xEE, sizeof key);
  MakeKeyNum(twenty, 2, key);
  EXPECT_EQ(key.Length, 2);
  EXPECT_EQ(Hex(key.Data, 4), "01 02 00 00");
}

TEST(KeyNumRecord, CompareUsesCommonBytesThenLength) {
  const struct {
    _KEYNUM_INFO a, b;
    int sign;
  } cases[] = {
      {Key({0x01, 0x02}), Key({0x01, 0x02, 0x03}), -1},
      {Key({0x02}), Key({0x01, 0x02, 0x03}), 1},
      {Key({0x01, 0x03}), Key({0x01, 0x02, 0x03}), 1},
      {Key({0x01, 0x02, 0x03}), Key({0x01, 0x02, 0x03}), 0},
      {Key({}), Key({0x00}), -1},
      {Key({0x00}), Key({}), 1},
      {Key({}), Key({}), 0},
      {Key({0x80}), Key({0x7F}), 1},  // bytes compare unsigned
  };
  for (const auto& c : cases) {
    int r = CompareKeyNum(c.a, c.b);
    int sign = (r > 0) - (r < 0);
    EXPECT_EQ(sign, c.sign) << Hex(c.a.Data, c.a.Length) << " vs " << Hex(c.b.Data, c.b.Length);
  }
}

TEST(AuthKeyRecord, MakeKeepsAtMost19Bytes) {
  BYTE bytes[25];
  for (int i = 0; i < 25; ++i) bytes[i] = BYTE(0xA0 + i);
  _AUTHKEY_INFO key;
  std::memset(&key, 0xEE, sizeof key);
  MakeAuthKey(bytes, 25, key);
  EXPECT_EQ(key.Length, 19);
  EXPECT_EQ(key.Data[0], 0xA0);
  EXPECT_EQ(key.Data[18], 0xB2);

  std::memset(&key, 0xEE, sizeof key);
  MakeAuthKey(bytes, 0, key);
  EXPECT_EQ(key.Length, 0);
  const BYTE zeros[19] = {};
  EXPECT_EQ(Hex(key.Data, 19), Hex(zeros, 19));
}

// ---- Identification replies ----

struct ReaderInfoCase {
  const char* name;
  std::wstring text;
  int result;
  UINT incomplete;
  UINT hwCode, serial, version;  // checked when the reply was understood
};

void PrintTo(const ReaderInfoCase& c, std::ostream* os) { *os << c.name; }

const ReaderInfoCase kReaderInfos[] = {
    {"TwoLines", L"KD-6 A S/N: 12345 [301]\r\nSoftware version: 2.10 Build Nov 16 2010 10:20:30\r\n", 1, 0, 0x301,
     12345, 0x0A02},
    {"SingleLineIsIncomplete", L"KD-6 A S/N: 12345 [301] Software version: 2.10\r\n", 0, 1, 0, 0, 0},
    {"CarriageReturnsOnlyAreIncomplete", L"KD-6 A S/N: 12345 [301]\rSoftware version: 2.10\r", 0, 1, 0, 0, 0},
    {"LoneCarriageReturnIsNoLine", L"S/N: 1 [301]\r\n\r\n", 0, 1, 0, 0, 0},
    {"VersionAbove254", L"S/N: 7 [501]\r\nSoftware version: 300\r\n", 1, 0, 0x501, 7, 0x12CFF},
    {"VersionPartsKeepLowByte", L"S/N: 7 [501]\r\nSoftware version: 2.300\r\n", 1, 0, 0x501, 7, 0x2C02},
    {"VersionFourPartsAtMost", L"S/N: 7 [501]\r\nSoftware version: 1.2.3.4.5\r\n", 1, 0, 0x501, 7, 0x04030201},
    {"SerialWithoutBlankOrDigits", L"S/N:x [303]\r\nready\r\n", 1, 0, 0x303, 0, 0},
    {"BracketBeforeSerialIgnored", L"[303] S/N: 5 [301]\r\nready\r\n", 1, 0, 0x301, 5, 0},
    {"MqF", L"KD-6 MQ-F S/N: 5 [811]\r\nSoftware version: 1.0\r\n", 1, 0, 0x20498, 5, 0x0001},
    {"Kd6B", L"KD-6 S/N: 5 [811]\r\nSoftware version: 1.0\r\n", 1, 0, 0x811, 5, 0x0001},
    {"Orvel7BuildDate", L"S/N: 9 [802]\r\nBuild Nov 16 2010 12:00:00\r\n", 1, 0, 0x802, 9, 0x6309},
    {"Orvel7FFFFLowerCaseMonth", L"S/N: 9 [FFFF]\r\nBuild nov 16 2010 12:00:00\r\n", 1, 0, 0xFFFF, 9, 0x6309},
    {"Orvel7OtherBuildDate", L"S/N: 9 [802]\r\nBuild Dec 16 2010 12:00:00\r\n", 1, 0, 0x802, 9, 1},
    {"Orvel7NoBuildLine", L"S/N: 9 [802]\r\nready\r\n", 1, 0, 0x802, 9, 0},
    {"Orvel7VersionBeatsBuildDate", L"S/N: 9 [802]\r\nSoftware version: 3.1 Build Nov 16 2010\r\n", 1, 0, 0x802, 9,
     0x0103},
    {"BuildDateOnlyForOrvel7", L"S/N: 9 [301]\r\nBuild Nov 16 2010 12:00:00\r\n", 1, 0, 0x301, 9, 0},
    {"MonthTokenOf40Characters",
     L"S/N: 9 [802]\r\nBuild " + std::wstring(L"Nov") + std::wstring(37, L'x') + L" 16 2010 12:00:00\r\n", 1, 0,
     0x802, 9, 1},
    {"NoSerialMark", L"KD-6 [301]\r\nSoftware version: 1.0\r\n", 0, 0, 0, 0, 0},
    {"NoBracket", L"S/N: 5 301\r\nSoftware version: 1.0\r\n", 0, 0, 0, 0, 0},
    {"NoClosingBracket", L"S/N: 5 [301\r\nSoftware version: 1.0\r\n", 0, 0, 0, 0, 0},
};

class ReaderInfo : public ::testing::TestWithParam<ReaderInfoCase> {};

TEST_P(ReaderInfo, Parses) {
  const ReaderInfoCase& c = GetParam();
  UINT hwCode = 0xDEAD, serial = 0xDEAD, version = 0xDEAD, incomplete = 0xDEAD;
  EXPECT_EQ(ParseReaderInfo(c.text.c_str(), &hwCode, &serial, &version, &incomplete), c.result);
  EXPECT_EQ(incomplete, c.incomplete);
  if (c.result) {
    EXPECT_EQ(hwCode, c.hwCode);
    EXPECT_EQ(serial, c.serial);
    EXPECT_EQ(version, c.version);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ReaderInfo, ::testing::ValuesIn(kReaderInfos),
                         [](const ::testing::TestParamInfo<ReaderInfoCase>& info) { return info.param.name; });

TEST(ReaderInfoIncomplete, MayBeLeftOut) {
  UINT hwCode = 0, serial = 0, version = 0;
  EXPECT_EQ(ParseReaderInfo(L"S/N: 3 [903]\r\nready\r\n", &hwCode, &serial, &version, nullptr), 1);
  EXPECT_EQ(hwCode, 0x903u);
  EXPECT_EQ(ParseReaderInfo(L"S/N: 3 [903]\r\n", &hwCode, &serial, &version, nullptr), 0);
}

TEST(ModelFromHwCode, MapsEveryListedCode) {
  const struct {
    UINT code;
    READER_MODEL model;
  } cases[] = {
      {0x301, 1}, {0x501, 2},  {0x811, 3},  {0x903, 4},   {0xF11, 5}, {0x302, 6},     {0x303, 7}, {0x802, 8},
      {0xFFFF, 8}, {0x821, 9}, {0x20498, 11}, {0, 0},     {0x304, 0}, {0x10301, 0}, {0xFFFFFFFF, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ModelFromHwCode(c.code), c.model) << std::hex << c.code;
}

TEST(KeyModelNames, HoldTheNamesLogsAndSettingsShow) {
  const wchar_t* const shortNames[] = {L"X",    L"EM",   L"HID",  L"IC",   L"COD433", L"COD433F", L"CAME",   L"DS",
                                       L"TEMIC", L"UL",  L"M1K",  L"M2K",  L"M4K",    L"M+",      L"M+1K",   L"M+2K",
                                       L"M+4K", L"SMXM1K", L"SMXM4K", L"DF", L"PX",    L"MINI"};
  for (KEY_TYPE t = 0; t < KEY_TYPE_COUNT; ++t) EXPECT_STREQ(KeyTypeName(t), shortNames[t]) << t;
  EXPECT_STREQ(KeyTypeName(22), L"");

  const wchar_t* const models[] = {L"?",      L"KD-6 A",  L"Orvel 3A", L"KD-6 B", L"Orvel 3B",  L"KD-6 H", L"KD-6 C",
                                   L"KD-6 D", L"Orvel 7", L"PX-2210",  L"KD-6 E", L"KD-6 MQ-F", L"KD-6 G"};
  for (READER_MODEL m = 0; m < READER_MODEL_COUNT; ++m) EXPECT_STREQ(ReaderModelName(m), models[m]) << m;
  EXPECT_STREQ(ReaderModelName(13), L"?");
}

// ---- Dallas CRC-8 ----

TEST(DallasCrc8, MatchesCrc8Maxim) {
  const BYTE check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  const BYTE rom[] = {0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
  EXPECT_EQ(DallasCrc8(check, 9), 0xA1);
  EXPECT_EQ(DallasCrc8(rom, 7), 0xA2);
  EXPECT_EQ(DallasCrc8(rom, 8), 0x00);  // a ROM with its own CRC checks to zero
  EXPECT_EQ(DallasCrc8(rom, 0), 0x00);
  EXPECT_EQ(DallasCrc8(rom, -1), 0x00);
}

// ---- Wiegand frames ----

struct WiegandCase {
  UINT bits;
  std::vector<BYTE> data;
  UINT flag;
  UINT64 frame;
};

TEST(WiegandFrame, BuildsParityAndHeader) {
  // Worked by hand: data bits shifted up by one, odd parity over the low half in bit 0, even parity
  // over the high half in bit bits - 1; odd sizes share the middle bit between both halves.
  const WiegandCase cases[] = {
      // 26 bits: facility 12, card 12345.
      {26, {0x39, 0x30, 0x0C}, 1, 0x186073},
      {26, {0x39, 0x30, 0x0C}, 0, 0x186073 | 1ull << 26 | 1ull << 37},
      // Fewer bytes than the frame needs: the rest of the data is 0.
      {26, {0x39, 0x30}, 1, 0x6073},
      // 34 bits: low half 0x5678 has eight ones, high half 0x1234 five.
      {34, {0x78, 0x56, 0x34, 0x12}, 1, 0x22468ACF1},
      {34, {0x78, 0x56, 0x34, 0x12}, 0, 0x262468ACF1},
      // 35 bits: 33 data bits, so only bit 0 of the fifth byte counts.
      {35, {0x78, 0x56, 0x34, 0x12, 0xFF}, 1, 0x22468ACF1},
      {35, {0x78, 0x56, 0x34, 0x12, 0xFF}, 0, 0x2A2468ACF1},
      // 37 bits: no header whatever the flag.
      {37, {0x78, 0x56, 0x34, 0x12, 0x05}, 1, 0x1A2468ACF1},
      {37, {0x78, 0x56, 0x34, 0x12, 0x05}, 0, 0x1A2468ACF1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeWiegandFrame(c.bits, c.data.data(), c.data.size(), c.flag), c.frame)
        << c.bits << " bits, flag " << c.flag << ", " << Hex(c.data.data(), c.data.size());
  }
}

TEST(WiegandFrame, HandlesTheLargestFrame) {
  const BYTE data[10] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  // 64 bits: 62 data bits, all ones; 31 ones in each half: odd parity needs no bit 0, even parity
  // sets bit 63.
  EXPECT_EQ(MakeWiegandFrame(64, data, sizeof data, 1), 0xFFFFFFFFFFFFFFFEull);
}

}  // namespace
