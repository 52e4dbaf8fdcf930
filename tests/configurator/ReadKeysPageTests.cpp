// The Reading keys page over a settings document: the typed texts each field takes or refuses, the
// key-type group commands and their check marks, sub-pages made once with tab images that follow the
// Enabled switches, the controls that take turns, the block list that follows the sector, the cell and
// key-type check lists, and the delay's up-down. In process under Xvfb, driven with real messages.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "MifarePages.h"
#include "PageTestSupport.h"
#include "ReadKeysPage.h"
#include "SettingsTestSupport.h"
#include "UltralightTemicPages.h"
#include "Wnd.h"

namespace {

CConfigVombraApp theApp;

const wchar_t kParentClass[] = L"ReadKeysPageTestsParent";

std::wstring Hex(UINT value) {
  wchar_t text[16];
  swprintf(text, 16, L"%X", value);
  return text;
}

std::wstring KeyBytes(const _AUTHKEY_INFO& key) {
  std::wstring text;
  for (int i = 0; i < key.Length; ++i) {
    wchar_t part[4];
    swprintf(part, 4, L"%02X", key.Data[i]);
    if (i) text += L' ';
    text += part;
  }
  return text;
}

std::wstring Entries(const std::vector<UINT>& list) {
  std::wstring text;
  for (UINT entry : list) text += (text.empty() ? L"" : L" ") + Hex(entry);
  return text;
}

_AUTHKEY_INFO FilledKey(int length, BYTE value) {
  _AUTHKEY_INFO key{};
  key.Length = BYTE(length);
  memset(key.Data, value, size_t(length));
  return key;
}

std::wstring Text(HWND wnd) {
  std::wstring text;
  GetWindowTextString(wnd, text);
  return text;
}

bool Visible(HWND wnd) { return (GetWindowLongW(wnd, GWL_STYLE) & WS_VISIBLE) != 0; }

class ReadKeysPageTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    ASSERT_TRUE(RegisterTestWindowClass(kParentClass, DefWindowProcW));
    m_parent = CreateWindowExW(0, kParentClass, L"parent", WS_POPUP | WS_VISIBLE, 0, 0, 800, 600, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override {
    m_host.reset();
    DestroyWindow(m_parent);
    ConfiguratorTest::TearDown();
  }

  void Open() {
    m_host.reset(new CReadKeysPage(m_settings));
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_host.get(), IDD_PAGE_READ_KEYS, m_parent));
    SetWindowPos(m_host->hwnd, nullptr, 0, 0, 760, 560, SWP_NOZORDER | SWP_SHOWWINDOW);
  }
  // The user picks sub-page tab `index`.
  HWND Pick(int index) {
    HWND tab = GetDlgItem(m_host->hwnd, IDC_RK_TABS);
    SendMessageW(tab, TCM_SETCURSEL, WPARAM(index), 0);
    NMHDR header{tab, IDC_RK_TABS, UINT(TCN_SELCHANGE)};
    SendMessageW(m_host->hwnd, WM_NOTIFY, IDC_RK_TABS, LPARAM(&header));
    CAppPage* page = m_host->GetSubPage(index);
    return page ? page->hwnd : nullptr;
  }
  int TabImage(int index) {
    TCITEMW item{};
    item.mask = TCIF_IMAGE;
    SendDlgItemMessageW(m_host->hwnd, IDC_RK_TABS, TCM_GETITEMW, WPARAM(index), LPARAM(&item));
    return item.iImage;
  }
  static void Click(HWND page, UINT id) { SendDlgItemMessageW(page, int(id), BM_CLICK, 0, 0); }
  static void Type(HWND page, UINT id, const wchar_t* text) { SetDlgItemTextW(page, int(id), text); }
  static void Choose(HWND page, UINT id, int index) {
    HWND combo = GetDlgItem(page, int(id));
    SendMessageW(combo, CB_SETCURSEL, WPARAM(index), 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), LPARAM(combo));
  }
  static void Command(HWND page, UINT id) { SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
  // A click on a check list at a client point, as the list tells its parent.
  static void ListClick(HWND page, UINT id, int item, POINT at) {
    NMITEMACTIVATE click{};
    click.hdr = {GetDlgItem(page, int(id)), id, UINT(NM_CLICK)};
    click.iItem = item;
    click.iSubItem = 0;
    click.ptAction = at;
    SendMessageW(page, WM_NOTIFY, id, LPARAM(&click));
  }
  // The state image a check list shows for a row: 1 unchecked, 2 checked.
  static int StateImage(HWND page, UINT id, int row) {
    const LRESULT state = SendDlgItemMessageW(page, int(id), LVM_GETITEMSTATE, WPARAM(row), LVIS_STATEIMAGEMASK);
    return int((state & LVIS_STATEIMAGEMASK) >> 12);
  }

  CAppSettings m_settings;
  HWND m_parent = nullptr;
  std::unique_ptr<CReadKeysPage> m_host;
};

// ---- Typed texts: stored whole or refused whole

struct TextCase {
  int Sub;
  UINT Edit;
  const wchar_t* Typed;
  const wchar_t* Stored;  // null: refused, the value before stays
};

const TextCase kTextCases[] = {
    {RK_GENERAL, IDC_RK_DELAY, L"-1", L"FFFFFFFF"},
    {RK_GENERAL, IDC_RK_DELAY, L"2147483647", L"7FFFFFFF"},
    {RK_GENERAL, IDC_RK_DELAY, L"0", L"0"},
    {RK_GENERAL, IDC_RK_DELAY, L"-2", nullptr},
    {RK_GENERAL, IDC_RK_DELAY, L"2147483648", nullptr},
    {RK_GENERAL, IDC_RK_DELAY, L"", nullptr},
    {RK_GENERAL, IDC_RK_DELAY, L"1,000", nullptr},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"0x0102030405", L"05 04 03 02 01 00"},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"ABC", L"BC 0A 00 00 00 00"},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"0X0a0b0c0d0e0f", L"0F 0E 0D 0C 0B 0A"},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"1234567890123", nullptr},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"12G4", nullptr},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"0x", nullptr},
    {RK_MIFARE_C, IDC_RK_AUTH_KEY, L"", nullptr},
    {RK_MIFARE_P, IDC_RK_AUTH_KEY, L"00112233445566778899AABBCCDDEEFF",
     L"FF EE DD CC BB AA 99 88 77 66 55 44 33 22 11 00"},
    {RK_MIFARE_P, IDC_RK_AUTH_KEY, L"00112233445566778899AABBCCDDEEFF0", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1,2;", L"201"},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1,2,3;", L"30201"},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"2,0,0;;1,0,0", L"2 1"},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L" 255, 255, 65535;", L"FFFFFFFF"},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1;", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"-1,0,0", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"256,0,0", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1,2,65536", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1,2,3x", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"1,2,3,4", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L"", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_SCAN, L";;", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_PASSWORD, L"0x1A2B3C4D", L"1A2B3C4D"},
    {RK_TEMIC, IDC_RK_TEMIC_PASSWORD, L"ABC", L"ABC"},
    {RK_TEMIC, IDC_RK_TEMIC_PASSWORD, L"123456789", nullptr},
    {RK_TEMIC, IDC_RK_TEMIC_PASSWORD, L"0xZZ", nullptr},
};

TEST_F(ReadKeysPageTest, EachTextIsStoredWholeOrRefusedWhole) {
  Open();
  for (int sub = 0; sub < RK_COUNT; ++sub) ASSERT_NE(Pick(sub), nullptr) << sub;
  for (const TextCase& row : kTextCases) {
    SCOPED_TRACE(testing::Message() << "sub-page " << row.Sub << ", text \"" << std::string(row.Typed, row.Typed + wcslen(row.Typed)) << "\"");
    m_settings.IdentKeyDelay = 0x3E8;
    m_settings.MifareC.AuthKey = FilledKey(6, 0xFF);
    m_settings.MifareP.AuthKey = FilledKey(16, 0xFF);
    m_settings.Temic.ScanParams = {7};
    m_settings.Temic.Password = 0x55;
    // Every edit enabled, so that the focus can go to it.
    m_settings.MifareC.Enabled = m_settings.MifareP.Enabled = m_settings.Temic.Enabled = true;
    m_settings.Temic.Flags = TF_PASSWORD;
    m_host->UpdateData(false);
    Pick(RK_GENERAL);  // the refusal must bring its own sub-page back
    HWND page = m_host->GetSubPage(row.Sub)->hwnd;
    HWND edit = GetDlgItem(page, int(row.Edit));
    Type(page, row.Edit, row.Typed);

    bool refused = false;
    try {
      m_host->UpdateData(true);
    } catch (const CRefusedTextException& e) {
      refused = true;
      EXPECT_EQ(e.edit, edit);
      EXPECT_STRNE(e.what(), "");
    }
    auto stored = [&]() -> std::wstring {
      switch (row.Edit) {
        case IDC_RK_DELAY:
          return Hex(m_settings.IdentKeyDelay);
        case IDC_RK_AUTH_KEY:
          return KeyBytes(row.Sub == RK_MIFARE_C ? m_settings.MifareC.AuthKey : m_settings.MifareP.AuthKey);
        case IDC_RK_TEMIC_SCAN:
          return Entries(m_settings.Temic.ScanParams);
        default:
          return Hex(m_settings.Temic.Password);
      }
    };
    if (row.Stored) {
      EXPECT_FALSE(refused);
      EXPECT_EQ(stored(), row.Stored);
    } else {
      EXPECT_TRUE(refused);
      const std::wstring before = row.Edit == IDC_RK_DELAY      ? L"3E8"
                                  : row.Edit == IDC_RK_TEMIC_SCAN ? L"7"
                                  : row.Edit == IDC_RK_TEMIC_PASSWORD
                                      ? L"55"
                                      : KeyBytes(FilledKey(row.Sub == RK_MIFARE_C ? 6 : 16, 0xFF));
      EXPECT_EQ(stored(), before);
      // The user is taken to the refused text, selected whole.
      EXPECT_EQ(m_host->shown, row.Sub);
      EXPECT_EQ(GetFocus(), edit);
      DWORD from = 1, to = 0;
      SendMessageW(edit, EM_GETSEL, WPARAM(&from), LPARAM(&to));
      EXPECT_EQ(from, 0u);
      EXPECT_EQ(to, DWORD(wcslen(row.Typed)));
    }
  }
}

TEST_F(ReadKeysPageTest, ARefusedTextStaysRefusedUntilFixedAndStoredValuesOutsideTheFormsStayUntouched) {
  m_settings.Temic.ScanParams = {9};
  m_settings.IdentKeyDelay = 0xFFFFFFF0;  // -16: not a form the edit takes, but untouched unless typed over
  Open();
  HWND general = Pick(RK_GENERAL);
  HWND temic = Pick(RK_TEMIC);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"-16");
  m_settings.settingsModified = false;

  Type(temic, IDC_RK_TEMIC_SCAN, L"2,0,0");
  EXPECT_EQ(Entries(m_settings.Temic.ScanParams), L"2");
  EXPECT_TRUE(m_settings.settingsModified);
  Type(temic, IDC_RK_TEMIC_SCAN, L"2,0,0;1");  // an item being typed
  EXPECT_EQ(Entries(m_settings.Temic.ScanParams), L"2");
  // Leaving the edit does not forget that the text was refused.
  SendMessageW(temic, WM_COMMAND, MAKEWPARAM(IDC_RK_TEMIC_SCAN, EN_KILLFOCUS),
               LPARAM(GetDlgItem(temic, IDC_RK_TEMIC_SCAN)));
  EXPECT_THROW(m_host->UpdateData(true), CRefusedTextException);
  EXPECT_EQ(Entries(m_settings.Temic.ScanParams), L"2");
  Type(temic, IDC_RK_TEMIC_SCAN, L"2,0,0;1,0,0");
  EXPECT_NO_THROW(m_host->UpdateData(true));
  EXPECT_EQ(Entries(m_settings.Temic.ScanParams), L"2 1");
  EXPECT_EQ(m_settings.IdentKeyDelay, 0xFFFFFFF0u);
}

TEST_F(ReadKeysPageTest, KeysShowLastByteFirstInFullAndTheEditsHoldTheirKeys) {
  Open();
  HWND classic = Pick(RK_MIFARE_C);
  HWND plus = Pick(RK_MIFARE_P);
  EXPECT_EQ(SendDlgItemMessageW(classic, IDC_RK_AUTH_KEY, EM_GETLIMITTEXT, 0, 0), 14);
  EXPECT_EQ(SendDlgItemMessageW(plus, IDC_RK_AUTH_KEY, EM_GETLIMITTEXT, 0, 0), 34);
  EXPECT_EQ(SendDlgItemMessageW(Pick(RK_TEMIC), IDC_RK_TEMIC_PASSWORD, EM_GETLIMITTEXT, 0, 0), 10);

  Type(classic, IDC_RK_AUTH_KEY, L"ABC");
  Type(plus, IDC_RK_AUTH_KEY, L"0x00112233445566778899AABBCCDDEEFF");
  m_settings.Temic.Password = 0xABC;
  m_host->UpdateData(false);
  EXPECT_EQ(Text(GetDlgItem(classic, IDC_RK_AUTH_KEY)), L"000000000ABC");
  EXPECT_EQ(Text(GetDlgItem(plus, IDC_RK_AUTH_KEY)), L"00112233445566778899AABBCCDDEEFF");
  EXPECT_EQ(Text(GetDlgItem(m_host->GetSubPage(RK_TEMIC)->hwnd, IDC_RK_TEMIC_PASSWORD)), L"00000ABC");
}

// ---- Key types

struct GroupCommandCase {
  UINT Before;
  UINT Command;
  UINT After;
  bool Modified;
};

const GroupCommandCase kGroupCommands[] = {
    {0x3FFFFF, 32876, 0x1FE3FF, true},   // Uncheck "Mifare Classic"
    {0x3FFFFF, 32773, 0x3FFFFF, false},  // Check all, all checked already
    {0x3FFFFF, 32774, 0, true},          // Uncheck all
    {0, 32867, 0x70, true},              // Check "Radio"
    {0x1C00, 32869, 0x7FC00, true},      // Check "Mifare Plus"
    {0x3FFFFF, 32878, 0x1803FF, true},   // Uncheck "Mifare Classic + Plus"
    {0x0, 32871, 0x200, true},           // Check "Mifare Ultralight"
    {0x100, 32872, 0x100, false},        // Check "Temic", checked already
    {0x100, 32880, 0x0, true},           // Uncheck "Temic"
    {0x400000, 32774, 0x400000, false},  // bits above the 22 types are not the menu's
};

TEST_F(ReadKeysPageTest, GroupCommandsStoreOnlyAChangedMaskAndTheListFollows) {
  Open();
  HWND general = Pick(RK_GENERAL);
  for (const GroupCommandCase& row : kGroupCommands) {
    SCOPED_TRACE(testing::Message() << std::hex << row.Before << " command " << std::dec << row.Command);
    m_settings.KeyTypes = row.Before;
    m_host->UpdateData(false);
    m_settings.settingsModified = false;
    Command(general, row.Command);
    EXPECT_EQ(m_settings.KeyTypes, row.After);
    EXPECT_EQ(m_settings.settingsModified, row.Modified);
    for (int type = 0; type < 22; ++type) {
      EXPECT_EQ(StateImage(general, IDC_RK_KEY_TYPES, type), (row.After >> type) & 1 ? 2 : 1) << "row " << type;
    }
  }
}

struct MenuMarkCase {
  UINT KeyTypes;
  UINT Check;    // a Check command
  bool CheckMark;
  bool UncheckMark;  // on the matching Uncheck command (Check + 8)
};

const MenuMarkCase kMenuMarks[] = {
    {0x1C00, 32868, false, false},  // Mifare Classic without Mini: neither
    {0x201C00, 32868, true, false},
    {0x0, 32868, false, true},
    {0x3FFFFF, 32870, true, false},
    {0x27FC00, 32870, true, false},
    {0x7E000, 32870, false, false},
    {0x30, 32867, false, false},
    {0x100, 32872, true, false},
    {0x0, 32871, false, true},
};

TEST_F(ReadKeysPageTest, MenuMarksShowWhetherAGroupIsAllOrNoneAndCheckAllCarriesNone) {
  HMENU bar = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_KEY_TYPES_MENU));
  ASSERT_NE(bar, nullptr);
  HMENU menu = GetSubMenu(bar, 0);
  wchar_t text[64] = {};
  GetMenuStringW(menu, 32871, text, 64, MF_BYCOMMAND);
  EXPECT_STREQ(text, L"Mifare Ultralight");
  for (const MenuMarkCase& row : kMenuMarks) {
    SCOPED_TRACE(testing::Message() << std::hex << row.KeyTypes << " item " << std::dec << row.Check);
    SetKeyTypesMenuChecks(menu, row.KeyTypes);
    EXPECT_EQ((GetMenuState(menu, row.Check, MF_BYCOMMAND) & MF_CHECKED) != 0, row.CheckMark);
    EXPECT_EQ((GetMenuState(menu, row.Check + 8, MF_BYCOMMAND) & MF_CHECKED) != 0, row.UncheckMark);
    EXPECT_EQ(GetMenuState(menu, ID_KEY_TYPES_CHECK_ALL, MF_BYCOMMAND) & MF_CHECKED, 0u);
    EXPECT_EQ(GetMenuState(menu, ID_KEY_TYPES_UNCHECK_ALL, MF_BYCOMMAND) & MF_CHECKED, 0u);
  }
  DestroyMenu(bar);
}

// A point on a row's check box and one on its text.
void RowPoints(HWND list, int row, POINT* box, POINT* text) {
  RECT bounds{LVIR_BOUNDS, 0, 0, 0}, label{LVIR_LABEL, 0, 0, 0};
  SendMessageW(list, LVM_GETITEMRECT, WPARAM(row), LPARAM(&bounds));
  SendMessageW(list, LVM_GETITEMRECT, WPARAM(row), LPARAM(&label));
  *box = {bounds.left + 6, (bounds.top + bounds.bottom) / 2};
  *text = {(label.left + label.right) / 2, (label.top + label.bottom) / 2};
}

TEST_F(ReadKeysPageTest, OnlyAClickOnTheBoxTogglesAKeyTypeOrACell) {
  m_settings.KeyTypes = 0x3FFFFF;
  m_settings.MifareP.Enabled = true;
  m_settings.MifareP.Flags = 0x2;
  m_settings.MifareP.Mask = 0xFFFFFFFF;
  Open();
  HWND general = Pick(RK_GENERAL);
  HWND types = GetDlgItem(general, IDC_RK_KEY_TYPES);
  POINT box, text;
  RowPoints(types, 3, &box, &text);
  ASSERT_TRUE(HitsStateIcon(types, box, nullptr)) << "the box point must be on the state icon";
  ListClick(general, IDC_RK_KEY_TYPES, 3, text);
  EXPECT_EQ(m_settings.KeyTypes, 0x3FFFFFu);
  EXPECT_FALSE(m_settings.settingsModified);
  ListClick(general, IDC_RK_KEY_TYPES, 3, box);
  EXPECT_EQ(m_settings.KeyTypes, 0x3FFFF7u);
  EXPECT_TRUE(m_settings.settingsModified);
  EXPECT_EQ(StateImage(general, IDC_RK_KEY_TYPES, 3), 1);
  // Real input: a mouse click on the box and Space on the focused row each toggle once.
  SetFocus(types);
  SendMessageW(types, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(box.x, box.y));
  SendMessageW(types, WM_LBUTTONUP, 0, MAKELPARAM(box.x, box.y));
  EXPECT_EQ(m_settings.KeyTypes, 0x3FFFFFu);
  LVITEMW focus{};
  focus.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
  focus.state = LVIS_FOCUSED | LVIS_SELECTED;
  SendMessageW(types, LVM_SETITEMSTATE, 7, LPARAM(&focus));
  SendMessageW(types, WM_KEYDOWN, VK_SPACE, 0x00390001);
  SendMessageW(types, WM_CHAR, L' ', 0x00390001);
  SendMessageW(types, WM_KEYUP, VK_SPACE, 0xC0390001);
  EXPECT_EQ(m_settings.KeyTypes, 0x3FFF7Fu);

  HWND plus = Pick(RK_MIFARE_P);
  HWND cells = GetDlgItem(plus, IDC_RK_KEY_CELLS);
  ASSERT_TRUE(Visible(cells));
  wchar_t cellText[32] = {};
  LVITEMW item{};
  item.pszText = cellText;
  item.cchTextMax = 32;
  SendMessageW(cells, LVM_GETITEMTEXTW, 5, LPARAM(&item));
  EXPECT_STREQ(cellText, L"Cell #5");
  RowPoints(cells, 5, &box, &text);
  ListClick(plus, IDC_RK_KEY_CELLS, 5, text);
  EXPECT_EQ(m_settings.MifareP.Mask, 0xFFFFFFFFu);
  ListClick(plus, IDC_RK_KEY_CELLS, 5, box);
  EXPECT_EQ(m_settings.MifareP.Mask, 0xFFFFFFDFu);
  EXPECT_EQ(StateImage(plus, IDC_RK_KEY_CELLS, 5), 1);
  EXPECT_EQ(StateImage(plus, IDC_RK_KEY_CELLS, 4), 2);
  Command(plus, ID_KEY_CELLS_UNCHECK_ALL);
  EXPECT_EQ(m_settings.MifareP.Mask, 0u);
  EXPECT_EQ(StateImage(plus, IDC_RK_KEY_CELLS, 4), 1);
  Command(plus, ID_KEY_CELLS_CHECK_ALL);
  EXPECT_EQ(m_settings.MifareP.Mask, 0xFFFFFFFFu);
  EXPECT_EQ(m_settings.MifareC.Mask, 0xFFFFFFFFu);
}

// ---- Sub-pages and tab images

TEST_F(ReadKeysPageTest, SubPagesAreMadeOnceAndTabImagesFollowTheEnabledSwitches) {
  Open();
  EXPECT_NE(m_host->GetSubPage(RK_GENERAL), nullptr);
  for (int i = 1; i < RK_COUNT; ++i) EXPECT_EQ(m_host->GetSubPage(i), nullptr) << i;
  for (int i = 1; i < RK_COUNT; ++i) EXPECT_EQ(TabImage(i), 0) << i;

  CAppPage* made[RK_COUNT] = {};
  for (int index : {2, 0, 4, 1, 3, 2, 4, 0, 1}) {
    Pick(index);
    CAppPage* page = m_host->GetSubPage(index);
    ASSERT_NE(page, nullptr);
    if (!made[index]) made[index] = page;
    EXPECT_EQ(page, made[index]) << "sub-page " << index << " made again";
    for (int other = 0; other < RK_COUNT; ++other) {
      CAppPage* sub = m_host->GetSubPage(other);
      if (sub) {
        EXPECT_EQ(Visible(sub->hwnd), other == index) << other;
      }
    }
  }

  struct Switch {
    int Sub;
    UINT Box;
  };
  for (const Switch& sw : {Switch{RK_MIFARE_C, IDC_RK_MIFARE_ENABLED}, Switch{RK_MIFARE_P, IDC_RK_MIFARE_ENABLED},
                           Switch{RK_MIFARE_UL, IDC_RK_UL_ENABLED}, Switch{RK_TEMIC, IDC_RK_TEMIC_ENABLED}}) {
    SCOPED_TRACE(sw.Sub);
    m_settings.settingsModified = false;
    HWND page = Pick(sw.Sub);
    Click(page, sw.Box);
    EXPECT_EQ(TabImage(sw.Sub), 1);
    EXPECT_TRUE(m_settings.settingsModified);
    for (int other = sw.Sub + 1; other < RK_COUNT; ++other) EXPECT_EQ(TabImage(other), 0) << other;
  }
  EXPECT_TRUE(m_settings.MifareC.Enabled && m_settings.MifareP.Enabled && m_settings.MifareUL.Enabled &&
              m_settings.Temic.Enabled);
  // Enabled: the page's controls follow.
  HWND plus = m_host->GetSubPage(RK_MIFARE_P)->hwnd;
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(plus, IDC_RK_SECTOR)));
  Click(plus, IDC_RK_MIFARE_ENABLED);
  EXPECT_EQ(TabImage(RK_MIFARE_P), 0);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(plus, IDC_RK_SECTOR)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(plus, IDC_RK_AUTH_KEY_B)));
  EXPECT_FALSE(IsWindowEnabled(GetWindow(GetDlgItem(plus, IDC_RK_SECTOR), GW_HWNDPREV))) << "its label";
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(plus, IDC_RK_MIFARE_ENABLED)));
}

TEST_F(ReadKeysPageTest, ALoadWithOnlyGeneralMadeRefreshesGeneralAndTheFourImages) {
  Open();
  HWND general = m_host->GetSubPage(RK_GENERAL)->hwnd;
  m_settings.MifareP.Enabled = true;
  m_settings.Temic.Enabled = true;
  m_settings.IdentKeyDelay = 250;
  m_settings.DelayKeyTypes = 0x4;
  m_settings.KeyTypes = 0x2;
  m_host->UpdateData(false);
  EXPECT_EQ(TabImage(RK_MIFARE_C), 0);
  EXPECT_EQ(TabImage(RK_MIFARE_P), 1);
  EXPECT_EQ(TabImage(RK_MIFARE_UL), 0);
  EXPECT_EQ(TabImage(RK_TEMIC), 1);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"250");
  EXPECT_EQ(IsDlgButtonChecked(general, IDC_RK_HOLD_MIFARE_UL), UINT(BST_CHECKED));
  EXPECT_EQ(IsDlgButtonChecked(general, IDC_RK_HOLD_MIFARE_C), UINT(BST_UNCHECKED));
  EXPECT_EQ(StateImage(general, IDC_RK_KEY_TYPES, 1), 2);
  EXPECT_EQ(StateImage(general, IDC_RK_KEY_TYPES, 2), 1);
  for (int i = 1; i < RK_COUNT; ++i) EXPECT_EQ(m_host->GetSubPage(i), nullptr) << i;
  // The hold boxes are read on save, other bits of the mask kept.
  m_settings.DelayKeyTypes = 0x30;
  Click(general, IDC_RK_HOLD_TEMIC);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.DelayKeyTypes, 0x3Cu);
}

TEST_F(ReadKeysPageTest, TheKeyEditAndTheCellListTakeTurnsInOnePlace) {
  m_settings.MifareC.Enabled = true;
  Open();
  HWND classic = Pick(RK_MIFARE_C);
  HWND edit = GetDlgItem(classic, IDC_RK_AUTH_KEY);
  HWND cells = GetDlgItem(classic, IDC_RK_KEY_CELLS);
  RECT editRect, cellsRect;
  GetWindowRect(edit, &editRect);
  GetWindowRect(cells, &cellsRect);
  EXPECT_EQ(editRect.left, cellsRect.left);
  EXPECT_EQ(editRect.top, cellsRect.top);
  for (int round = 0; round < 2; ++round) {
    m_settings.settingsModified = false;
    Click(classic, IDC_RK_KEY_CELLS_MODE);
    EXPECT_FALSE(Visible(edit));
    EXPECT_TRUE(Visible(cells));
    EXPECT_EQ(m_settings.MifareC.Flags & 0x2, 0x2u);
    EXPECT_TRUE(m_settings.settingsModified);
    Click(classic, IDC_RK_KEY_VALUE);
    EXPECT_TRUE(Visible(edit));
    EXPECT_FALSE(Visible(cells));
    EXPECT_EQ(m_settings.MifareC.Flags & 0x2, 0u);
  }
  // Key B: stored and marked at the click; the other pair keeps its choice.
  m_settings.settingsModified = false;
  Click(classic, IDC_RK_AUTH_KEY_B);
  EXPECT_EQ(m_settings.MifareC.Flags, 0x1u);
  EXPECT_TRUE(m_settings.settingsModified);
  EXPECT_EQ(IsDlgButtonChecked(classic, IDC_RK_KEY_VALUE), UINT(BST_CHECKED));
  Click(classic, IDC_RK_AUTH_KEY_A);
  EXPECT_EQ(m_settings.MifareC.Flags, 0x0u);
}

// The controls of the dialog group that `id` is in, from it onwards, as auto radios clear each other.
std::vector<int> GroupOf(HWND page, UINT id) {
  std::vector<int> ids;
  HWND start = GetDlgItem(page, int(id));
  HWND item = start;
  do {
    ids.push_back(GetDlgCtrlID(item));
    item = GetNextDlgGroupItem(page, item, FALSE);
  } while (item && item != start && ids.size() < 20);
  return ids;
}

TEST_F(ReadKeysPageTest, EachRadioPairIsAGroupOfItsOwn) {
  m_settings.MifareC.Enabled = m_settings.MifareP.Enabled = m_settings.Temic.Enabled = true;
  Open();
  for (int sub : {RK_MIFARE_C, RK_MIFARE_P}) {
    HWND page = Pick(sub);
    EXPECT_EQ(GroupOf(page, IDC_RK_AUTH_KEY_A), std::vector<int>({IDC_RK_AUTH_KEY_A, IDC_RK_AUTH_KEY_B})) << sub;
    EXPECT_EQ(GroupOf(page, IDC_RK_KEY_VALUE), std::vector<int>({IDC_RK_KEY_VALUE, IDC_RK_KEY_CELLS_MODE})) << sub;
  }
  EXPECT_EQ(GroupOf(Pick(RK_TEMIC), IDC_RK_TEMIC_UID), std::vector<int>({IDC_RK_TEMIC_UID, IDC_RK_TEMIC_DATA}));
}

TEST_F(ReadKeysPageTest, TemicModeSwapsTheManufacturerBoxWithTheBlockRowEveryTime) {
  m_settings.Temic.Enabled = true;
  m_settings.Temic.Flags = TF_PASSWORD;
  m_settings.Temic.Password = 0x1234;
  Open();
  HWND temic = Pick(RK_TEMIC);
  HWND fullId = GetDlgItem(temic, IDC_RK_TEMIC_FULL_ID);
  HWND block = GetDlgItem(temic, IDC_RK_TEMIC_BLOCK);
  HWND count = GetDlgItem(temic, IDC_RK_TEMIC_COUNT);
  RECT boxRect, blockRect;
  GetWindowRect(fullId, &boxRect);
  GetWindowRect(block, &blockRect);
  EXPECT_EQ(boxRect.top, blockRect.top);
  for (int round = 0; round < 2; ++round) {
    m_settings.settingsModified = false;
    Click(temic, IDC_RK_TEMIC_DATA);
    EXPECT_EQ(m_settings.Temic.Flags & TF_DATA, UINT(TF_DATA));
    EXPECT_TRUE(m_settings.settingsModified);
    EXPECT_FALSE(Visible(fullId));
    for (HWND wnd : {block, count, GetWindow(block, GW_HWNDPREV), GetWindow(count, GW_HWNDPREV)})
      EXPECT_TRUE(Visible(wnd) && IsWindowEnabled(wnd));
    Click(temic, IDC_RK_TEMIC_UID);
    EXPECT_EQ(m_settings.Temic.Flags & TF_DATA, 0u);
    EXPECT_TRUE(Visible(fullId));
    for (HWND wnd : {block, count, GetWindow(block, GW_HWNDPREV), GetWindow(count, GW_HWNDPREV)})
      EXPECT_FALSE(Visible(wnd));
  }
  // Unticking the password keeps it; the edit only greys.
  HWND password = GetDlgItem(temic, IDC_RK_TEMIC_PASSWORD);
  EXPECT_TRUE(IsWindowEnabled(password));
  Click(temic, IDC_RK_TEMIC_USE_PASSWORD);
  EXPECT_EQ(m_settings.Temic.Flags & TF_PASSWORD, 0u);
  EXPECT_EQ(m_settings.Temic.Password, 0x1234u);
  EXPECT_FALSE(IsWindowEnabled(password));
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.Temic.Password, 0x1234u);
}

TEST_F(ReadKeysPageTest, BlocksFollowTheSectorAndCombosWithoutASelectionKeepTheStoredValue) {
  m_settings.MifareC.Enabled = true;
  m_settings.MifareC.Sect = 35;
  m_settings.MifareC.Block = 7;
  m_settings.MifareUL.Page = 20;
  m_settings.MifareUL.Count = 4;
  Open();
  HWND classic = Pick(RK_MIFARE_C);
  HWND blocks = GetDlgItem(classic, IDC_RK_BLOCK);
  EXPECT_EQ(SendMessageW(blocks, CB_GETCOUNT, 0, 0), 16);
  EXPECT_EQ(SendMessageW(blocks, CB_GETCURSEL, 0, 0), 7);
  Choose(classic, IDC_RK_SECTOR, 3);
  EXPECT_EQ(m_settings.MifareC.Sect, 3u);
  EXPECT_EQ(SendMessageW(blocks, CB_GETCOUNT, 0, 0), 4);
  EXPECT_EQ(SendMessageW(blocks, CB_GETCURSEL, 0, 0), CB_ERR);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.MifareC.Block, 7u);
  Choose(classic, IDC_RK_BLOCK, 2);
  EXPECT_EQ(m_settings.MifareC.Block, 2u);

  HWND ultralight = Pick(RK_MIFARE_UL);
  EXPECT_EQ(SendDlgItemMessageW(ultralight, IDC_RK_UL_PAGE, CB_GETCURSEL, 0, 0), CB_ERR);
  EXPECT_EQ(SendDlgItemMessageW(ultralight, IDC_RK_UL_COUNT, CB_GETCURSEL, 0, 0), 3);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.MifareUL.Page, 20u);
  EXPECT_EQ(m_settings.MifareUL.Count, 4u);
  m_settings.Temic.Block = 9;
  m_host->UpdateData(false);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.Temic.Block, 9u) << "a sub-page never shown is not involved";
  HWND temic = Pick(RK_TEMIC);
  EXPECT_EQ(SendDlgItemMessageW(temic, IDC_RK_TEMIC_BLOCK, CB_GETCURSEL, 0, 0), CB_ERR);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.Temic.Block, 9u);
}

TEST_F(ReadKeysPageTest, AnArrowClickOnTheDelayWritesNoThousandsSeparator) {
  Open();
  HWND general = Pick(RK_GENERAL);
  Type(general, IDC_RK_DELAY, L"999");
  m_settings.settingsModified = false;
  HWND spin = GetDlgItem(general, IDC_RK_DELAY_SPIN);
  RECT rect;
  GetClientRect(spin, &rect);
  const LPARAM upper = MAKELPARAM(rect.right / 2, rect.bottom / 4);
  SendMessageW(spin, WM_LBUTTONDOWN, MK_LBUTTON, upper);
  SendMessageW(spin, WM_LBUTTONUP, 0, upper);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"1000");
  EXPECT_TRUE(m_settings.settingsModified);
  m_host->UpdateData(true);
  EXPECT_EQ(m_settings.IdentKeyDelay, 1000u);
  // The top of the range is within the up-down's reach.
  Type(general, IDC_RK_DELAY, L"2147483646");
  SendMessageW(spin, WM_LBUTTONDOWN, MK_LBUTTON, upper);
  SendMessageW(spin, WM_LBUTTONUP, 0, upper);
  EXPECT_EQ(Text(GetDlgItem(general, IDC_RK_DELAY)), L"2147483647");
}

}  // namespace
