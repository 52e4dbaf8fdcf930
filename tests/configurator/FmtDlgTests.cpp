// The format dialog over a settings document of its own: what OK writes in new and edit modes (presets
// copied, names clashing, the replace questions), the "*" of fields the edited formats disagree on, the
// key-filter list's toggles, the report of a template the add-in refuses, and Check. The program's
// name is no longer than ConfigVombra.exe, so the host loads the real Vombra.dll; the cases that load it
// hold the settings key with SettingFlags 0, so the add-in neither reads nor writes stored settings.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Core.h"
#include "FormatDialog.h"
#include "FormatsPage.h"
#include "KeyDialog.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "RegistryStore.h"
#include "SettingsKey.h"
#include "SettingsTestSupport.h"
#include "Strings.h"
#include "TestVombra.h"
#include "../classlib/ModalStep.h"
#include "VariantArray.h"
#include "sim/TextReaderSim.h"

namespace {

CConfigVombraApp theApp;

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

// The message boxes, answered by script.
struct ShownBox {
  std::wstring Text;
  PCWSTR Icon;
};
std::vector<ShownBox> g_shown;
int g_answer = IDOK;
bool g_tickDoNotAsk = false;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_shown.push_back({config->pszContent ? config->pszContent : L"", config->pszMainIcon});
  if (button) *button = g_answer;
  if (radio) *radio = 0;
  if (verified) *verified = g_tickDoNotAsk;
  return S_OK;
}

const std::wstring kPresetDecimal = L"\n[P] Decimal";
const std::wstring kPresetHex = L"\n[P] Hex";

_FORMAT_INFO_EX MakeFormat(UINT id, const std::wstring& name, const wchar_t* formatTemplate,
                           const wchar_t* params, const wchar_t* comment, UINT keyFilters, UINT flags) {
  _FORMAT_INFO_EX format;
  format.Id = id;
  format.Name = name;
  format.Template = formatTemplate;
  format.Params = params;
  format.Comment = comment;
  format.KeyFilters = keyFilters;
  format.Flags = flags;
  return format;
}

// What a test compares of a format: the texts, the key filters and the flags the dialog writes.
struct Shown {
  std::wstring Name;
  std::wstring Template;
  std::wstring Params;
  std::wstring Comment;
  UINT KeyFilters;
  UINT Flags;
  bool operator==(const Shown& o) const {
    return Name == o.Name && Template == o.Template && Params == o.Params && Comment == o.Comment &&
           KeyFilters == o.KeyFilters && Flags == o.Flags;
  }
};
constexpr UINT kShownFlags = FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA | FORMAT_SELECTED;

std::ostream& operator<<(std::ostream& out, const Shown& s) {
  std::string text;
  WideToMultiByte((s.Name + L" | " + s.Template + L" | " + s.Params + L" | " + s.Comment).c_str(), size_t(-1),
                  text, CP_UTF8);
  return out << "{" << text << " | " << s.KeyFilters << " | 0x" << std::hex << s.Flags << std::dec << "}";
}

std::vector<Shown> ShownList(const std::vector<_FORMAT_INFO_EX>& formats) {
  std::vector<Shown> out;
  for (const _FORMAT_INFO_EX& f : formats)
    out.push_back({f.Name, f.Template, f.Params, f.Comment, f.KeyFilters, f.Flags & kShownFlags});
  return out;
}

class FormatDialogTest : public ConfiguratorTest {
 protected:
  void SetUp() override {
    ConfiguratorTest::SetUp();
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    theApp.dataFolder = m_folder.Path();
    CAppSettings& settings = theApp.settings;
    settings.formats = {
        MakeFormat(1, kPresetDecimal, L"%u", L"l012", L"preset comment", 0x1, FORMAT_PRESET),
        MakeFormat(2, kPresetHex, L"%.6X", L"l012", L"hex comment", 0x3,
                   FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA),
        MakeFormat(3, L"Mine", L"%.3u,%.5u", L"b2 w01", L"mine", 0x3, FORMAT_SAVE_IN_VOMBRA),
        MakeFormat(4, L"Other", L"%.8u", L"l012", L"other", 0x5, 0),
    };
    settings.formatsNewId = 10;
    settings.ClearFormatIndex();
    settings.keyFilters.clear();
    for (UINT id : {1u, 2u}) {
      _KEYFILTER_INFO filter;
      filter.Id = id;
      filter.Name = L"Filter " + std::to_wstring(id);
      settings.keyFilters.push_back(filter);
    }
    settings.ConfirmFlags = CONFIRM_DEFAULT;
    settings.settingsModified = false;
    MessageBoxSeam = CMessageBoxSeam();
    MessageBoxSeam.TaskDialogIndirect = &ScriptedTaskDialog;
    g_shown.clear();
    g_answer = IDOK;
    g_tickDoNotAsk = false;
  }
  void TearDown() override {
    m_dialog.reset();
    if (theApp.testHost) {
      EXPECT_FALSE(theApp.testHost->IsLoaded()) << "the add-in stayed loaded";
    }
    delete theApp.testHost;
    theApp.testHost = nullptr;
    m_keys.reset();
    MessageBoxSeam = CMessageBoxSeam();
    SampleRendererSeam = m_samples;
    ConfiguratorTest::TearDown();
  }

  // Cases that load the add-in hold the settings key (it reads SettingFlags at its start, and other test
  // programs write the same key): SettingFlags 0, so it neither reads nor writes stored settings.
  void HoldSettingsKey() {
    m_keys.reset(new CleanSettingsKeys);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    const DWORD settingFlags = 0;
    RegSetValueExW(key, L"SettingFlags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&settingFlags),
                   sizeof settingFlags);
    RegCloseKey(key);
  }

  void Select(std::initializer_list<UINT> ids) {
    for (_FORMAT_INFO_EX& f : theApp.settings.formats) {
      f.Flags &= ~UINT(FORMAT_SELECTED);
      for (UINT id : ids) {
        if (f.Id == id) f.Flags |= FORMAT_SELECTED;
      }
    }
  }

  // The dialog made modeless, so a test drives it step by step.
  CFormatDialog& Open(bool newFormat, std::function<void(CFormatDialog&)> preset = nullptr) {
    m_dialog.reset(new CFormatDialog);
    m_dialog->NewFormat = newFormat;
    if (preset) preset(*m_dialog);
    EXPECT_TRUE(CDialog::CreateFromTemplate(m_dialog.get(), IDD_FORMAT, nullptr));
    ShowWindow(m_dialog->hwnd, SW_SHOW);
    SetForegroundWindow(m_dialog->hwnd);
    return *m_dialog;
  }

  HWND Item(UINT id) { return GetDlgItem(m_dialog->hwnd, int(id)); }
  std::wstring Text(UINT id) {
    std::wstring text;
    GetWindowTextString(Item(id), text);
    return text;
  }
  void Type(UINT id, const wchar_t* text) { SetWindowTextW(Item(id), text); }
  // As the keyboard does it: a multi-line edit tells no change for a text set whole.
  void TypeOver(UINT id, const wchar_t* text) {
    SendMessageW(Item(id), EM_SETSEL, 0, -1);
    SendMessageW(Item(id), EM_REPLACESEL, TRUE, LPARAM(text));
  }

  ScratchFolder m_folder;
  std::unique_ptr<CleanSettingsKeys> m_keys;
  std::unique_ptr<CFormatDialog> m_dialog;
  const CSampleRendererSeam m_samples = SampleRendererSeam;
};

// --- OK

struct ApplyCase {
  const char* Label;
  bool NewFormat;
  std::vector<UINT> Selected;
  // Texts typed into name, template, parameters, comment; null leaves the edit as it opened.
  const wchar_t* Typed[4];
  int SaveBox;  // -1 leaves it
  UINT ConfirmFlags;
  int Answer;
  bool TickDoNotAsk;
  // Expected.
  bool Result;
  std::vector<std::wstring> Questions;
  std::vector<Shown> After;  // empty: the list as it was
  bool SettingsModified;
  UINT ConfirmFlagsAfter;
};

// The fixture's list as Shown rows, with the selection of `selected` applied.
std::vector<Shown> Initial(const std::vector<UINT>& selected) {
  std::vector<Shown> rows = {
      {kPresetDecimal, L"%u", L"l012", L"preset comment", 0x1, FORMAT_PRESET},
      {kPresetHex, L"%.6X", L"l012", L"hex comment", 0x3, FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA},
      {L"Mine", L"%.3u,%.5u", L"b2 w01", L"mine", 0x3, FORMAT_SAVE_IN_VOMBRA},
      {L"Other", L"%.8u", L"l012", L"other", 0x5, 0},
  };
  for (UINT id : selected) rows[id - 1].Flags |= FORMAT_SELECTED;
  return rows;
}

std::wstring Replace1(const wchar_t* name) {
  std::wstring text;
  LoadStrAppendFormat(text, IDS_REPLACE_ITEM, name);
  return text;
}

TEST_F(FormatDialogTest, ApplyWritesTheDocumentAsModeSelectionAndAnswersSay) {
  const UINT ask = CONFIRM_DEFAULT;
  const UINT quiet = CONFIRM_DEFAULT & ~UINT(CONFIRM_REPLACE_ITEM);
  const UINT all = 0xFFFFFFFFu;
  const UINT sel = FORMAT_SELECTED;
  const UINT save = FORMAT_SAVE_IN_VOMBRA;
  const ApplyCase cases[] = {
      {"new format appended, the others unselected",
       true,
       {3},
       {L"Fresh", L"%u", L"l012", L"c"},
       -1,
       ask,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0],
        Initial({})[1],
        Initial({})[2],
        Initial({})[3],
        {L"Fresh", L"%u", L"l012", L"c", all, sel | save}},
       true,
       ask},
      {"new format unsaved: the registry does not need it",
       true,
       {},
       {L"Fresh", L"%u", L"l012", nullptr},
       0,
       ask,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0],
        Initial({})[1],
        Initial({})[2],
        Initial({})[3],
        {L"Fresh", L"%u", L"l012", L"", all, sel}},
       false,
       ask},
      {"new format on a user name replaces it after the question",
       true,
       {},
       {L"Other", L"%u", L"b0", L"n"},
       -1,
       ask,
       IDOK,
       false,
       true,
       {Replace1(L"Other")},
       {Initial({})[0], Initial({})[1], Initial({})[2], {L"Other", L"%u", L"b0", L"n", all, sel | save}},
       true,
       ask},
      {"new format on a saved name, unsaved now: the registry still needs the change",
       true,
       {},
       {L"Mine", L"%u", L"b0", L""},
       0,
       quiet,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0], Initial({})[1], {L"Mine", L"%u", L"b0", L"", all, sel}, Initial({})[3]},
       true,
       quiet},
      {"new format refused replace: nothing changes",
       true,
       {4},
       {L"Mine", L"%u", L"b0", L""},
       -1,
       ask,
       IDCANCEL,
       false,
       false,
       {Replace1(L"Mine")},
       {},
       false,
       ask},
      {"Do not ask ticked clears flag 2",
       true,
       {},
       {L"Mine", L"%u", L"b0", L""},
       -1,
       ask,
       IDOK,
       true,
       true,
       {Replace1(L"Mine")},
       {Initial({})[0], Initial({})[1], {L"Mine", L"%u", L"b0", L"", all, sel | save}, Initial({})[3]},
       true,
       quiet},
      {"renaming one user format onto another removes that one",
       false,
       {3},
       {L"Other", nullptr, nullptr, nullptr},
       -1,
       ask,
       IDOK,
       false,
       true,
       {Replace1(L"Other")},
       {Initial({})[0], Initial({})[1], {L"Other", L"%.3u,%.5u", L"b2 w01", L"mine", 0x3, sel | save}},
       true,
       ask},
      {"renaming refused keeps both",
       false,
       {3},
       {L"Other", nullptr, nullptr, nullptr},
       -1,
       ask,
       IDCANCEL,
       false,
       false,
       {Replace1(L"Other")},
       {},
       false,
       ask},
      {"two formats: untouched \"*\" template stays, typed comment goes to both",
       false,
       {3, 4},
       {nullptr, nullptr, nullptr, L"both"},
       -1,
       ask,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0],
        Initial({})[1],
        {L"Mine", L"%.3u,%.5u", L"b2 w01", L"both", 0x3, sel | save},
        {L"Other", L"%.8u", L"l012", L"both", 0x5, sel}},
       true,
       ask},
      {"two formats: a typed template goes to both",
       false,
       {3, 4},
       {nullptr, L"%u", nullptr, nullptr},
       -1,
       ask,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0],
        Initial({})[1],
        {L"Mine", L"%u", L"b2 w01", L"mine", 0x3, sel | save},
        {L"Other", L"%u", L"l012", L"other", 0x5, sel}},
       true,
       ask},
      {"a preset's comment is edited in place",
       false,
       {1},
       {nullptr, nullptr, nullptr, L"new note"},
       -1,
       ask,
       IDOK,
       false,
       true,
       {},
       {{kPresetDecimal, L"%u", L"l012", L"new note", 0x1, FORMAT_PRESET | sel},
        Initial({})[1],
        Initial({})[2],
        Initial({})[3]},
       true,
       ask},
      {"a preset's template makes a user copy right after it",
       false,
       {2},
       {nullptr, L"%.8X", nullptr, nullptr},
       -1,
       ask,
       IDOK,
       false,
       true,
       {},
       {Initial({})[0],
        Initial({})[1],
        {L"Hex", L"%.8X", L"l012", L"hex comment", 0x3, sel | save},
        Initial({})[2],
        Initial({})[3]},
       true,
       ask},
      {"a preset's copy named like a user format replaces it wholly",
       false,
       {1},
       {L"Other", L"%.9u", nullptr, nullptr},
       -1,
       ask,
       IDOK,
       false,
       true,
       {Replace1(L"Other")},
       {Initial({})[0],
        Initial({})[1],
        Initial({})[2],
        {L"Other", L"%.9u", L"l012", L"preset comment", 0x1, sel}},
       true,
       ask},
  };
  RegistryTestLock table;  // the whole table at once: waiting for the key between its cases costs more
  for (const ApplyCase& c : cases) {
    SCOPED_TRACE(c.Label);
    SetUp();
    HoldSettingsKey();
    theApp.settings.ConfirmFlags = c.ConfirmFlags;
    g_answer = c.Answer;
    g_tickDoNotAsk = c.TickDoNotAsk;
    Select(std::initializer_list<UINT>{});
    for (UINT id : c.Selected) theApp.settings.formats[id - 1].Flags |= FORMAT_SELECTED;
    const std::vector<Shown> before = ShownList(theApp.settings.formats);
    CFormatDialog& dialog = Open(c.NewFormat);
    const UINT edits[] = {IDC_FORMAT_NAME, IDC_FORMAT_TEMPLATE, IDC_FORMAT_PARAMS, IDC_FORMAT_COMMENT};
    for (int i = 0; i < 4; ++i) {
      if (c.Typed[i]) Type(edits[i], c.Typed[i]);
    }
    if (c.SaveBox >= 0) SendMessageW(Item(IDC_FORMAT_SAVE), BM_SETCHECK, WPARAM(c.SaveBox), 0);
    EXPECT_EQ(dialog.Apply(), c.Result);
    std::vector<std::wstring> questions;
    for (const ShownBox& box : g_shown) questions.push_back(box.Text);
    EXPECT_EQ(questions, c.Questions);
    EXPECT_EQ(ShownList(theApp.settings.formats), c.After.empty() ? before : c.After);
    EXPECT_EQ(theApp.settings.settingsModified, c.SettingsModified);
    EXPECT_EQ(theApp.settings.ConfirmFlags, c.ConfirmFlagsAfter);
    if (!c.Result) {
      EXPECT_EQ(GetFocus(), Item(IDC_FORMAT_NAME)) << "a refused replace focuses the name";
    }
    TearDown();
  }
}

TEST_F(FormatDialogTest, NewFormatsGetFreshIdsAndPresetCopiesLandAfterTheirPreset) {
  HoldSettingsKey();
  Select({1, 2});
  CFormatDialog& dialog = Open(false);
  Type(IDC_FORMAT_PARAMS, L"b0");
  ASSERT_TRUE(dialog.Apply());
  const auto& formats = theApp.settings.formats;
  ASSERT_EQ(formats.size(), 6u);
  EXPECT_EQ(formats[1].Name, L"Decimal");
  EXPECT_EQ(formats[3].Name, L"Hex");
  EXPECT_EQ(formats[1].Params, L"b0");
  EXPECT_EQ(formats[3].Template, L"%.6X");
  EXPECT_NE(formats[1].Id, formats[3].Id);
  for (size_t i : {size_t(1), size_t(3)}) {
    EXPECT_GE(formats[i].Id, 10u);
    EXPECT_EQ(theApp.settings.FindFormatIndex(formats[i].Id), int(i));
    EXPECT_EQ(formats[i].Flags & 0xFFF00000u, 0u) << "a working mark outlived Apply";
  }
  EXPECT_EQ(formats[0].Params, L"l012");
  EXPECT_EQ(formats[0].Flags & FORMAT_SELECTED, 0u);
}

TEST_F(FormatDialogTest, TwoPresetCopiesOnTakenNamesAskOnceWithTheCount) {
  HoldSettingsKey();
  theApp.settings.formats.push_back(MakeFormat(5, L"Decimal", L"%u", L"b0", L"", 0, 0));
  theApp.settings.formats.push_back(MakeFormat(6, L"Hex", L"%X", L"b0", L"", 0, 0));
  Select({1, 2});
  CFormatDialog& dialog = Open(false);
  Type(IDC_FORMAT_TEMPLATE, L"%.7u");
  g_answer = IDCANCEL;
  EXPECT_FALSE(dialog.Apply());
  std::wstring question;
  LoadStrAppendFormat(question, IDS_REPLACE_ITEMS, 2);
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].Text, question);
  EXPECT_EQ(theApp.settings.formats[4].Template, L"%u");

  g_shown.clear();
  g_answer = IDOK;
  ASSERT_TRUE(dialog.Apply());
  const auto& formats = theApp.settings.formats;
  ASSERT_EQ(formats.size(), 6u) << "the copies replaced, nothing added";
  EXPECT_EQ(formats[4].Template, L"%.7u");
  EXPECT_EQ(formats[4].Params, L"l012") << "the whole copy: the preset's parameters with the new template";
  EXPECT_EQ(formats[5].Params, L"l012");
  EXPECT_EQ(formats[5].Flags & (FORMAT_SAVE_IN_VOMBRA | FORMAT_SELECTED),
            UINT(FORMAT_SAVE_IN_VOMBRA | FORMAT_SELECTED));
  EXPECT_EQ(formats[0].Template, L"%u");
  EXPECT_EQ(formats[1].Template, L"%.6X");
}

TEST_F(FormatDialogTest, EmptyRequiredFieldsAreRefusedWithTheFocusOnThem) {
  const struct { UINT Id; } rows[] = {{IDC_FORMAT_NAME}, {IDC_FORMAT_TEMPLATE}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Id);
    g_shown.clear();
    CFormatDialog& dialog = Open(true);
    Type(IDC_FORMAT_TEMPLATE, L"%u");
    Type(row.Id, L"");
    EXPECT_FALSE(dialog.Apply());
    ASSERT_EQ(g_shown.size(), 1u);
    EXPECT_EQ(g_shown[0].Text, Str(IDS_FIELD_REQUIRED));
    EXPECT_EQ(g_shown[0].Icon, TD_ERROR_ICON);
    EXPECT_EQ(GetFocus(), Item(row.Id));
    EXPECT_EQ(theApp.settings.formats.size(), 4u);
    EXPECT_EQ(theApp.testHost, nullptr) << "an empty field calls nothing";
  }
}

TEST_F(FormatDialogTest, RunModallyOkAddsTheFormatAndEndsWithIdok) {
  HoldSettingsKey();
  CFormatDialog dialog;
  HWND seen = nullptr;
  RunLater(
      [&] {
        seen = dialog.hwnd;
        SetDlgItemTextW(dialog.hwnd, IDC_FORMAT_NAME, L"Modal");
        SetDlgItemTextW(dialog.hwnd, IDC_FORMAT_TEMPLATE, L"%u");
        SetDlgItemTextW(dialog.hwnd, IDC_FORMAT_PARAMS, L"w01");
        MINMAXINFO info = {};
        SendMessageW(dialog.hwnd, WM_GETMINMAXINFO, 0, LPARAM(&info));
        EXPECT_EQ(info.ptMinTrackSize.x, 490);
        EXPECT_EQ(info.ptMinTrackSize.y, 515);
        SendMessageW(dialog.hwnd, WM_COMMAND, IDOK, 0);
        if (dialog.result == -1) dialog.EndDialog(IDABORT);  // OK refused: end the loop anyway
      },
      50);
  EXPECT_EQ(dialog.DoModal(IDD_FORMAT, nullptr), IDOK);
  EXPECT_NE(seen, nullptr);
  ASSERT_EQ(theApp.settings.formats.size(), 5u);
  EXPECT_EQ(theApp.settings.formats[4].Name, L"Modal");
  EXPECT_EQ(theApp.settings.formats[4].Params, L"w01");
  EXPECT_TRUE(g_shown.empty());
}

TEST_F(FormatDialogTest, CancelLeavesTheDocumentAsItWas) {
  Select({3});
  CFormatDialog dialog;
  dialog.NewFormat = false;
  RunLater(
      [&] {
        SetDlgItemTextW(dialog.hwnd, IDC_FORMAT_COMMENT, L"typed");
        SendMessageW(dialog.hwnd, WM_COMMAND, IDCANCEL, 0);
      },
      50);
  EXPECT_EQ(dialog.DoModal(IDD_FORMAT, nullptr), IDCANCEL);
  EXPECT_EQ(ShownList(theApp.settings.formats), Initial({3}));
}

TEST_F(FormatDialogTest, TextsExistInBothLanguages) {
  const UINT ids[] = {IDS_DEFAULT_KEY_FILTER, IDS_FIELD_REQUIRED, IDS_REPLACE_ITEM, IDS_REPLACE_ITEMS,
                      IDS_ERROR_POSITION,     IDS_FORMAT_CORRECT, IDS_WAITING_KEY,  IDS_NO_CONNECTION};
  std::vector<std::wstring> english;
  for (UINT id : ids) english.push_back(Str(id));
  SetUILanguage(kRussianUi);
  for (size_t i = 0; i < english.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    const std::wstring russian = Str(ids[i]);
    EXPECT_FALSE(english[i].empty());
    EXPECT_FALSE(russian.empty());
    EXPECT_NE(russian, english[i]);
  }
  EXPECT_EQ(Str(IDS_NO_CONNECTION), L"Нет подключения.");
  CFormatDialog& dialog = Open(true);
  std::wstring caption;
  GetWindowTextString(dialog.hwnd, caption);
  EXPECT_EQ(caption, L"Параметры формата");
  SetUILanguage(kEnglishUi);
  EXPECT_EQ(Str(IDS_WAITING_KEY), L"Waiting key.");
}

TEST_F(FormatDialogTest, TheLastEventShowsItsDataInRedOnlyForADriverError) {
  CFormatDialog& dialog = Open(true);
  CTestVombra* host = theApp.GetTestHost();
  auto colour = [&] {
    HDC dc = GetDC(Item(IDC_FORMAT_SAMPLE));
    SendMessageW(dialog.hwnd, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(Item(IDC_FORMAT_SAMPLE)));
    const COLORREF text = GetTextColor(dc);
    ReleaseDC(Item(IDC_FORMAT_SAMPLE), dc);
    return text;
  };
  const struct {
    const wchar_t* Data;
    bool IsError;
    uint64_t Hints;
    const wchar_t* Shown;
    int State;
    COLORREF Colour;
  } rows[] = {
      {L"Reader error 5", true, HOST_HINT_LAST_EVENT, L"Reader error 5", SAMPLE_ERROR, RGB(255, 0, 0)},
      {L"00012345", false, HOST_HINT_LAST_EVENT | HOST_HINT_EVENTS, L"00012345", SAMPLE_WAITING,
       RGB(8, 0, 0)},
      {L"ignored", true, HOST_HINT_EVENTS, L"00012345", SAMPLE_WAITING, RGB(8, 0, 0)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Data);
    host->LastData = row.Data;
    host->LastIsError = row.IsError;
    CFormatDialog::OnHostChanged(&dialog, host, &row.Hints);
    EXPECT_EQ(Text(IDC_FORMAT_SAMPLE), row.Shown);
    EXPECT_EQ(dialog.SampleState, row.State);
    EXPECT_EQ(colour(), row.Colour);
  }
}

// --- Opening

TEST_F(FormatDialogTest, FieldsTheFormatsDisagreeOnShowAStar) {
  Select({3, 4});
  CFormatDialog& dialog = Open(false);
  EXPECT_EQ(dialog.EditCount, 2);
  EXPECT_EQ(Text(IDC_FORMAT_NAME), L"*");
  EXPECT_FALSE(IsWindowEnabled(Item(IDC_FORMAT_NAME)));
  EXPECT_EQ(Text(IDC_FORMAT_TEMPLATE), L"*");
  EXPECT_EQ(Text(IDC_FORMAT_PARAMS), L"*");
  EXPECT_EQ(Text(IDC_FORMAT_COMMENT), L"*");
  EXPECT_EQ(SendMessageW(Item(IDC_FORMAT_SAVE), BM_GETCHECK, 0, 0), BST_INDETERMINATE);
  EXPECT_EQ(GetWindowLongW(Item(IDC_FORMAT_SAVE), GWL_STYLE) & BS_TYPEMASK, BS_AUTO3STATE);

  // Two presets that agree on everything but the name, the comment and one key filter bit.
  Select({1, 2});
  theApp.settings.formats[1].Template = L"%u";
  theApp.settings.formats[1].Flags &= ~UINT(FORMAT_SAVE_IN_VOMBRA);
  CFormatDialog& presets = Open(false);
  EXPECT_EQ(presets.PresetCount, 2);
  EXPECT_EQ(Text(IDC_FORMAT_TEMPLATE), L"%u");
  EXPECT_EQ(Text(IDC_FORMAT_PARAMS), L"l012");
  EXPECT_EQ(Text(IDC_FORMAT_COMMENT), L"*");
  EXPECT_EQ(SendMessageW(Item(IDC_FORMAT_SAVE), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(GetWindowLongW(Item(IDC_FORMAT_SAVE), GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
  EXPECT_EQ(presets.UniformKeyFilterBits, ~0x2u);

  // One preset: its name without the marker, editable.
  Select({2});
  Open(false);
  EXPECT_EQ(Text(IDC_FORMAT_NAME), L"Hex");
  EXPECT_TRUE(IsWindowEnabled(Item(IDC_FORMAT_NAME)));
}

TEST_F(FormatDialogTest, NewFormatStartsFromAUniqueNameAndTheCallersFields) {
  theApp.settings.formats.push_back(MakeFormat(7, Str(IDS_FORMAT_NAME), L"%u", L"b0", L"", 0, 0));
  CFormatDialog& dialog = Open(true, [](CFormatDialog& d) {
    d.UniformFields = FORMAT_FIELD_KEYFILTERS | FORMAT_FIELD_SAVE;
    d.KeyFilterBits = 1u << 2;
    d.KeyFilterKnown = 0xFFFFFFFFu;
    d.SaveInVombra = false;
  });
  EXPECT_EQ(Text(IDC_FORMAT_NAME), Str(IDS_FORMAT_NAME) + L" (2)");
  EXPECT_EQ(Text(IDC_FORMAT_TEMPLATE), L"");
  EXPECT_EQ(dialog.KeyFilterBits, 1u << 2);
  EXPECT_EQ(SendMessageW(Item(IDC_FORMAT_SAVE), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_EQ(dialog.keyFilterRows.StateImage(2), 2);
  EXPECT_EQ(dialog.keyFilterRows.StateImage(0), 1);
  EXPECT_EQ(dialog.HostState, 0);
}

// --- Key filters

TEST(KeyFilterToggle, UniformBitsFlipMixedOnesCycleThroughThree) {
  struct Step {
    UINT Bits;
    UINT Known;
  };
  // Bit 3: not uniform, starting mixed.
  UINT bits = 0;
  UINT known = ~(1u << 3);
  const Step cycle[] = {{0, 0xFFFFFFFFu}, {1u << 3, 0xFFFFFFFFu}, {1u << 3, ~(1u << 3)}, {0, 0xFFFFFFFFu}};
  for (const Step& expected : cycle) {
    ToggleKeyFilterBit(3, ~(1u << 3), bits, known);
    EXPECT_EQ(bits & (1u << 3), expected.Bits);
    EXPECT_EQ(known, expected.Known);
  }
  // Bit 0: uniform, flips only.
  bits = 1;
  known = 0xFFFFFFFFu;
  ToggleKeyFilterBit(0, 0xFFFFFFFFu, bits, known);
  EXPECT_EQ(bits, 0u);
  ToggleKeyFilterBit(0, 0xFFFFFFFFu, bits, known);
  EXPECT_EQ(bits, 1u);
  EXPECT_EQ(known, 0xFFFFFFFFu);
  // Ids beyond 31 do nothing.
  ToggleKeyFilterBit(32, 0, bits, known);
  EXPECT_EQ(bits, 1u);
}

TEST_F(FormatDialogTest, KeyFilterRowsShowTheirStateAndSelectedRowsToggle) {
  Select({3, 4});  // KeyFilters 0x3 and 0x5: bit 0 agreed set, bits 1 and 2 mixed
  CFormatDialog& dialog = Open(false);
  ASSERT_NE(dialog.list.hwnd, nullptr);
  EXPECT_EQ(SendMessageW(dialog.list.hwnd, LVM_GETITEMCOUNT, 0, 0), 3);
  // The rows' texts and state images as the list asks for them.
  const struct {
    int Row;
    std::wstring Text;
    UINT Image;
  } shown[] = {{0, Str(IDS_DEFAULT_KEY_FILTER), 2}, {1, L"Filter 1", 3}, {2, L"Filter 2", 3}};
  for (const auto& row : shown) {
    wchar_t text[64] = L"";
    NMLVDISPINFOW info = {};
    info.item.iItem = row.Row;
    info.item.mask = LVIF_TEXT | LVIF_STATE;
    info.item.pszText = text;
    info.item.cchTextMax = 64;
    dialog.keyFilterRows.GetDispInfo(&info);
    EXPECT_EQ(std::wstring(text), row.Text);
    EXPECT_EQ(info.item.state & LVIS_STATEIMAGEMASK, INDEXTOSTATEIMAGEMASK(row.Image));
  }
  auto rowImage = [&](int row) {
    return dialog.keyFilterRows.StateImage(UINT(dialog.keyFilterRows.RowId(row)));
  };
  EXPECT_EQ(rowImage(0), 2);
  EXPECT_EQ(rowImage(1), 3);
  EXPECT_EQ(rowImage(2), 3);

  // Rows 0 and 2 selected: row 0 flips, row 2 leaves mixed.
  LVITEMW select = {};
  select.stateMask = LVIS_SELECTED;
  select.state = LVIS_SELECTED;
  SendMessageW(dialog.list.hwnd, LVM_SETITEMSTATE, 0, LPARAM(&select));
  SendMessageW(dialog.list.hwnd, LVM_SETITEMSTATE, 2, LPARAM(&select));
  const int expected[][3] = {{1, 3, 1}, {2, 3, 2}, {1, 3, 3}, {2, 3, 1}};
  for (const auto& row : expected) {
    dialog.ToggleSelectedKeyFilters();
    EXPECT_EQ(rowImage(0), row[0]);
    EXPECT_EQ(rowImage(1), row[1]);
    EXPECT_EQ(rowImage(2), row[2]);
  }
  SendMessageW(dialog.hwnd, WM_COMMAND, ID_FORMAT_CHECK_ALL, 0);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(rowImage(r), 2);

  // OK writes the definite bits and keeps a mixed one as each format had it.
  SendMessageW(dialog.hwnd, WM_COMMAND, ID_FORMAT_UNCHECK_ALL, 0);
  dialog.ToggleSelectedKeyFilters();  // rows 0, 2: unchecked -> checked (2 is no longer mixed: definite)
  ASSERT_TRUE(dialog.Apply());
  EXPECT_EQ(theApp.settings.formats[2].KeyFilters, 0x5u);
  EXPECT_EQ(theApp.settings.formats[3].KeyFilters, 0x5u);
}

// --- Check

TEST_F(FormatDialogTest, AFormatErrorNamesItsPositionAndPutsTheCaretInItsField) {
  struct Row {
    uint32_t Code;
    const wchar_t* Description;
    int32_t Position;
    UINT Field;  // 0: the focus stays
  };
  const Row rows[] = {
      {0x80040236u, L"Not enough parameters.", 3, IDC_FORMAT_PARAMS},
      {0x80040237u, L"Specifier not supported.", 2, IDC_FORMAT_TEMPLATE},
      {0x80040238u, L"Unknown keyword.", 4, IDC_FORMAT_PARAMS},
      {0x80040239u, L"Unexpected end.", 6, IDC_FORMAT_PARAMS},
      {0x8004023Au, L"Unknown symbol.", 1, IDC_FORMAT_PARAMS},
      {0x8004023Bu, L"( expected.", 0, IDC_FORMAT_PARAMS},
      {0x8004023Cu, L") expected.", 5, IDC_FORMAT_PARAMS},
      {0x8004023Du, L"Bad suffix.", 2, IDC_FORMAT_PARAMS},
      {0x8004023Eu, L"Unexpected operator.", 3, IDC_FORMAT_PARAMS},
      {0x80040233u, L"Device is not open.", -1, 0},
      {0x00000005u, L"", 4, 0},
  };
  CFormatDialog& dialog = Open(true);
  Type(IDC_FORMAT_TEMPLATE, L"%u %u %u");
  Type(IDC_FORMAT_PARAMS, L"b0 (b1 + b2) b3");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Code);
    g_shown.clear();
    SetFocus(Item(IDC_FORMAT_COMMENT));
    dialog.ReportFormatError(int32_t(row.Code), row.Description, row.Position);
    std::wstring expected = row.Description[0] ? row.Description : L"";
    if (expected.empty()) LoadStrAppendFormat(expected, IDS_HOST_METHOD_FAILED, L"CheckFormat");
    if (row.Position != -1) LoadStrAppendFormat(expected, IDS_ERROR_POSITION, row.Position);
    ASSERT_EQ(g_shown.size(), 1u);
    EXPECT_EQ(g_shown[0].Text, expected);
    EXPECT_EQ(g_shown[0].Icon, TD_ERROR_ICON);
    const HWND focused = row.Field ? Item(row.Field) : Item(IDC_FORMAT_COMMENT);
    EXPECT_EQ(GetFocus(), focused);
    if (row.Field) {
      DWORD start = 0;
      DWORD end = 0;
      SendMessageW(focused, EM_GETSEL, WPARAM(&start), LPARAM(&end));
      EXPECT_EQ(int(start), row.Position);
      EXPECT_EQ(int(end), row.Position);
    }
  }
  EXPECT_EQ(Str(IDS_ERROR_POSITION), L" (position %d)");
}

TEST_F(FormatDialogTest, CheckWithAnEmptyTemplateCallsNothing) {
  CFormatDialog& dialog = Open(true);
  EXPECT_TRUE(dialog.Check());
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].Text, Str(IDS_FORMAT_CORRECT));
  EXPECT_EQ(g_shown[0].Icon, TD_INFORMATION_ICON);
  EXPECT_EQ(theApp.testHost, nullptr);
}

TEST_F(FormatDialogTest, CheckAsksTheAddInAndLeavesItLoaded) {
  HoldSettingsKey();
  CFormatDialog& dialog = Open(true);
  Type(IDC_FORMAT_TEMPLATE, L"%.3u,%.5u");
  Type(IDC_FORMAT_PARAMS, L"b2 w01");
  EXPECT_TRUE(dialog.Check());
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].Text, Str(IDS_FORMAT_CORRECT));
  ASSERT_NE(theApp.testHost, nullptr);
  EXPECT_NE(theApp.testHost->Component, nullptr) << "Check leaves the add-in loaded";

  // A template with more specifiers than parameters: the add-in's own text, the parameters focused.
  g_shown.clear();
  Type(IDC_FORMAT_TEMPLATE, L"%u %u %u");
  Type(IDC_FORMAT_PARAMS, L"b0");
  EXPECT_FALSE(dialog.Check());
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].Icon, TD_ERROR_ICON);
  EXPECT_NE(g_shown[0].Text, Str(IDS_FORMAT_CORRECT));
  EXPECT_FALSE(g_shown[0].Text.empty());
  const HWND focus = GetFocus();
  EXPECT_TRUE(focus == Item(IDC_FORMAT_PARAMS) || focus == Item(IDC_FORMAT_TEMPLATE));
  theApp.testHost->Unload();
}

TEST_F(FormatDialogTest, OkRefusedByTheAddInKeepsTheDocumentAndUnloadsWhatItLoaded) {
  HoldSettingsKey();
  CFormatDialog& dialog = Open(true);
  Type(IDC_FORMAT_TEMPLATE, L"%u %u %u");
  Type(IDC_FORMAT_PARAMS, L"b0");
  EXPECT_FALSE(dialog.Apply());
  EXPECT_EQ(theApp.settings.formats.size(), 4u);
  ASSERT_EQ(g_shown.size(), 1u);
  EXPECT_EQ(g_shown[0].Icon, TD_ERROR_ICON);
  ASSERT_NE(theApp.testHost, nullptr);
  EXPECT_EQ(theApp.testHost->Component, nullptr) << "OK unloads the add-in it loaded for the check";
}

// --- The Formats page's samples from the loaded add-in

std::map<std::wstring, int> g_sampleCalls;

// The page's own renderer, counted per template.
bool CountedHostRender(const std::wstring& formatTemplate, const std::wstring& params, UINT keyType,
                       const _KEYNUM_INFO& key, std::wstring& out) {
  ++g_sampleCalls[formatTemplate];
  return RenderSampleWithHost(formatTemplate, params, keyType, key, out);
}

TEST_F(FormatDialogTest, SamplesOfTheKeyDialogsKeyComeFromTheAddInWhileItIsLoaded) {
  HoldSettingsKey();
  CAppSettings& settings = theApp.settings;
  settings.formats.push_back(MakeFormat(5, L"Broken", L"%u %u", L"(b0", L"", 0x1, 0));
  settings.ClearFormatIndex();
  settings.formatsViewFlags = 7;
  settings.fmtFilter = 0;
  settings.lastKey = {};
  settings.lastKeyType = 1;
  settings.keyEditFormat = KEY_INPUT_EM_MARINE;
  for (_FORMAT_INFO_EX& format : settings.formats) format.Flags &= ~UINT(FORMAT_SAMPLE_VALID);
  SampleRendererSeam.Render = &CountedHostRender;

  const wchar_t kParent[] = L"FmtDlgTestsSamplesParent";
  ASSERT_TRUE(RegisterTestWindowClass(kParent, DefWindowProcW));
  HWND parent = CreateWindowExW(0, kParent, L"", WS_POPUP | WS_VISIBLE, 0, 0, 900, 600, nullptr, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(parent, nullptr);
  std::unique_ptr<CFormatsPage> page(new CFormatsPage());
  ASSERT_TRUE(CDialog::CreateFromTemplate(page.get(), IDD_PAGE_FORMATS, parent));
  ShowWindow(page->hwnd, SW_SHOW);
  auto sampleOf = [&](UINT id) {
    const HWND list = page->table.hwnd;
    int row = -1;
    for (size_t r = 0; r < page->data.rows.size(); ++r)
      if (settings.formats[size_t(page->data.rows[r])].Id == id) row = int(r);
    if (row < 0) return std::wstring(L"<not shown>");
    wchar_t text[128] = L"?";
    LVITEMW item{};
    item.iSubItem = page->table.GetHeaderIndex(FMTCOL_SAMPLE);
    item.pszText = text;
    item.cchTextMax = 128;
    SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
    return std::wstring(text);
  };
  ASSERT_GE(page->table.GetHeaderIndex(FMTCOL_SAMPLE), 0) << "the sample column is shown";
  EXPECT_EQ(sampleOf(3), L"") << "no key yet";

  // Types the key and presses OK once the key dialog shows; a loaded machine shows it late.
  int tries = 0;
  std::function<void()> typeKey = [&] {
    HWND dialog = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindVisibleDialog, LPARAM(&dialog));
    if (!dialog) {
      if (++tries < 100) RunLater(typeKey, 50);
      return;
    }
    SetDlgItemTextW(dialog, IDC_KEY_NUMBER, L"[0000] 012,12345");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  };
  RunLater(typeKey, 100);
  ASSERT_TRUE(page->OnChangeLastKey());
  EXPECT_EQ(sampleOf(3), L"") << "no add-in yet";

  // Loading the add-in makes the samples of the key stale: each is asked of the add-in once.
  CTestVombra* host = theApp.GetTestHost();
  g_sampleCalls.clear();
  ASSERT_NO_THROW(host->Load());
  for (int pass = 0; pass < 3; ++pass)
    RedrawWindow(page->table.hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  const struct {
    UINT Id;
    const wchar_t* Sample;
  } rows[] = {{1, L"798777"}, {2, L"0C3039"}, {3, L"012,12345"}, {4, L"00798777"}, {5, L""}};
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.Id);
      EXPECT_EQ(sampleOf(row.Id), row.Sample);
    }
    // The list view drops its cached rows: the page fills every row afresh from the formats.
    NMLVCACHEHINT hint{};
    hint.hdr.hwndFrom = page->table.hwnd;
    hint.hdr.idFrom = IDC_FORMATS_LIST;
    hint.hdr.code = LVN_ODCACHEHINT;
    hint.iFrom = hint.iTo = -1;
    SendMessageW(page->hwnd, WM_NOTIFY, IDC_FORMATS_LIST, LPARAM(&hint));
  }
  EXPECT_EQ(g_sampleCalls, (std::map<std::wstring, int>{
                               {L"%u", 1}, {L"%.6X", 1}, {L"%.3u,%.5u", 1}, {L"%.8u", 1}, {L"%u %u", 1}}))
      << "each format asked once, the one the add-in cannot render too";

  // Without the add-in no sample is left standing.
  host->Unload();
  EXPECT_EQ(sampleOf(3), L"");
  page.reset();
  DestroyWindow(parent);
}

// --- The live test, end to end: the real add-in, a simulated reader on a loopback port.

class LiveTest : public FormatDialogTest {
 protected:
  void SetUp() override {
    FormatDialogTest::SetUp();
    HoldSettingsKey();
    ASSERT_TRUE(m_sim.Listening());
    // The add-in reads its settings at start and saves what changed at its end: a trace of the test
    // would reach the registry. No broadcast search, no COM ports; the reader's format is "Mine".
    CAppSettings& settings = theApp.settings;
    settings.Portname = m_sim.PortName();
    settings.SettingFlags = STF_LOAD_AT_START | STF_SAVE_AT_END;
    settings.SearchFlags = 0x2E;
    settings.FormatId = 3;
    ASSERT_NO_THROW(settings.SaveSettings());
    m_tree = DumpRegistryTree(HKEY_CURRENT_USER, kSettingsKeyPath);
    ASSERT_NE(m_tree.find(L"Mine"), std::wstring::npos) << "the reader's format is stored";
  }
  void TearDown() override {
    if (theApp.testHost && theApp.testHost->IsLoaded()) {
      for (const std::wstring& device : std::vector<std::wstring>(theApp.testHost->GetOpenDevices()))
        theApp.testHost->Close(device.c_str());
      theApp.testHost->Unload();
    }
    FormatDialogTest::TearDown();
  }

  template <class Done>
  bool PumpUntil(Done done, DWORD timeout) {
    const DWORD start = GetTickCount();
    for (;;) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      if (done()) return true;
      if (GetTickCount() - start > timeout) return false;
      Sleep(20);
    }
  }

  // A number property of the add-in, as its value's 32 bits; -1 when it cannot be read.
  int64_t Property(const wchar_t* name) {
    CTestVombra* host = theApp.testHost;
    if (!host || !host->Component) return -1;
    CVariantArray value(1, host);
    const long number = host->Component->FindProp(name);
    if (number < 0 || !host->Component->GetPropVal(number, &value[0])) return -1;
    return VariantType(&value[0]) == VTYPE_BOOL ? int64_t(value[0].bVal) : int64_t(value[0].ulVal);
  }

  // Loads the add-in with the simulated reader open and connected.
  void OpenReaderFirst() {
    CTestVombra* host = theApp.GetTestHost();
    ASSERT_NO_THROW(host->Load());
    CVariantArray port(1, host);
    port.SetString(0, m_sim.PortName().c_str());
    host->SetPort(&port[0]);
    ASSERT_TRUE(host->Open(nullptr));
    ASSERT_TRUE(PumpUntil([&] { return host->IsFirstDeviceConnected(); }, 10000));
  }

  // Presents a key and waits for the sample edit to leave `before`.
  std::wstring KeyShown(const std::wstring& before) {
    m_sim.SendLine("Em-Marine[0000] 012,12345");
    PumpUntil([&] { return Text(IDC_FORMAT_SAMPLE) != before; }, 8000);
    return Text(IDC_FORMAT_SAMPLE);
  }

  void StartWithTemplate(CFormatDialog& dialog, const wchar_t* formatTemplate, const wchar_t* params) {
    Type(IDC_FORMAT_TEMPLATE, formatTemplate);
    Type(IDC_FORMAT_PARAMS, params);
    CheckDlgButton(dialog.hwnd, IDC_FORMAT_TEST, BST_CHECKED);
    SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_TEST, BN_CLICKED),
                 LPARAM(Item(IDC_FORMAT_TEST)));
    ASSERT_TRUE(dialog.Testing) << "the test did not start";
    EXPECT_TRUE(g_shown.empty()) << (g_shown.empty()
                                         ? ""
                                         : std::string(g_shown[0].Text.begin(), g_shown[0].Text.end()));
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_FORMAT_SAMPLE) == Str(IDS_WAITING_KEY); }, 10000))
        << "the reader never connected";
  }

  // The settings tree as the test found it, after the add-in is gone.
  void ExpectRegistryUntouched() {
    if (theApp.testHost && theApp.testHost->IsLoaded()) {
      for (const std::wstring& device : std::vector<std::wstring>(theApp.testHost->GetOpenDevices()))
        theApp.testHost->Close(device.c_str());
      theApp.testHost->Unload();
    }
    EXPECT_EQ(DumpRegistryTree(HKEY_CURRENT_USER, kSettingsKeyPath), m_tree);
  }

  CTextReaderSim m_sim{SimIdentity(), true};
  std::wstring m_tree;
};

TEST_F(LiveTest, WithoutAnAddInTheTypedTemplateFormatsTheKeysAndTheAddInGoesAgain) {
  CFormatDialog& dialog = Open(true);
  EXPECT_EQ(dialog.HostState, 0);
  StartWithTemplate(dialog, L"%u", L"w01");
  EXPECT_EQ(KeyShown(Str(IDS_WAITING_KEY)), L"12345");
  EXPECT_EQ(dialog.SampleState, SAMPLE_WAITING);

  // An edit of the template reaches the temporary format: the next key comes out by it.
  TypeOver(IDC_FORMAT_TEMPLATE, L"%.8u");
  TypeOver(IDC_FORMAT_PARAMS, L"l012");
  EXPECT_EQ(KeyShown(L"12345"), L"00798777");

  // A dropped link shows "No connection." (the timer looks every second), and the reconnection
  // "Waiting key." again.
  m_sim.Drop();
  EXPECT_TRUE(PumpUntil([&] { return Text(IDC_FORMAT_SAMPLE) == Str(IDS_NO_CONNECTION); }, 10000));
  EXPECT_EQ(dialog.SampleState, SAMPLE_NO_CONNECTION);
  EXPECT_TRUE(PumpUntil([&] { return Text(IDC_FORMAT_SAMPLE) == Str(IDS_WAITING_KEY); }, 15000))
      << "the reader came back";

  SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_TEST, BN_CLICKED),
               0);  // box still checked: no-op
  CheckDlgButton(dialog.hwnd, IDC_FORMAT_TEST, BST_UNCHECKED);
  SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_TEST, BN_CLICKED),
               LPARAM(Item(IDC_FORMAT_TEST)));
  EXPECT_FALSE(dialog.Testing);
  ASSERT_NE(theApp.testHost, nullptr);
  EXPECT_FALSE(theApp.testHost->IsLoaded()) << "the test loaded the add-in, so it unloads it";
  EXPECT_EQ(ShownList(theApp.settings.formats), Initial({})) << "the document is not touched";
  ExpectRegistryUntouched();
}

TEST_F(LiveTest, WithTheReaderOpenBeforeTheTestTheReaderKeepsItsOwnFormat) {
  OpenReaderFirst();
  CTestVombra* host = theApp.testHost;
  const int64_t formatId = Property(L"ReaderFormatID");
  const int64_t modified = Property(L"SettingsModified");
  ASSERT_NE(formatId, -1);
  const std::wstring device = host->GetOpenDevices()[0];
  auto liveViews = [&] {
    const auto& views = host->GetViews();
    return std::count_if(views.begin(), views.end(),
                         [](const _VIEW_INFO& view) { return view.owner != nullptr; });
  };
  const auto viewsBefore = liveViews();

  CFormatDialog& dialog = Open(true);
  EXPECT_EQ(dialog.HostState, 4);
  StartWithTemplate(dialog, L"%u", L"w01");
  EXPECT_EQ(KeyShown(Str(IDS_WAITING_KEY)), L"12345");
  EXPECT_GE(host->FindFormat(), 0) << "the temporary format is in the add-in while the test runs";

  // OK ends the test as the window goes.
  Type(IDC_FORMAT_NAME, L"Live");
  SendMessageW(dialog.hwnd, WM_COMMAND, IDOK, 0);
  m_dialog.reset();
  EXPECT_TRUE(host->IsLoaded());
  EXPECT_EQ(host->GetOpenDevices(), std::vector<std::wstring>({device})) << "the reader stays open";
  EXPECT_EQ(host->FindFormat(), -1) << "\"FormatTemp\" is gone";
  EXPECT_EQ(Property(L"ReaderFormatID"), formatId);
  EXPECT_EQ(Property(L"SettingsModified"), modified);
  EXPECT_EQ(liveViews(), viewsBefore) << "the dialog left a view behind";

  // The next key comes out by the reader's own format again.
  host->LastData.clear();
  m_sim.SendLine("Em-Marine[0000] 012,12345");
  ASSERT_TRUE(PumpUntil([&] { return !host->LastData.empty(); }, 8000));
  EXPECT_EQ(host->LastData, L"012,12345");
  ExpectRegistryUntouched();
}

TEST_F(LiveTest, WithTheAddInLoadedAloneTheTestClosesWhatItOpened) {
  CTestVombra* host = theApp.GetTestHost();
  ASSERT_NO_THROW(host->Load());
  const int64_t formatId = Property(L"ReaderFormatID");
  const int64_t modified = Property(L"SettingsModified");
  CFormatDialog& dialog = Open(true);
  EXPECT_EQ(dialog.HostState, 2);
  StartWithTemplate(dialog, L"%u", L"w01");
  EXPECT_EQ(host->GetOpenDevices().size(), 1u);
  EXPECT_EQ(KeyShown(Str(IDS_WAITING_KEY)), L"12345");

  // Cancel ends the test with the window.
  SendMessageW(dialog.hwnd, WM_COMMAND, IDCANCEL, 0);
  m_dialog.reset();
  EXPECT_TRUE(host->IsLoaded());
  EXPECT_TRUE(host->GetOpenDevices().empty());
  EXPECT_EQ(host->FindFormat(), -1);
  EXPECT_EQ(Property(L"ReaderFormatID"), formatId);
  EXPECT_EQ(Property(L"SettingsModified"), modified);
  ExpectRegistryUntouched();
}

TEST_F(LiveTest, ALeftoverTemporaryFormatIsReplacedNotFound) {
  CTestVombra* host = theApp.GetTestHost();
  ASSERT_NO_THROW(host->Load());
  int32_t index = 0;
  uint32_t id = 0;
  ASSERT_TRUE(host->InsertFormat(index, L"%X", L"b0", &id));
  {
    // The leftover is the earlier run's; the add-in starts this one unmodified.
    CVariantArray value(1, host);
    value.SetBool(0, false);
    ASSERT_TRUE(host->Component->SetPropVal(host->Component->FindProp(L"SettingsModified"), &value[0]));
  }
  CFormatDialog& dialog = Open(true);
  StartWithTemplate(dialog, L"%u", L"w01");
  EXPECT_EQ(KeyShown(Str(IDS_WAITING_KEY)), L"12345") << "the reader uses the new temporary format";
  dialog.SetTesting(false);
  EXPECT_EQ(host->FindFormat(), -1) << "no temporary format is left";
  ExpectRegistryUntouched();
}

TEST_F(LiveTest, AReaderThatCannotBeReachedShowsNoConnectionInRed) {
  theApp.settings.Portname = L"127.0.0.1:1";
  CFormatDialog& dialog = Open(true);
  Type(IDC_FORMAT_TEMPLATE, L"%u");
  Type(IDC_FORMAT_PARAMS, L"w01");
  CheckDlgButton(dialog.hwnd, IDC_FORMAT_TEST, BST_CHECKED);
  SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_TEST, BN_CLICKED),
               LPARAM(Item(IDC_FORMAT_TEST)));
  ASSERT_TRUE(dialog.Testing) << "the add-in keeps trying a reader it cannot reach";
  EXPECT_TRUE(g_shown.empty());
  EXPECT_EQ(dialog.SampleState, SAMPLE_NO_CONNECTION);
  EXPECT_EQ(Text(IDC_FORMAT_SAMPLE), Str(IDS_NO_CONNECTION));
  EXPECT_TRUE(dialog.TimerOn);
  HDC dc = GetDC(Item(IDC_FORMAT_SAMPLE));
  SendMessageW(dialog.hwnd, WM_CTLCOLORSTATIC, WPARAM(dc), LPARAM(Item(IDC_FORMAT_SAMPLE)));
  EXPECT_EQ(GetTextColor(dc), RGB(255, 0, 0));
  ReleaseDC(Item(IDC_FORMAT_SAMPLE), dc);

  dialog.SetTesting(false);
  EXPECT_FALSE(dialog.TimerOn);
  EXPECT_EQ(IsDlgButtonChecked(dialog.hwnd, IDC_FORMAT_TEST), UINT(BST_UNCHECKED));
  ASSERT_NE(theApp.testHost, nullptr);
  EXPECT_FALSE(theApp.testHost->IsLoaded());
  ExpectRegistryUntouched();
}

TEST_F(LiveTest, AFailedStartIsShownAndUndone) {
  theApp.settings.Portname = L"";
  CFormatDialog& dialog = Open(true);
  Type(IDC_FORMAT_TEMPLATE, L"%u");
  Type(IDC_FORMAT_PARAMS, L"w01");
  CheckDlgButton(dialog.hwnd, IDC_FORMAT_TEST, BST_CHECKED);
  SendMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(IDC_FORMAT_TEST, BN_CLICKED),
               LPARAM(Item(IDC_FORMAT_TEST)));
  EXPECT_FALSE(dialog.Testing);
  ASSERT_EQ(g_shown.size(), 1u) << "a failed start is shown";
  EXPECT_EQ(g_shown[0].Icon, TD_ERROR_ICON);
  EXPECT_EQ(IsDlgButtonChecked(dialog.hwnd, IDC_FORMAT_TEST), UINT(BST_UNCHECKED));
  EXPECT_EQ(Text(IDC_FORMAT_SAMPLE), L"");
  ASSERT_NE(theApp.testHost, nullptr);
  EXPECT_FALSE(theApp.testHost->IsLoaded());
  ExpectRegistryUntouched();
}

}  // namespace
