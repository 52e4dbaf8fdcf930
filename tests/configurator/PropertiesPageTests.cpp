// The Properties tab and the property dialog over a fake add-in holding every value type (this program is
// ConfigVombraProps.exe, so the host loads VombraProps.dll): the rows by type, the buttons, sorting by the
// type code, and editing by type with the add-in's refusals.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ThreadWindow.h"
#include "ConfigResourceIds.h"
#include "PropertiesPage.h"
#include "PropertyDialog.h"
#include "TestTabsSupport.h"

namespace {

CConfigVombraApp theApp;

class PropertiesPageTest : public TestTabsFixture {
 protected:
  void SetUp() override {
    TestTabsFixture::SetUp();
    if (HasFatalFailure()) return;
    page = std::make_unique<CPropertiesPage>(host.get(), &theApp.settings);
    ASSERT_TRUE(CDialog::CreateFromTemplate(page.get(), IDD_TEST_PROPERTIES, parent));
    list = GetDlgItem(page->hwnd, IDC_PROP_LIST);
    ASSERT_NE(list, nullptr);
  }
  void TearDown() override {
    page.reset();
    TestTabsFixture::TearDown();
  }

  // The list row of an English name, -1 when it is not listed.
  int RowOf(const std::wstring& nameEn) {
    const int count = int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    for (int row = 0; row < count; ++row) {
      if (ListCell(list, row, 2) == nameEn) return row;
    }
    return -1;
  }
  bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(page->hwnd, id)) != FALSE; }

  // Runs the property dialog on `property`; `step` acts on it once it is up. A dialog still open after
  // the step is cancelled, and `stayedOpen` says so.
  void RunDialog(long property, const std::function<void(CPropertyDialog&)>& step, bool* stayedOpen = nullptr,
                 std::unique_ptr<CPropertyDialog>* keep = nullptr) {
    auto dialog = std::make_unique<CPropertyDialog>(host.get(), UINT(property));
    CPropertyDialog* shown = dialog.get();
    bool open = false;
    RunLater(
        [&] {
          step(*shown);
          open = shown->result == -1;
          if (open) SendMessageW(shown->hwnd, WM_COMMAND, IDCANCEL, 0);
        },
        30);
    shown->DoModal(IDD_PROPERTY, parent, false);
    if (stayedOpen) *stayedOpen = open;
    if (keep) *keep = std::move(dialog);
  }

  std::unique_ptr<CPropertiesPage> page;
  HWND list = nullptr;
};

TEST_F(PropertiesPageTest, RowsShowEachTypeValueAndAccess) {
  struct Row {
    const wchar_t* NameEn;
    const wchar_t* NameRu;
    const wchar_t* Type;
    const wchar_t* Value;
    const wchar_t* Access;
  };
  const Row rows[] = {
      {L"Text", L"Текст", L"String", L"\"COM3\"", L"RW"},
      {L"Unsigned", L"Беззнаковое", L"Number", L"-1", L"RW"},
      {L"Flag", L"Флаг", L"Boolean", L"True", L"RW"},
      {L"Bytes", L"Байты", L"BinaryData", L"[2]{0102}", L"RW"},
      {L"Wide", L"Широкое", L"?", L"", L"RW"},  // I8: no shown type, no text
      {L"Odd", L"Странное", L"?", L"", L"RW"},
      {L"Failing", L"Сбойное", L"?", L"", L"RW"},
      {L"Throwing", L"Бросающее", L"?", L"", L"RW"},
      {L"ReadOnly", L"ТолькоЧтение", L"Number", L"7", L"R"},
  };
  ASSERT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), FAKE_PROP_COUNT);
  for (const Row& expected : rows) {
    SCOPED_TRACE(testing::Message() << "property " << std::string(expected.NameEn, expected.NameEn + wcslen(expected.NameEn)));
    const int row = RowOf(expected.NameEn);
    ASSERT_GE(row, 0);
    EXPECT_EQ(ListCell(list, row, 1), expected.NameRu);
    EXPECT_EQ(ListCell(list, row, 3), expected.Type);
    EXPECT_EQ(ListCell(list, row, 4), expected.Value);
    EXPECT_EQ(ListCell(list, row, 5), expected.Access);
  }
  // Unsorted, "#" numbers the properties from 1 in the add-in's order.
  EXPECT_EQ(ListCell(list, 0, 0), L"1");
  EXPECT_EQ(ListCell(list, 0, 2), L"Text");
  EXPECT_EQ(ListCell(list, FAKE_PROP_PICKY, 0), L"10");
}

TEST_F(PropertiesPageTest, ButtonsFollowTheHostAndTheSelectedType) {
  page->UpdateButtons();
  EXPECT_TRUE(Enabled(IDC_PROP_REFRESH));
  EXPECT_TRUE(Enabled(IDC_PROP_LOAD_SETTINGS));
  EXPECT_TRUE(Enabled(IDC_PROP_SAVE_SETTINGS));
  EXPECT_FALSE(Enabled(IDC_PROP_CHANGE));  // nothing selected
  const struct {
    const wchar_t* Name;
    bool Change;
  } cases[] = {{L"Unsigned", true}, {L"Flag", true}, {L"Text", true}, {L"ReadOnly", true},
               {L"Wide", false},    {L"Bytes", false}, {L"Failing", false}, {L"Odd", false}};
  for (const auto& c : cases) {
    SelectRow(list, RowOf(c.Name));
    page->UpdateButtons();
    EXPECT_EQ(Enabled(IDC_PROP_CHANGE), c.Change) << std::string(c.Name, c.Name + wcslen(c.Name));
  }
  host->Unload();
  page->Refill();
  page->UpdateButtons();
  EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
  for (int id : {IDC_PROP_REFRESH, IDC_PROP_LOAD_SETTINGS, IDC_PROP_SAVE_SETTINGS, IDC_PROP_CHANGE})
    EXPECT_FALSE(Enabled(id)) << id;
}

TEST_F(PropertiesPageTest, SortByTypeOrdersByTheTypeCode) {
  _TBLN_SORT_INFO sort{};
  sort.hdr.hwndFrom = list;
  sort.hdr.idFrom = IDC_PROP_LIST;
  sort.hdr.code = TBLN_SORT;
  sort.sort = 4;  // Type, ascending
  SendMessageW(page->hwnd, WM_NOTIFY, IDC_PROP_LIST, LPARAM(&sort));
  EXPECT_EQ(theApp.settings.propertiesSortColumn, 4);
  EXPECT_TRUE(theApp.settings.configModified);
  // By code: I4 (3) < R8 (5) < BOOL (11) < UI4 (19) < I8 (20) < PWSTR (22) < BLOB (23) < unread. By name
  // "BinaryData" would lead and "String" come last.
  std::vector<std::wstring> order;
  for (int row = 0; row < FAKE_PROP_COUNT; ++row) order.push_back(ListCell(list, row, 3));
  const std::vector<std::wstring> byCode = {L"Number", L"Number", L"?", L"Boolean", L"Number",
                                            L"?",      L"String", L"BinaryData", L"?", L"?"};
  EXPECT_EQ(order, byCode);
  EXPECT_EQ(ListCell(list, 2, 2), L"Odd");
  EXPECT_EQ(ListCell(list, 5, 2), L"Wide");

  sort.sort = -1;  // "#" descending reverses the property order
  SendMessageW(page->hwnd, WM_NOTIFY, IDC_PROP_LIST, LPARAM(&sort));
  EXPECT_EQ(ListCell(list, 0, 0), L"10");
  EXPECT_EQ(ListCell(list, FAKE_PROP_COUNT - 1, 0), L"1");
}

TEST_F(PropertiesPageTest, NumberShownInBothBasesAndReadBackByPrefix) {
  std::wstring decimal, hexadecimal;
  std::unique_ptr<CPropertyDialog> dialog;
  RunDialog(FAKE_PROP_UNSIGNED, [&](CPropertyDialog& d) {
    decimal = ItemText(d.hwnd, IDC_VALUE_NUMBER);
    Click(d.hwnd, IDC_RADIX_HEX);
    hexadecimal = ItemText(d.hwnd, IDC_VALUE_NUMBER);
    Click(d.hwnd, IDC_RADIX_DECIMAL);
    SetDlgItemTextW(d.hwnd, IDC_VALUE_NUMBER, L"0x10");
    SendMessageW(d.hwnd, WM_COMMAND, IDOK, 0);
  }, nullptr, &dialog);
  EXPECT_EQ(decimal, L"-1");
  EXPECT_EQ(hexadecimal, L"0xFFFFFFFF");
  EXPECT_EQ(dialog->result, IDOK);
  EXPECT_TRUE(dialog->hexMode);  // the prefix switched the mode
  EXPECT_EQ(state->SetPropCalls, 1);
  EXPECT_EQ(state->SetPropType, VTYPE_UI4);
  EXPECT_EQ(state->SetPropNumber, 16);
}

TEST_F(PropertiesPageTest, EachTypeIsStoredAsTyped) {
  struct Case {
    long Property;
    std::function<void(HWND)> Type;
    uint16_t Vt;
    int64_t Number;
    const wchar_t* Text;
  };
  const Case cases[] = {
      {FAKE_PROP_FLAG, [](HWND d) { Click(d, IDC_VALUE_FALSE); }, VTYPE_BOOL, 0, L""},
      {FAKE_PROP_TEXT, [](HWND d) { SetDlgItemTextW(d, IDC_VALUE_STRING, L"COM9"); }, VTYPE_PWSTR, 0, L"COM9"},
      {FAKE_PROP_WIDE, [](HWND d) { SetDlgItemTextW(d, IDC_VALUE_NUMBER64, L"-123456789012"); }, VTYPE_I8,
       -123456789012LL, L""},
      {FAKE_PROP_UNSIGNED, [](HWND d) { SetDlgItemTextW(d, IDC_VALUE_NUMBER, L"42"); }, VTYPE_UI4, 42, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "property " << c.Property);
    state->SetPropCalls = 0;
    RunDialog(c.Property, [&](CPropertyDialog& d) {
      c.Type(d.hwnd);
      SendMessageW(d.hwnd, WM_COMMAND, IDOK, 0);
    });
    ASSERT_EQ(state->SetPropCalls, 1);
    EXPECT_EQ(state->SetPropIndex, c.Property);
    EXPECT_EQ(state->SetPropType, c.Vt);
    if (c.Vt != VTYPE_PWSTR) {
      EXPECT_EQ(state->SetPropNumber, c.Number);
    }
    EXPECT_STREQ(state->SetPropText, c.Text);
  }
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(PropertiesPageTest, FiveHexDigitsStoreThreeBytes) {
  std::wstring shown;
  RunDialog(FAKE_PROP_BYTES, [&](CPropertyDialog& d) {
    shown = ItemText(d.hwnd, IDC_VALUE_BINARY);
    SetDlgItemTextW(d.hwnd, IDC_VALUE_BINARY, L"ABCDE");
    SendMessageW(d.hwnd, WM_COMMAND, IDOK, 0);
  });
  EXPECT_EQ(shown, L"0102");
  ASSERT_EQ(state->SetPropCalls, 1);
  EXPECT_EQ(state->SetPropType, VTYPE_BLOB);
  ASSERT_EQ(state->SetPropLength, 3u);
  EXPECT_EQ(state->SetPropBytes[0], 0xAB);
  EXPECT_EQ(state->SetPropBytes[1], 0xCD);
  EXPECT_EQ(state->SetPropBytes[2], 0xE0);
  // The page reads the rows again after a stored value.
  SelectRow(list, RowOf(L"Bytes"));
  page->Refill();
  EXPECT_EQ(ListCell(list, RowOf(L"Bytes"), 4), L"[3]{ABCDE0}");
}

TEST_F(PropertiesPageTest, ReadOnlyOpensDisabledAndCallsNothing) {
  bool editorEnabled = true;
  std::unique_ptr<CPropertyDialog> dialog;
  RunDialog(FAKE_PROP_READ_ONLY, [&](CPropertyDialog& d) {
    editorEnabled = IsWindowEnabled(GetDlgItem(d.hwnd, IDC_VALUE_NUMBER)) != FALSE;
    SetDlgItemTextW(d.hwnd, IDC_VALUE_NUMBER, L"8");
    SendMessageW(d.hwnd, WM_COMMAND, IDOK, 0);
  }, nullptr, &dialog);
  EXPECT_FALSE(editorEnabled);
  EXPECT_EQ(dialog->result, IDOK);
  EXPECT_EQ(state->SetPropCalls, 0);
}

TEST_F(PropertiesPageTest, RefusalsAndBadNumbersKeepTheDialogOpen) {
  struct Case {
    const wchar_t* Typed;
    const wchar_t* Refusal;
    int Calls;
    const wchar_t* Box;
  };
  const Case cases[] = {
      {L"5", L"Value out of range.", 1, L"Value out of range."},  // the add-in's AddError of the call
      {L"5", L"", 1, L"Fake last error."},                        // else its GetLastError text
      {L"12x", L"", 0, L"Enter a number."},                       // ours: nothing is called
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "typed " << std::string(c.Typed, c.Typed + wcslen(c.Typed)));
    g_boxes.clear();
    state->SetPropCalls = 0;
    wcscpy(state->RefuseText, c.Refusal);
    bool stayedOpen = false;
    std::wstring kept;
    RunDialog(FAKE_PROP_PICKY, [&](CPropertyDialog& d) {
      SetDlgItemTextW(d.hwnd, IDC_VALUE_NUMBER, c.Typed);
      SendMessageW(d.hwnd, WM_COMMAND, IDOK, 0);
      kept = ItemText(d.hwnd, IDC_VALUE_NUMBER);
    }, &stayedOpen);
    EXPECT_TRUE(stayedOpen);
    EXPECT_EQ(kept, c.Typed);
    EXPECT_EQ(state->SetPropCalls, c.Calls);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_EQ(g_boxes[0], c.Box);
  }
}

TEST_F(PropertiesPageTest, EnterOnAWideRowOpensTheDialogThatTheButtonDoesNot) {
  SelectRow(list, RowOf(L"Wide"));
  page->UpdateButtons();
  EXPECT_FALSE(Enabled(IDC_PROP_CHANGE));
  std::wstring shown;
  RunLater(
      [&] {
        HWND dialog = FindThreadWindow(L"#32770", L"Property");
        if (dialog) {
          shown = ItemText(dialog, IDC_VALUE_NUMBER64);
          SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        }
      },
      30);
  NMHDR enter{list, IDC_PROP_LIST, UINT(NM_RETURN)};
  SendMessageW(page->hwnd, WM_NOTIFY, IDC_PROP_LIST, LPARAM(&enter));
  EXPECT_EQ(shown, L"-5");
}

}  // namespace
