// The key dialog: number texts of the four input formats both ways for every size, the number edit's
// masks, the refusals of a number that does not fit, and the dialog run modally over the application's
// document: OK stores the key and the input format in one delivery, Cancel stores nothing.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "KeyDialog.h"
#include "MessageBox.h"
#include "../classlib/ModalStep.h"
#include "SettingsTestSupport.h"
#include "Wnd.h"

CConfigVombraApp theApp;

namespace {

_KEYNUM_INFO MakeKey(std::vector<BYTE> bytes) {
  _KEYNUM_INFO key = {};
  key.Length = BYTE(bytes.size());
  std::memcpy(key.Data, bytes.data(), bytes.size());
  return key;
}

_KEYNUM_INFO Filled(int size, BYTE value) { return MakeKey(std::vector<BYTE>(size_t(size), value)); }

std::wstring Text(const _KEYNUM_INFO& key, int format) {
  std::wstring text;
  FormatKeyText(key, format, text);
  return text;
}

::testing::AssertionResult SameKey(const _KEYNUM_INFO& a, const _KEYNUM_INFO& b) {
  if (std::memcmp(&a, &b, sizeof a) == 0) return ::testing::AssertionSuccess();
  auto dump = [](const _KEYNUM_INFO& k) {
    std::string s = "len " + std::to_string(k.Length) + ":";
    for (BYTE byte : k.Data) s += " " + std::to_string(byte);
    return s;
  };
  return ::testing::AssertionFailure() << dump(a) << " vs " << dump(b);
}

// --- texts ---

TEST(KeyText, EveryFormatAndSizeRoundTripsAndFitsItsMask) {
  for (int format = 1; format <= 4; ++format) {
    for (int size = 1; size <= kKeyMaxSize; ++size) {
      std::vector<BYTE> mixed;
      for (int i = 0; i < size; ++i) mixed.push_back(BYTE(0x9C + 37 * i));
      for (const _KEYNUM_INFO& key : {Filled(size, 0x00), Filled(size, 0xFF), MakeKey(mixed)}) {
        SCOPED_TRACE(testing::Message()
                     << "format " << format << " size " << size << " byte0 " << int(key.Data[0]));
        const std::wstring text = Text(key, format);
        _KEYNUM_INFO back = Filled(kKeyMaxSize, 0x5A);
        ASSERT_TRUE(ParseKeyText(text.c_str(), format, size, back)) << text.c_str();
        EXPECT_TRUE(SameKey(back, key)) << text.c_str();

        // The dialog lays the text over the mask with its literals; a mismatch would leave the edit empty.
        _KEY_MASK_INFO info;
        GetKeyMask(format, size, info);
        ASSERT_EQ(info.mask.size(), info.inputTemplate.size());
        CMaskedEdit edit;
        edit.SetMask(info.mask.c_str(), info.inputTemplate.c_str(), info.validChars.c_str());
        ASSERT_TRUE(edit.SetValue(text.c_str(), true)) << text.c_str();
        EXPECT_EQ(edit.value, text);
      }
    }
  }
}

TEST(KeyText, FiveByteKeyInEachFormat) {
  const _KEYNUM_INFO key = MakeKey({0x39, 0x30, 0x7B, 0x12, 0x34});
  EXPECT_EQ(Text(key, KEY_INPUT_EM_MARINE), L"[3412] 123,12345");
  EXPECT_EQ(Text(key, KEY_INPUT_HID), L"[34127B] 12345");
  EXPECT_EQ(Text(key, KEY_INPUT_HEX), L"34127B3039");
  EXPECT_EQ(Text(key, KEY_INPUT_DECIMAL), L"223648362553");
}

TEST(KeyText, ShortLongAndEmptyKeys) {
  struct Case {
    std::vector<BYTE> bytes;
    int format;
    const wchar_t* text;
  } cases[] = {
      {{}, KEY_INPUT_EM_MARINE, L""},
      {{}, KEY_INPUT_HID, L"00000"},
      {{}, KEY_INPUT_HEX, L""},
      {{}, KEY_INPUT_DECIMAL, L"0"},
      {{0x07}, KEY_INPUT_EM_MARINE, L"000,00007"},
      {{0x01, 0x02, 0x03}, KEY_INPUT_EM_MARINE, L"003,00513"},
      {{0x01, 0x02}, KEY_INPUT_HID, L"00513"},
      {{0xab, 0x0c}, KEY_INPUT_HEX, L"0CAB"},
      {{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}, KEY_INPUT_DECIMAL, L"72623859790382856"},
      {{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0xab},
       KEY_INPUT_DECIMAL,
       L"[AB] 00072623859790382856"},
      {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xfe},
       KEY_INPUT_DECIMAL,
       L"[FE00] 00000000000000000000"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(MakeKey(c.bytes), c.format), c.text) << c.text;
}

TEST(KeyText, AcceptedSpellings) {
  struct Case {
    const wchar_t* text;
    int format;
    int size;
    std::vector<BYTE> bytes;
  } cases[] = {
      {L"012.00345", KEY_INPUT_EM_MARINE, 3, {0x59, 0x01, 0x0C}},
      {L"[ab12] 001,00002", KEY_INPUT_EM_MARINE, 5, {0x02, 0x00, 0x01, 0x12, 0xAB}},
      {L"  7 , 9  ", KEY_INPUT_EM_MARINE, 3, {0x09, 0x00, 0x07}},
      {L"[0001] 00002", KEY_INPUT_HID, 3, {0x02, 0x00, 0x01}},
      {L"000001", KEY_INPUT_HEX, 1, {0x01}},
      {L"abc", KEY_INPUT_HEX, 2, {0xBC, 0x0A}},
      {L"", KEY_INPUT_HEX, 4, {0, 0, 0, 0}},
      {L"65535", KEY_INPUT_HID, 2, {0xFF, 0xFF}},
      {L"18446744073709551615", KEY_INPUT_DECIMAL, 8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {L"255", KEY_INPUT_DECIMAL, 1, {0xFF}},
  };
  for (const Case& c : cases) {
    _KEYNUM_INFO key = Filled(kKeyMaxSize, 0x77);
    ASSERT_TRUE(ParseKeyText(c.text, c.format, c.size, key)) << c.text;
    EXPECT_TRUE(SameKey(key, MakeKey(c.bytes))) << c.text;
  }
}

TEST(KeyText, RefusesWhatDoesNotFitAndKeepsTheKey) {
  struct Case {
    const wchar_t* text;
    int format;
    int size;
  } cases[] = {
      {L"256,00001", KEY_INPUT_EM_MARINE, 3},                // series above 255
      {L"001,65536", KEY_INPUT_EM_MARINE, 3},                // number above 65535
      {L"001,00001", KEY_INPUT_EM_MARINE, 2},                // the series needs byte 2
      {L"000,00256", KEY_INPUT_EM_MARINE, 1},                // the number needs byte 1
      {L"[0100] 000,00000", KEY_INPUT_EM_MARINE, 4},         // a code byte past the size
      {L"00100001", KEY_INPUT_EM_MARINE, 3},                 // no separator
      {L",00001", KEY_INPUT_EM_MARINE, 3},                   // no series
      {L"001,", KEY_INPUT_EM_MARINE, 3},                     // no number
      {L"[12 000,00001", KEY_INPUT_EM_MARINE, 5},            // unclosed bracket
      {L"[1G] 000,00001", KEY_INPUT_EM_MARINE, 5},           // not hexadecimal
      {L"65536", KEY_INPUT_HID, 2},                          // number above 65535
      {L"[01] 00000", KEY_INPUT_HID, 2},                     // a code byte past the size
      {L"12 34", KEY_INPUT_HID, 2},                          // a blank inside the number
      {L"-1", KEY_INPUT_HID, 2},                             // a sign
      {L"0100", KEY_INPUT_HEX, 1},                           // byte 1 past the size
      {L"0G", KEY_INPUT_HEX, 1},                             // not hexadecimal
      {L"18446744073709551616", KEY_INPUT_DECIMAL, 8},       // 2^64
      {L"99999999999999999999999", KEY_INPUT_DECIMAL, 8},    // far past 64 bits
      {L"256", KEY_INPUT_DECIMAL, 1},                        // needs byte 1
      {L"4294967296", KEY_INPUT_DECIMAL, 4},                 // needs byte 4
      {L"12a", KEY_INPUT_DECIMAL, 8},                        // trailing letters
      {L"[01] 00000000000000000001", KEY_INPUT_DECIMAL, 8},  // byte 8 past the size
      {L"1", 0, 5},                                          // no such format
      {L"1", KEY_INPUT_HEX, 16},                             // no such size
  };
  for (const Case& c : cases) {
    const _KEYNUM_INFO before = Filled(7, 0x42);
    _KEYNUM_INFO key = before;
    EXPECT_FALSE(ParseKeyText(c.text, c.format, c.size, key)) << c.text;
    EXPECT_TRUE(SameKey(key, before)) << c.text;
  }
}

TEST(KeyText, StaleErrorNumberDoesNotRefuse) {
  for (int format = 1; format <= 4; ++format) {
    _KEYNUM_INFO key = Filled(3, 0x11);
    errno = ERANGE;
    EXPECT_TRUE(ParseKeyText(Text(Filled(3, 0), format).c_str(), format, 3, key)) << format;
    EXPECT_TRUE(SameKey(key, Filled(3, 0))) << format;
  }
}

TEST(KeyText, MaskPerFormatAndSize) {
  const std::wstring digits = L"0123456789", hex = L"0123456789abcdefABCDEF";
  auto rep = [](size_t n, wchar_t c) { return std::wstring(n, c); };
  struct Case {
    int format;
    int size;
    std::wstring mask;
    std::wstring inputTemplate;
    std::wstring valid;
  } cases[] = {
      {1, 1, L"ddd,ddddd", L"___,_____", digits},
      {1, 3, L"ddd,ddddd", L"___,_____", digits},
      {1, 4, L" AA  ddd,ddddd", L"[__] ___,_____", hex},
      {1, 15, L" " + rep(24, L'A') + L"  ddd,ddddd", L"[" + rep(24, L'_') + L"] ___,_____", hex},
      {2, 1, L"ddddd", L"_____", digits},
      {2, 2, L"ddddd", L"_____", digits},
      {2, 3, L" AA  ddddd", L"[__] _____", hex},
      {2, 15, L" " + rep(26, L'A') + L"  ddddd", L"[" + rep(26, L'_') + L"] _____", hex},
      {3, 1, L"AA", L"__", hex},
      {3, 15, rep(30, L'A'), rep(30, L'_'), hex},
      {4, 1, L"", L"", L"1234567890"},
      {4, 8, L"", L"", L"1234567890"},
      {4, 9, L" AA  " + rep(20, L'd'), L"[__] " + rep(20, L'_'), hex},
      {4, 15, L" " + rep(14, L'A') + L"  " + rep(20, L'd'), L"[" + rep(14, L'_') + L"] " + rep(20, L'_'),
       hex},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " size " << c.size);
    _KEY_MASK_INFO info;
    GetKeyMask(c.format, c.size, info);
    EXPECT_EQ(info.mask, c.mask);
    EXPECT_EQ(info.inputTemplate, c.inputTemplate);
    EXPECT_EQ(info.validChars, c.valid);
  }
}

// --- the dialog ---

HRESULT WINAPI RecordTaskDialog(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
int WINAPI RecordMessageBox(HWND, LPCWSTR, LPCWSTR, UINT);

std::vector<std::wstring> g_boxes;
constexpr int kTimedOut = 999;
CKeyDialog* g_open = nullptr;

HRESULT WINAPI RecordTaskDialog(const TASKDIALOGCONFIG* config, int* button, int*, BOOL* checked) {
  g_boxes.push_back(config->pszContent ? config->pszContent : L"");
  if (button) *button = IDOK;
  if (checked) *checked = FALSE;
  return S_OK;
}

int WINAPI RecordMessageBox(HWND, LPCWSTR text, LPCWSTR, UINT) {
  g_boxes.push_back(text ? text : L"");
  return IDOK;
}

void CALLBACK WatchdogProc(HWND, UINT, UINT_PTR id, DWORD) {
  KillTimer(nullptr, id);
  if (g_open && g_open->hwnd) g_open->EndDialog(kTimedOut);
}

// Records what the document delivers, one entry per delivery.
class CDeliveries {
 public:
  explicit CDeliveries(CAppSettings& document) : m_document(document) {
    m_index = document.AddView({this, &CDeliveries::OnHints, 0});
  }
  ~CDeliveries() { m_document.RemoveView(m_index); }
  std::vector<uint64_t> hints;

 private:
  static void OnHints(void* owner, CDocument*, const uint64_t* hints) {
    static_cast<CDeliveries*>(owner)->hints.push_back(*hints);
  }
  CAppSettings& m_document;
  int m_index;
};

class KeyDialogTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
    InitCommonControlsEx(&classes);
    m_savedSeam = MessageBoxSeam;
    MessageBoxSeam.TaskDialogIndirect = &RecordTaskDialog;
    MessageBoxSeam.MessageBox = &RecordMessageBox;
    g_boxes.clear();
    CAppSettings& settings = theApp.settings;
    settings.lastKey = {};
    settings.lastKeyType = 0;
    settings.keyEditFormat = 0;
    settings.configModified = false;
    settings.History = 0;  // placements are remembered without marking the configuration modified
    settings.positions[6] = {INT_MIN, INT_MIN};
    settings.sizes[6] = {INT_MIN, INT_MIN};
  }
  void TearDown() override {
    MessageBoxSeam = m_savedSeam;
    g_open = nullptr;
    g_step = nullptr;
    ConfiguratorTest::TearDown();
  }

  // DoModal with `step` run inside the loop and a watchdog that ends a loop the step did not end.
  int Run(CKeyDialog& dialog, std::function<void()> step) {
    g_open = &dialog;
    RunLater(std::move(step), 50);
    const UINT_PTR watchdog = SetTimer(nullptr, 0, 3000, &WatchdogProc);
    const int result = dialog.DoModal(IDD_KEY_DIALOG, nullptr);
    KillTimer(nullptr, watchdog);
    g_open = nullptr;
    return result;
  }

  static std::wstring ItemText(HWND dialog, UINT id) {
    std::wstring text;
    GetWindowTextString(GetDlgItem(dialog, int(id)), text);
    return text;
  }
  // What a user's choice in a drop-down list does: the selection, then its notification.
  static void Choose(HWND dialog, UINT id, int index) {
    HWND combo = GetDlgItem(dialog, int(id));
    SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
  }
  static void Press(HWND dialog, UINT id) {
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(GetDlgItem(dialog, int(id))));
  }
  // Typing into the size edit: the edit itself tells the dialog (EN_CHANGE).
  static void TypeSize(HWND dialog, const wchar_t* text) { SetDlgItemTextW(dialog, IDC_KEY_SIZE, text); }

 private:
  CMessageBoxSeam m_savedSeam;
};

TEST_F(KeyDialogTest, OpensWithTheKeyInItsFormatAndFollowsFormatAndSizeChanges) {
  CKeyDialog dialog;
  dialog.KeyType = 3;
  dialog.Key = MakeKey({0x39, 0x30, 0x7B, 0x12, 0x34});
  dialog.InputFormat = KEY_INPUT_EM_MARINE;
  struct Seen {
    std::wstring number, size, format, type;
  };
  std::vector<Seen> seen;
  LRESULT low = 0, high = 0;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    auto look = [&] {
      seen.push_back({ItemText(d, IDC_KEY_NUMBER), ItemText(d, IDC_KEY_SIZE),
                      ItemText(d, IDC_KEY_INPUT_FORMAT), ItemText(d, IDC_KEY_TYPE)});
    };
    look();
    Choose(d, IDC_KEY_INPUT_FORMAT, 1);
    look();
    Choose(d, IDC_KEY_INPUT_FORMAT, 3);
    look();
    Choose(d, IDC_KEY_INPUT_FORMAT, 2);
    look();
    TypeSize(d, L"7");
    look();
    TypeSize(d, L"5");
    look();
    SendDlgItemMessageW(d, IDC_KEY_SIZE_SPIN, UDM_GETRANGE32, WPARAM(&low), LPARAM(&high));
    Press(d, IDCANCEL);
  });
  ASSERT_EQ(result, IDCANCEL);
  EXPECT_EQ(low, 1);
  EXPECT_EQ(high, 15);
  theApp.LoadKeyTypeNames();
  const std::wstring type3 = theApp.keyTypeNames[3];
  ASSERT_FALSE(type3.empty());
  const std::vector<std::vector<std::wstring>> expected = {
      {L"[3412] 123,12345", L"5", L"Em-Marine", type3},  {L"[34127B] 12345", L"5", L"HID", type3},
      {L"223648362553", L"5", L"Decimal + code", type3}, {L"34127B3039", L"5", L"Hexadecimal", type3},
      {L"000034127B3039", L"7", L"Hexadecimal", type3},  // two zero bytes in front
      {L"34127B3039", L"5", L"Hexadecimal", type3},
  };
  ASSERT_EQ(seen.size(), expected.size());
  for (size_t i = 0; i < seen.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].number, expected[i][0]);
    EXPECT_EQ(seen[i].size, expected[i][1]);
    EXPECT_EQ(seen[i].format, expected[i][2]);
    EXPECT_EQ(seen[i].type, expected[i][3]);
  }
}

TEST_F(KeyDialogTest, DecimalMaskComesAndGoesWithTheSize) {
  CKeyDialog dialog;
  dialog.Key = Filled(8, 0x01);
  dialog.InputFormat = KEY_INPUT_DECIMAL;
  std::vector<std::wstring> masks;
  std::vector<std::wstring> numbers;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    for (const wchar_t* size : {L"8", L"9", L"8"}) {
      TypeSize(d, size);
      masks.push_back(dialog.numberEdit.mask);
      numbers.push_back(ItemText(d, IDC_KEY_NUMBER));
    }
    Press(d, IDCANCEL);
  });
  ASSERT_EQ(result, IDCANCEL);
  ASSERT_EQ(masks.size(), 3u);
  EXPECT_EQ(masks[0], L"");
  EXPECT_EQ(masks[1], L" AA  " + std::wstring(20, L'd'));
  EXPECT_EQ(masks[2], L"");
  EXPECT_EQ(numbers[0], L"72340172838076673");
  EXPECT_EQ(numbers[1], L"[00] 00072340172838076673");
  EXPECT_EQ(numbers[2], L"72340172838076673");
}

TEST_F(KeyDialogTest, SizeOutsideTheRecordIsIgnored) {
  CKeyDialog dialog;
  dialog.Key = MakeKey({0x01, 0x02, 0x03});
  dialog.InputFormat = KEY_INPUT_HEX;
  struct Seen {
    int keySize;
    std::wstring number, mask;
  };
  std::vector<Seen> seen;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    for (const wchar_t* size : {L"16", L"0", L"", L"x", L"99999999999999999999"}) {
      TypeSize(d, size);
      seen.push_back({dialog.KeySize, ItemText(d, IDC_KEY_NUMBER), dialog.numberEdit.mask});
    }
    Press(d, IDCANCEL);
  });
  ASSERT_EQ(result, IDCANCEL);
  ASSERT_EQ(seen.size(), 5u);
  for (const Seen& s : seen) {
    EXPECT_EQ(s.keySize, 3);
    EXPECT_EQ(s.number, L"030201");
    EXPECT_EQ(s.mask, L"AAAAAA");
  }
}

TEST_F(KeyDialogTest, OkStoresKeyAndFormatInOneDelivery) {
  CDeliveries deliveries(theApp.settings);
  CKeyDialog dialog;
  dialog.KeyType = 1;
  dialog.Key = MakeKey({0x01, 0x02, 0x03});
  dialog.InputFormat = 0;  // never chosen: hexadecimal
  std::wstring openedFormat;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    openedFormat = ItemText(d, IDC_KEY_INPUT_FORMAT);
    Choose(d, IDC_KEY_TYPE, 2);
    Choose(d, IDC_KEY_INPUT_FORMAT, 0);
    TypeSize(d, L"5");
    SetDlgItemTextW(d, IDC_KEY_NUMBER, L"[ABCD] 200,00513");
    Press(d, IDOK);
  });
  ASSERT_EQ(result, IDOK);
  EXPECT_EQ(openedFormat, L"Hexadecimal");
  const CAppSettings& settings = theApp.settings;
  EXPECT_TRUE(SameKey(settings.lastKey, MakeKey({0x01, 0x02, 200, 0xCD, 0xAB})));
  EXPECT_EQ(settings.lastKeyType, 2u);
  EXPECT_EQ(settings.keyEditFormat, UINT(KEY_INPUT_EM_MARINE));
  EXPECT_TRUE(settings.configModified);
  ASSERT_EQ(deliveries.hints.size(), 1u);
  EXPECT_EQ(deliveries.hints[0] & (HINT_LAST_KEY | HINT_CONFIG_MODIFIED),
            HINT_LAST_KEY | HINT_CONFIG_MODIFIED);
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(KeyDialogTest, OkWithEmptyNumberStoresZeroBytesOfTheSize) {
  theApp.settings.keyEditFormat = KEY_INPUT_DECIMAL;
  CKeyDialog dialog;
  dialog.Key = Filled(4, 0x66);
  dialog.InputFormat = KEY_INPUT_DECIMAL;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    TypeSize(d, L"6");
    SetDlgItemTextW(d, IDC_KEY_NUMBER, L"");
    Press(d, IDOK);
  });
  ASSERT_EQ(result, IDOK);
  EXPECT_TRUE(SameKey(theApp.settings.lastKey, Filled(6, 0)));
}

TEST_F(KeyDialogTest, OkOnRefusedNumberKeepsTheDialogOpen) {
  CDeliveries deliveries(theApp.settings);
  CKeyDialog dialog;
  dialog.Key = MakeKey({0x05});
  dialog.InputFormat = KEY_INPUT_DECIMAL;
  bool openAfterOk = false;
  bool numberFocused = false;
  size_t boxesAfterOk = 0;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    SetDlgItemTextW(d, IDC_KEY_NUMBER, L"300");
    Press(d, IDOK);
    openAfterOk = IsWindow(d) && dialog.result == -1;
    numberFocused = GetFocus() == GetDlgItem(d, IDC_KEY_NUMBER);
    boxesAfterOk = g_boxes.size();
    Press(d, IDCANCEL);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(openAfterOk);
  EXPECT_TRUE(numberFocused);
  ASSERT_EQ(boxesAfterOk, 1u);
  EXPECT_EQ(g_boxes[0], L"The key number is out of range.");
  EXPECT_TRUE(SameKey(theApp.settings.lastKey, _KEYNUM_INFO{}));
  for (uint64_t hints : deliveries.hints) EXPECT_EQ(hints & HINT_LAST_KEY, 0u);
}

TEST_F(KeyDialogTest, CancelStoresNothing) {
  theApp.settings.lastKey = MakeKey({0x10, 0x20});
  theApp.settings.lastKeyType = 4;
  theApp.settings.keyEditFormat = KEY_INPUT_HID;
  CDeliveries deliveries(theApp.settings);
  CKeyDialog dialog;
  dialog.KeyType = 4;
  dialog.Key = theApp.settings.lastKey;
  dialog.InputFormat = KEY_INPUT_HID;
  const int result = Run(dialog, [&] {
    HWND d = dialog.hwnd;
    Choose(d, IDC_KEY_TYPE, 7);
    Choose(d, IDC_KEY_INPUT_FORMAT, 2);
    TypeSize(d, L"4");
    SetDlgItemTextW(d, IDC_KEY_NUMBER, L"DEADBEEF");
    Press(d, IDCANCEL);
  });
  ASSERT_EQ(result, IDCANCEL);
  EXPECT_TRUE(SameKey(theApp.settings.lastKey, MakeKey({0x10, 0x20})));
  EXPECT_EQ(theApp.settings.lastKeyType, 4u);
  EXPECT_EQ(theApp.settings.keyEditFormat, UINT(KEY_INPUT_HID));
  EXPECT_FALSE(theApp.settings.configModified);
  for (uint64_t hints : deliveries.hints) EXPECT_EQ(hints & (HINT_LAST_KEY | HINT_CONFIG_MODIFIED), 0u);
}

TEST_F(KeyDialogTest, TypedHexShowsUpperCase) {
  CKeyDialog dialog;
  dialog.Key = MakeKey({0x00, 0x00});
  dialog.InputFormat = KEY_INPUT_HID;
  dialog.Key.Length = 3;
  std::wstring typed;
  const int result = Run(dialog, [&] {
    HWND edit = GetDlgItem(dialog.hwnd, IDC_KEY_NUMBER);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 1, 2);  // the first hex digit inside the brackets
    SendMessageW(edit, WM_CHAR, L'c', 1);
    GetWindowTextString(edit, typed);
    Press(dialog.hwnd, IDOK);
  });
  ASSERT_EQ(result, IDOK);
  EXPECT_EQ(typed, L"[C0] 00000");
  EXPECT_TRUE(SameKey(theApp.settings.lastKey, MakeKey({0x00, 0x00, 0xC0})));
}

TEST_F(KeyDialogTest, PlacementKeptInItsOwnSlot) {
  theApp.settings.positions[3] = {INT_MIN, INT_MIN};
  POINT firstPlace{};
  POINT secondPlace{};
  {
    CKeyDialog dialog;
    ASSERT_EQ(IDCANCEL, Run(dialog, [&] {
                SetWindowPos(dialog.hwnd, nullptr, 123, 77, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
                RECT r{};
                GetWindowRect(dialog.hwnd, &r);
                firstPlace = {r.left, r.top};
                Press(dialog.hwnd, IDCANCEL);
              }));
  }
  EXPECT_EQ(theApp.settings.positions[6].x, firstPlace.x);
  EXPECT_EQ(theApp.settings.positions[6].y, firstPlace.y);
  EXPECT_EQ(theApp.settings.positions[3].x, INT_MIN);  // the format dialog's slot untouched
  {
    CKeyDialog dialog;
    ASSERT_EQ(IDCANCEL, Run(dialog, [&] {
                RECT r{};
                GetWindowRect(dialog.hwnd, &r);
                secondPlace = {r.left, r.top};
                Press(dialog.hwnd, IDCANCEL);
              }));
  }
  EXPECT_EQ(secondPlace.x, firstPlace.x);
  EXPECT_EQ(secondPlace.y, firstPlace.y);
}

TEST_F(KeyDialogTest, RussianTexts) {
  SetUILanguage(kRussianUi);
  CKeyDialog dialog;
  std::wstring caption;
  std::vector<std::wstring> formats;
  const int result = Run(dialog, [&] {
    GetWindowTextString(dialog.hwnd, caption);
    HWND combo = GetDlgItem(dialog.hwnd, IDC_KEY_INPUT_FORMAT);
    for (int i = 0; i < 4; ++i) {
      wchar_t text[64] = L"";
      SendMessageW(combo, CB_GETLBTEXT, i, LPARAM(text));
      formats.push_back(text);
    }
    Press(dialog.hwnd, IDCANCEL);
  });
  ASSERT_EQ(result, IDCANCEL);
  EXPECT_EQ(caption, L"Параметры ключа");
  EXPECT_EQ(formats, (std::vector<std::wstring>{L"Em-Marine", L"HID", L"16-ричное", L"10-тичное + код"}));
}

}  // namespace
