// The Methods tab, the method dialog and the argument dialog over a fake add-in whose methods take
// parameters with defaults, refuse, throw or cannot be found (this program is ConfigVombraMeths.exe, so
// the host loads VombraMeths.dll): the Parameters column, a grown parameter count, the argument
// history, defaults under the confirmation, the call protocol and the arguments kept in the
// configuration file.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ThreadWindow.h"
#include "Clock.h"
#include "ConfigResourceIds.h"
#include "MethodDialog.h"
#include "MethodsPage.h"
#include "TestTabsSupport.h"
#include "doubles/FakeClock.h"

namespace {

CConfigVombraApp theApp;

_METHOD_ARG_INFO Arg(WORD vt, std::vector<std::wstring> items, int width = 75) {
  _METHOD_ARG_INFO arg;
  arg.Vt = vt;
  arg.Items = std::move(items);
  arg.Width = width;
  return arg;
}

// Answers the scripted ticks in turn, then the last one.
class ScriptedClock : public IClock {
 public:
  explicit ScriptedClock(std::deque<DWORD> ticks) : m_ticks(std::move(ticks)) {}
  DWORD Now() override {
    const DWORD now = m_ticks.front();
    if (m_ticks.size() > 1) m_ticks.pop_front();
    return now;
  }

 private:
  std::deque<DWORD> m_ticks;
};

// The protocol's lines without their time stamps ("hh:mm:ss.mmm ").
std::vector<std::wstring> ProtocolLines(HWND dialog) {
  std::vector<std::wstring> lines;
  const std::wstring text = ItemText(dialog, IDC_METHDLG_PROTOCOL);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(L"\r\n", start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(start, end - start);
    lines.push_back(line.size() >= 13 && line[2] == L':' && line[8] == L'.' ? line.substr(13) : L"<" + line + L">");
    start = end + 2;
  }
  return lines;
}

TEST(ParamsTextTest, StoredArgumentsByTypeThenEmptySlots) {
  SetUILanguage(kEnglishUi);
  g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
  struct Case {
    METHOD_ARGS Args;
    int Count;
    const wchar_t* Text;
  };
  const Case cases[] = {
      {{}, 0, L"()"},
      {{}, 3, L"(, , )"},
      {{Arg(VTYPE_I4, {L"5"})}, 3, L"(5, , )"},
      {{Arg(VTYPE_PWSTR, {L"abc", L"old"})}, 1, L"(\"abc\")"},
      {{Arg(VTYPE_BOOL, {L"0"}), Arg(VTYPE_BOOL, {L"1"}), Arg(VTYPE_BOOL, {L"x"})}, 3, L"(False, True, True)"},
      {{Arg(VTYPE_BOOL, {L""}), Arg(VTYPE_BOOL, {})}, 2, L"(False, False)"},
      {{Arg(VTYPE_BLOB, {L"0102"}), Arg(VTYPE_PSTR, {L"0123456789AB"})}, 2, L"({0102}, {01234567...})"},
      {{Arg(VTYPE_EMPTY, {}), Arg(VTYPE_NULL, {L"n"})}, 2, L"(, n)"},
  };
  for (const Case& c : cases) {
    std::wstring text;
    BuildParamsText(&c.Args, c.Count, text);
    EXPECT_EQ(text, c.Text);
  }
}

TEST(ArgHistoryTest, FiveItemsNewestFirstWithoutRepeats) {
  std::vector<std::wstring> items;
  for (const wchar_t* value : {L"1", L"2", L"3", L"4", L"5", L"6"}) {
    const std::wstring before = items.empty() ? std::wstring() : items[0];
    if (items.empty()) items.emplace_back();
    items[0] = value;
    PushArgHistory(items, before);
  }
  EXPECT_EQ(items, (std::vector<std::wstring>{L"6", L"5", L"4", L"3", L"2"}));
  items[0] = L"4";  // a value already in the history moves to the front
  PushArgHistory(items, L"6");
  EXPECT_EQ(items, (std::vector<std::wstring>{L"4", L"6", L"5", L"3", L"2"}));
  items[0] = L"4";  // unchanged: nothing moves
  PushArgHistory(items, L"4");
  EXPECT_EQ(items, (std::vector<std::wstring>{L"4", L"6", L"5", L"3", L"2"}));

  std::vector<std::wstring> applied{L"5", L"10", L"7"};
  ApplyDefaultItems(applied, L"10");
  EXPECT_EQ(applied, (std::vector<std::wstring>{L"10", L"5", L"7"}));
  std::vector<std::wstring> none;
  ApplyDefaultItems(none, L"10");
  EXPECT_EQ(none, (std::vector<std::wstring>{L"10"}));
}

class MethodsTest : public TestTabsFixture {
 protected:
  void SetUp() override {
    TestTabsFixture::SetUp();
    if (HasFatalFailure()) return;
    theApp.settings.methodArgs.clear();
    theApp.settings.ConfirmFlags = CONFIRM_DEFAULT;
  }

  // Runs the method dialog on `method`; `step` acts on it once it is up; the dialog is closed after it.
  void RunMethodDialog(long method, const std::function<void(CMethodDialog&)>& step) {
    CMethodDialog dialog(host.get(), UINT(method), &theApp.settings);
    RunLater(
        [&] {
          step(dialog);
          if (dialog.result == -1) SendMessageW(dialog.hwnd, WM_COMMAND, IDCANCEL, 0);
        },
        30);
    dialog.DoModal(IDD_METHOD, parent, false);
  }
  // The protocol of one Execute.
  std::vector<std::wstring> Call(long method) {
    std::vector<std::wstring> lines;
    RunMethodDialog(method, [&](CMethodDialog& d) {
      SendMessageW(d.hwnd, WM_COMMAND, IDC_METHDLG_EXECUTE, 0);
      lines = ProtocolLines(d.hwnd);
    });
    return lines;
  }
};

TEST_F(MethodsTest, TableListsMethodsWithStoredArguments) {
  theApp.settings.methodArgs[L"Sum"] = {Arg(VTYPE_I4, {L"5"}), Arg(VTYPE_PWSTR, {L"xy"})};
  CMethodsPage page(host.get(), &theApp.settings);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, IDD_TEST_METHODS, parent));
  HWND list = GetDlgItem(page.hwnd, IDC_METH_LIST);
  ASSERT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), FAKE_METH_COUNT);
  const struct {
    int Row;
    const wchar_t* Ru;
    const wchar_t* En;
    const wchar_t* Ret;
    const wchar_t* Count;
    const wchar_t* Params;
  } rows[] = {{FAKE_METH_NO_PARAMS, L"БезПараметров", L"NoParams", L"True", L"0", L"()"},
              {FAKE_METH_SUM, L"Сумма", L"Sum", L"True", L"3", L"(5, \"xy\", )"},
              {FAKE_METH_PROC, L"Процедура", L"Proc", L"False", L"1", L"()"}};
  for (const auto& r : rows) {
    EXPECT_EQ(ListCell(list, r.Row, 0), std::to_wstring(r.Row + 1));
    EXPECT_EQ(ListCell(list, r.Row, 1), r.Ru);
    EXPECT_EQ(ListCell(list, r.Row, 2), r.En);
    EXPECT_EQ(ListCell(list, r.Row, 3), r.Ret);
    EXPECT_EQ(ListCell(list, r.Row, 4), r.Count);
    EXPECT_EQ(ListCell(list, r.Row, 5), r.Params);
  }
  // Sorting by "Has a return value" puts the procedures first.
  _TBLN_SORT_INFO sort{};
  sort.hdr = {list, IDC_METH_LIST, UINT(TBLN_SORT)};
  sort.sort = 4;
  SendMessageW(page.hwnd, WM_NOTIFY, IDC_METH_LIST, LPARAM(&sort));
  EXPECT_EQ(ListCell(list, 0, 3), L"False");
  EXPECT_EQ(ListCell(list, 1, 3), L"False");
  EXPECT_EQ(ListCell(list, 2, 3), L"True");

  // Cancelling the method dialog still refreshes the column from the stored arguments.
  SendMessageW(page.hwnd, WM_NOTIFY, IDC_METH_LIST, LPARAM(&(sort.sort = 0, sort)));
  SelectRow(list, FAKE_METH_SUM);
  page.UpdateButtons();
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page.hwnd, ID_METH_EXECUTE)));
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page.hwnd, IDC_METH_SEARCH_READERS)));
  int tries = 0;
  std::function<void()> closeWhenUp = [&] {
    HWND dialog = FindThreadWindow(L"#32770", L"Method");
    if (!dialog && ++tries < 100) return RunLater(closeWhenUp, 30);
    theApp.settings.methodArgs[L"Sum"][0].Items = {L"8"};
    if (dialog) SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  };
  RunLater(closeWhenUp, 30);
  SendMessageW(page.hwnd, WM_COMMAND, ID_METH_EXECUTE, 0);
  EXPECT_EQ(ListCell(list, FAKE_METH_SUM, 5), L"(8, \"xy\", )");

  host->Unload();
  page.Refill();
  page.UpdateButtons();
  EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.hwnd, IDC_METH_REFRESH)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.hwnd, ID_METH_EXECUTE)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.hwnd, IDC_METH_SEARCH_READERS)));
}

// "Search for readers..." runs the search dialog modally; this fake has neither "FindNext" nor
// "FindClose", so the search ends at once with the host's two texts among the results.
TEST_F(MethodsTest, SearchForReadersRunsTheSearchDialog) {
  CMethodsPage page(host.get(), &theApp.settings);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, IDD_TEST_METHODS, parent));
  std::wstring results, status;
  bool shown = false;
  int tries = 0;
  std::function<void()> closeWhenUp = [&] {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindVisibleDialog, LPARAM(&dialog));
    if (!dialog && ++tries < 100) return RunLater(closeWhenUp, 30);
    if (!dialog) return;
    shown = GetDlgItem(dialog, IDC_SEARCH_RESULTS) != nullptr;
    results = ItemText(dialog, IDC_SEARCH_RESULTS);
    status = ItemText(dialog, IDC_SEARCH_STATUS);
    SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  };
  RunLater(closeWhenUp, 30);
  SendMessageW(page.hwnd, WM_COMMAND, MAKEWPARAM(IDC_METH_SEARCH_READERS, BN_CLICKED), 0);
  EXPECT_TRUE(shown);
  EXPECT_EQ(results, L"\"FindNext\" method not found.\r\n\"FindClose\" method not found.\r\n");
  EXPECT_EQ(status, L"The search is complete. 0 readers found.");
}

TEST_F(MethodsTest, GrownParameterCountAddsAutoSizedColumnsWithDefaults) {
  theApp.settings.methodArgs[L"Sum"] = {Arg(VTYPE_I4, {L"5"}, 90)};
  int columns = 0;
  int firstWidth = 0;
  std::wstring value0, value1, default0, default1;
  METHOD_ARGS args;
  RunMethodDialog(FAKE_METH_SUM, [&](CMethodDialog& d) {
    HWND header = HWND(SendMessageW(d.list, LVM_GETHEADER, 0, 0));
    columns = int(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0));
    firstWidth = int(SendMessageW(d.list, LVM_GETCOLUMNWIDTH, 1, 0));
    value0 = ListCell(d.list, 0, 1);
    value1 = ListCell(d.list, 0, 2);
    default0 = ListCell(d.list, 1, 1);
    default1 = ListCell(d.list, 1, 2);
    args = d.args;
  });
  EXPECT_EQ(columns, 4);
  EXPECT_EQ(firstWidth, 90);
  EXPECT_EQ(value0, L"5");         // a stored value stays
  EXPECT_EQ(value1, L"\"abc\"");   // an empty new argument takes its default
  EXPECT_EQ(default0, L"10");
  EXPECT_EQ(default1, L"\"abc\"");
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[1].Width, -1);
  EXPECT_EQ(args[2].Vt, VTYPE_EMPTY);
  EXPECT_TRUE(theApp.settings.configModified);
  // Nothing the user did: the stored list is left as it was.
  EXPECT_EQ(theApp.settings.methodArgs[L"Sum"].size(), 1u);
}

TEST_F(MethodsTest, NumberArgumentReadInHexadecimalIsStoredInDecimal) {
  CMethArgDialog first(0, 3, {L"7"}, 3, L"10");
  std::wstring shown;
  RunLater(
      [&] {
        shown = ItemText(first.hwnd, IDC_ARG_NUMBER_COMBO);
        SetDlgItemTextW(first.hwnd, IDC_ARG_NUMBER_COMBO, L"0x10");
        SendMessageW(first.hwnd, WM_COMMAND, IDOK, 0);
      },
      30);
  ASSERT_EQ(first.DoModal(IDD_METHOD_ARG, parent, false), IDOK);
  EXPECT_EQ(shown, L"7");
  EXPECT_EQ(first.items, (std::vector<std::wstring>{L"16", L"7"}));

  CMethArgDialog again(0, 3, first.items, 3, L"10");
  RunLater(
      [&] {
        shown = ItemText(again.hwnd, IDC_ARG_NUMBER_COMBO);
        SetDlgItemTextW(again.hwnd, IDC_ARG_NUMBER_COMBO, L"twelve");
        SendMessageW(again.hwnd, WM_COMMAND, IDOK, 0);
        SendMessageW(again.hwnd, WM_COMMAND, IDCANCEL, 0);
      },
      30);
  EXPECT_EQ(again.DoModal(IDD_METHOD_ARG, parent, false), IDCANCEL);
  EXPECT_EQ(shown, L"16");  // decimal again
  EXPECT_FALSE(again.hexMode);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0], L"Enter a number.");
}

TEST_F(MethodsTest, DefaultSelectsItsTypeAndEditors) {
  CMethArgDialog dialog(1, 2, {}, 4, L"abc");
  bool textEditor = false, defaultEnabled = false;
  std::wstring defaultShown;
  RunLater(
      [&] {
        defaultEnabled = IsWindowEnabled(GetDlgItem(dialog.hwnd, IDC_ARGDLG_DEFAULT)) != FALSE;
        defaultShown = ItemText(dialog.hwnd, IDC_ARGDLG_DEFAULT_TEXT);
        Click(dialog.hwnd, IDC_ARGDLG_DEFAULT);
        textEditor = GetDlgItem(dialog.hwnd, IDC_ARG_TEXT_COMBO) != nullptr;
        SendMessageW(dialog.hwnd, WM_COMMAND, IDOK, 0);
      },
      30);
  ASSERT_EQ(dialog.DoModal(IDD_METHOD_ARG, parent, false), IDOK);
  EXPECT_TRUE(defaultEnabled);
  EXPECT_EQ(defaultShown, L"\"abc\"");
  EXPECT_TRUE(textEditor);
  EXPECT_EQ(dialog.typeIndex, 4);
  EXPECT_EQ(dialog.items, (std::vector<std::wstring>{L"abc"}));
}

TEST_F(MethodsTest, ApplyingADefaultAsksUnderTheConfirmation) {
  theApp.settings.methodArgs[L"Sum"] = {Arg(VTYPE_I4, {L"5"}), Arg(VTYPE_PWSTR, {L"xy"}), Arg(VTYPE_BOOL, {L"1"})};
  struct Case {
    UINT Flags;
    int Answer;
    size_t Boxes;
    std::vector<std::wstring> Items;
  };
  const Case cases[] = {
      {CONFIRM_RESET_TO_DEFAULT, IDCANCEL, 1, {L"5"}},
      {CONFIRM_RESET_TO_DEFAULT, IDOK, 1, {L"10", L"5"}},
      {0, IDCANCEL, 0, {L"10", L"5"}},
  };
  for (const Case& c : cases) {
    theApp.settings.ConfirmFlags = c.Flags;
    g_boxAnswer = c.Answer;
    g_boxes.clear();
    std::vector<std::wstring> items;
    std::wstring cell;
    RunMethodDialog(FAKE_METH_SUM, [&](CMethodDialog& d) {
      d.ApplyDefault(0);
      items = d.args[0].Items;
      cell = ListCell(d.list, 0, 1);
    });
    EXPECT_EQ(g_boxes.size(), c.Boxes);
    EXPECT_EQ(items, c.Items);
    EXPECT_EQ(cell, c.Items[0]);
  }
  // An applied default is the user's change: it reaches the document when the dialog closes.
  EXPECT_EQ(theApp.settings.methodArgs[L"Sum"][0].Items, (std::vector<std::wstring>{L"10", L"5"}));
}

TEST_F(MethodsTest, ProtocolOfEachKindOfCall) {
  theApp.settings.methodArgs[L"Sum"] = {Arg(VTYPE_I4, {L"5"}), Arg(VTYPE_PWSTR, {L"xy"}), Arg(VTYPE_BOOL, {L"1"})};
  ScriptedClock clock({0xFFFFFFF0u, 0x10u});  // across the wrap: 32 ms
  ScopedClock installed(&clock);
  struct Case {
    long Method;
    bool ProcAnswer;
    const wchar_t* Refusal;
    std::vector<std::wstring> Lines;
  };
  const std::wstring hyphens = L"----------";
  const Case cases[] = {
      {FAKE_METH_NO_PARAMS, false, L"", {L"Call...", L"Successfully. (0.032 sec)", L"Result: True", hyphens}},
      {FAKE_METH_SUM, false, L"",
       {L"Call...", L"Successfully. (0.032 sec)", L"Result: \"5|xy|1\"", L"Argument Output values:", L"  0: 99",
        L"  1: \"xy\"", L"  2: True", hyphens}},
      {FAKE_METH_PROC, true, L"",
       {L"Call...", L"Successfully. (0.032 sec)", L"Argument Output values:", L"  0: Undefined", hyphens}},
      {FAKE_METH_PROC, false, L"", {L"Call...", L"Failed to execute method \"Proc\".", hyphens}},
      {FAKE_METH_PROC, false, L"Port is busy.", {L"Call...", L"Failed to execute method \"Proc\". Port is busy.", hyphens}},
      {FAKE_METH_GHOST, false, L"", {L"Call...", L"\"Ghost\" method not found.", hyphens}},
      {FAKE_METH_THROW, false, L"", {L"Call...", L"method broke", hyphens}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.Method);
    state->ProcAnswer = c.ProcAnswer;
    wcscpy(state->RefuseText, c.Refusal);
    clock = ScriptedClock({0xFFFFFFF0u, 0x10u});
    EXPECT_EQ(Call(c.Method), c.Lines);
  }
  // The arguments went as typed.
  state->Calls = 0;
  Call(FAKE_METH_SUM);
  ASSERT_EQ(state->Calls, 1);
  EXPECT_EQ(state->CallTypes[0], VTYPE_I4);
  EXPECT_EQ(state->CallNumbers[0], 5);
  EXPECT_STREQ(state->CallTexts[1], L"xy");
  EXPECT_EQ(state->CallTypes[2], VTYPE_BOOL);
  EXPECT_EQ(state->CallNumbers[2], 1);
}

TEST_F(MethodsTest, ArgumentsSurviveSaveAndRestart) {
  theApp.settings.SetConfigPath((folder / L"ConfigVombra.xml").c_str());
  theApp.settings.methodArgs[L"Sum"] = {Arg(VTYPE_I4, {L"5", L"4"}), Arg(VTYPE_PWSTR, {L"xy"}), Arg(VTYPE_BOOL, {L"1"})};
  theApp.settings.ConfirmFlags = 0;
  RunMethodDialog(FAKE_METH_SUM, [&](CMethodDialog& d) {
    d.ApplyDefault(0);
    SendMessageW(d.list, LVM_SETCOLUMNWIDTH, 2, 120);
  });
  theApp.settings.SaveConfig(false);
  // A restart: a document of its own reads the file.
  CAppSettings restarted;
  restarted.SetConfigPath((folder / L"ConfigVombra.xml").c_str());
  restarted.LoadConfig(true);
  const METHOD_ARGS& args = restarted.methodArgs[L"Sum"];
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[0].Vt, VTYPE_I4);
  EXPECT_EQ(args[0].Items, (std::vector<std::wstring>{L"10", L"5", L"4"}));
  EXPECT_EQ(args[1].Vt, VTYPE_PWSTR);
  EXPECT_EQ(args[1].Items, (std::vector<std::wstring>{L"xy"}));
  EXPECT_EQ(args[1].Width, 120);
  EXPECT_EQ(args[2].Vt, VTYPE_BOOL);
}

}  // namespace
