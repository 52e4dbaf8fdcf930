// The Connection dialog against the scripted fake add-in (this program is ConfigVombraConn.exe, so the
// name rule makes the host load VombraConn.dll): the driver description into the form and the XML
// pages, the parameters handed over in document order with their types, refusals and throws shown in a
// box owned by the dialog that stays open, the device test, the additional actions, and malformed
// settings descriptions that give a message, never a crash. The Test page's "Open..." runs it modally.
#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "DevOpenDialog.h"
#include "FakeAddin.h"
#include "MessageBox.h"
#include "PageTestSupport.h"
#include "ParamsPage.h"
#include "Strings.h"
#include "TestPage.h"
#include "TestVombra.h"
#include "XmlPage.h"
#include "../classlib/ModalStep.h"

namespace {

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

CPageTestApp theApp;

struct ShownBox {
  std::wstring Text;
  bool Error;
  HWND Owner;
};
std::vector<ShownBox> g_boxes;

HRESULT WINAPI ScriptedTaskDialog(const TASKDIALOGCONFIG* config, int* button, int* radio, BOOL* verified) {
  g_boxes.push_back({config->pszContent ? config->pszContent : L"", config->pszMainIcon == TD_ERROR_ICON,
                     config->hwndParent});
  if (button) *button = IDOK;
  if (radio) *radio = 0;
  if (verified) *verified = FALSE;
  return S_OK;
}

std::wstring Str(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The page's own visibility: the dialog itself stays hidden without its modal loop.
bool Shown(HWND page) { return page && (GetWindowLongW(page, GWL_STYLE) & WS_VISIBLE); }

// Runs `act` on the visible dialog of this thread from inside the modal loop, once it is there.
void InDialogLater(std::function<void(HWND dialog)> act, int tries = 50) {
  RunLater(
      [act, tries] {
        HWND dialog = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindVisibleDialog, LPARAM(&dialog));
        if (dialog) {
          act(dialog);
        } else if (tries > 0) {
          InDialogLater(act, tries - 1);
        }
      },
      50);
}

// Five parameters on one page: every type rule of "SetParameter" once.
const wchar_t kFiveParameters[] =
    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
    L"<Settings>\r\n"
    L" <Page Caption=\"Parameters\">\r\n"
    L"  <Group Caption=\"Connection\">\r\n"
    L"   <Parameter Name=\"Port\" Caption=\"Port\" TypeValue=\"String\" DefaultValue=\"COM3\"/>\r\n"
    L"   <Parameter Name=\"Speed\" Caption=\"Speed\" TypeValue=\"Number\" DefaultValue=\"-9600\"/>\r\n"
    L"   <Parameter Name=\"Wiegand\" Caption=\"Wiegand\" TypeValue=\"Boolean\" DefaultValue=\"true\"/>\r\n"
    L"  </Group>\r\n"
    L"  <Group Caption=\"Device\">\r\n"
    L"   <Parameter Name=\"NVT\" Caption=\"NVT\" TypeValue=\"Boolean\" DefaultValue=\"True\"/>\r\n"
    L"   <Parameter Name=\"Prefix\" Caption=\"Prefix\" TypeValue=\"number\" DefaultValue=\"33\"/>\r\n"
    L"  </Group>\r\n"
    L" </Page>\r\n"
    L"</Settings>\r\n";

const wchar_t kActions[] =
    L"<Actions>"
    L"<Action Name=\"Beep\" Caption=\"Sound a beep\"/>"
    L"<Action Name=\"Reset\" Caption=\"\"/>"
    L"<Action Caption=\"No name\"/>"
    L"</Actions>";

class DevOpenFixture : public testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    SetUILanguage(kEnglish);
    SetEnvironmentVariableW(FAKE_ADDIN_SCRIPT_VARIABLE, nullptr);
    MessageBoxSeam.TaskDialogIndirect = ScriptedTaskDialog;
    g_boxes.clear();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_folder = std::wstring(temp) + L"VombraDevOpen-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_folder.c_str(), nullptr);
    m_host.reset(CTestVombra::Create(m_folder.c_str()));
    ASSERT_NE(m_host, nullptr);
    m_host->Load();
    ASSERT_TRUE(m_host->IsLoaded());
    HMODULE fake = GetModuleHandleW(L"VombraConn.dll");
    ASSERT_NE(fake, nullptr);
    auto get =
        reinterpret_cast<PFN_FAKE_ADDIN_STATE>(reinterpret_cast<void*>(GetProcAddress(fake, "FakeAddinGetState")));
    ASSERT_NE(get, nullptr);
    m_state = get();
    *m_state = FakeAddinState{};
    wcscpy(m_state->Version, L"1.9.5.7");
    wcscpy(m_state->Parameters, kFiveParameters);
    wcscpy(m_state->LastErrorText, L"The reader did not answer.");
    ASSERT_TRUE(RegisterTestWindowClass(L"VombraDevOpenParent", DefWindowProcW));
    m_parent = CreateWindowExW(0, L"VombraDevOpenParent", L"", WS_OVERLAPPEDWINDOW, 0, 0, 900, 700, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override {
    m_dialog.reset();
    if (m_parent) DestroyWindow(m_parent);
    if (m_host) m_host->Unload();
    m_host.reset();
    MessageBoxSeam = CMessageBoxSeam();
    DeleteFileW((m_folder + L"\\TestVombra.log").c_str());
    RemoveDirectoryW(m_folder.c_str());
  }

  // The dialog as "Open..." creates it, without its modal loop.
  void Open() {
    m_dialog = std::make_unique<CDevOpenDialog>(*m_host);
    ASSERT_TRUE(CDialog::CreateFromTemplate(m_dialog.get(), IDD_DEV_OPEN, m_parent));
    ASSERT_NE(m_dialog->Form(), nullptr);
    m_state->Calls = 0;  // the description calls are behind us
  }
  HWND FormWindow() const { return m_dialog->Form()->hwnd; }
  void Save() { SendMessageW(FormWindow(), WM_COMMAND, MAKEWPARAM(IDC_PARAMS_SAVE, BN_CLICKED), 0); }
  void FormCommand(UINT id) { SendMessageW(FormWindow(), WM_COMMAND, MAKEWPARAM(id, 0), 0); }

  std::vector<const FakeAddinCall*> CallsOf(const wchar_t* name) const {
    std::vector<const FakeAddinCall*> calls;
    for (int i = 0; i < m_state->Calls && i < 64; ++i) {
      if (wcscmp(m_state->Journal[i].Name, name) == 0) calls.push_back(&m_state->Journal[i]);
    }
    return calls;
  }
  std::vector<std::wstring> CallNames() const {
    std::vector<std::wstring> names;
    for (int i = 0; i < m_state->Calls && i < 64; ++i) names.push_back(m_state->Journal[i].Name);
    return names;
  }
  std::vector<std::wstring> RecordNames() const {
    std::vector<std::wstring> names;
    for (const _DRIVER_PARAM_INFO& record : m_dialog->Params) names.push_back(record.Name);
    return names;
  }
  std::wstring XmlText(int page) const {
    CXmlPage* xml = m_dialog->XmlPage(page);
    if (!xml || !xml->edit) return L"<no page>";
    const int length = GetWindowTextLengthW(xml->edit);
    std::wstring text(size_t(length) + 1, L'\0');
    GetWindowTextW(xml->edit, &text[0], length + 1);
    text.resize(wcslen(text.c_str()));
    return text;
  }
  bool StillOpen() const { return m_dialog->result == -1 && IsWindow(m_dialog->hwnd); }

  std::wstring m_folder;
  std::unique_ptr<CTestVombra> m_host;
  FakeAddinState* m_state = nullptr;
  HWND m_parent = nullptr;
  std::unique_ptr<CDevOpenDialog> m_dialog;
};

// --- the driver description ---

TEST_F(DevOpenFixture, ShowsTheDriverStateVersionRecordsAndBothXmlTexts) {
  wcscpy(m_state->Actions, kActions);
  Open();
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_EQ(m_dialog->Form()->hwnd ? GetParent(FormWindow()) : nullptr, m_dialog->hwnd);
  wchar_t text[64] = L"";
  GetDlgItemTextW(FormWindow(), IDC_PARAMS_DRIVER, text, 64);
  EXPECT_EQ(std::wstring(text), Str(IDS_DRIVER_INSTALLED));
  EXPECT_EQ(std::wstring(text), L"Installed");
  GetDlgItemTextW(FormWindow(), IDC_PARAMS_VERSION, text, 64);
  EXPECT_STREQ(text, L"1.9.5.7");

  const std::vector<std::wstring> names{L"Port", L"Speed", L"Wiegand", L"NVT", L"Prefix"};
  EXPECT_EQ(RecordNames(), names);
  ASSERT_EQ(m_dialog->Params.size(), 5u);
  const int types[] = {1, 2, 3, 3, 0};
  const wchar_t* values[] = {L"COM3", L"-9600", L"true", L"True", L"33"};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(m_dialog->Params[i].Type, types[i]) << i;
    EXPECT_EQ(m_dialog->Params[i].Value, values[i]) << i;
  }
  EXPECT_EQ(m_dialog->ActionNames, (std::vector<std::wstring>{L"Beep", L"Reset"}));
  EXPECT_EQ(m_dialog->Form()->tabs.size(), 1u);

  // The rich edit holds a paragraph end as one CR.
  std::wstring held = kFiveParameters;
  for (size_t at; (at = held.find(L"\r\n")) != std::wstring::npos;) held.erase(at + 1, 1);
  std::wstring shown = XmlText(DEV_OPEN_PARAMS_XML);
  for (size_t at; (at = shown.find(L"\r\n")) != std::wstring::npos;) shown.erase(at + 1, 1);
  EXPECT_EQ(shown, held);
  EXPECT_EQ(XmlText(DEV_OPEN_ACTIONS_XML), kActions);

  // Three tabs in order, the form shown first; switching shows the page of the tab.
  HWND tabs = m_dialog->tabCtrl;
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_EQ(m_dialog->currentPage, DEV_OPEN_FORM);
  EXPECT_TRUE(Shown(FormWindow()));
  SendMessageW(tabs, TCM_SETCURSEL, DEV_OPEN_ACTIONS_XML, 0);
  NMHDR change{tabs, IDC_DEV_OPEN_TABS, UINT(TCN_SELCHANGE)};
  SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDC_DEV_OPEN_TABS, LPARAM(&change));
  EXPECT_EQ(m_dialog->currentPage, DEV_OPEN_ACTIONS_XML);
  EXPECT_FALSE(Shown(FormWindow()));
  EXPECT_TRUE(Shown(m_dialog->XmlPage(DEV_OPEN_ACTIONS_XML)->hwnd));
}

TEST_F(DevOpenFixture, TheDescriptionIsAskedForOnceAndTheWindowKeepsItsMinimumSize) {
  m_dialog = std::make_unique<CDevOpenDialog>(*m_host);
  ASSERT_TRUE(CDialog::CreateFromTemplate(m_dialog.get(), IDD_DEV_OPEN, m_parent));
  EXPECT_EQ(CallNames(), (std::vector<std::wstring>{L"GetVersion", L"GetParameters", L"GetAdditionalActions"}));
  m_state->Calls = 0;
  SetWindowPos(m_dialog->hwnd, nullptr, 0, 0, 700, 520, SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(m_state->Calls, 0) << "resizing asks the driver nothing";

  MINMAXINFO info{};
  SendMessageW(m_dialog->hwnd, WM_GETMINMAXINFO, 0, LPARAM(&info));
  EXPECT_EQ(info.ptMinTrackSize.x, 500);
  EXPECT_EQ(info.ptMinTrackSize.y, 400);
  // The tab control fills the client area, the page lies inside it.
  RECT client{}, tab{}, page{};
  GetClientRect(m_dialog->hwnd, &client);
  GetWindowRect(m_dialog->tabCtrl, &tab);
  MapWindowPoints(nullptr, m_dialog->hwnd, reinterpret_cast<POINT*>(&tab), 2);
  EXPECT_EQ(tab.left, 0);
  EXPECT_EQ(tab.top, 0);
  EXPECT_EQ(tab.right, client.right);
  EXPECT_EQ(tab.bottom, client.bottom);
  GetWindowRect(FormWindow(), &page);
  MapWindowPoints(nullptr, m_dialog->hwnd, reinterpret_cast<POINT*>(&page), 2);
  EXPECT_GT(page.top, 0) << "below the tab strip";
  EXPECT_LE(page.right, client.right);
  EXPECT_LE(page.bottom, client.bottom);
  EXPECT_GT(page.right - page.left, client.right / 2);
}

// --- Save and close ---

TEST_F(DevOpenFixture, SaveHandsEveryParameterOverInDocumentOrderWithItsTypeThenOpens) {
  wcscpy(m_state->DeviceId, L"KD6-17");
  Open();
  Save();
  const std::vector<const FakeAddinCall*> sets = CallsOf(L"SetParameter");
  ASSERT_EQ(sets.size(), 5u);
  const struct {
    const wchar_t* Name;
    uint16_t Type;
    const wchar_t* Text;
    uint32_t Number;
  } expected[] = {
      {L"Port", VTYPE_PWSTR, L"COM3", 0},
      {L"Speed", VTYPE_I4, L"", uint32_t(-9600)},
      {L"Wiegand", VTYPE_BOOL, L"", 1},
      {L"NVT", VTYPE_BOOL, L"", 0},           // only "true" is true
      {L"Prefix", VTYPE_PWSTR, L"33", 0},     // "number" is no type: the value goes as text
  };
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(Narrow(expected[i].Name));
    EXPECT_EQ(sets[i]->Count, 2);
    EXPECT_STREQ(sets[i]->Texts[0], expected[i].Name);
    EXPECT_EQ(sets[i]->Types[0], VTYPE_PWSTR);
    EXPECT_EQ(sets[i]->Types[1], expected[i].Type);
    if (expected[i].Type == VTYPE_PWSTR) {
      EXPECT_STREQ(sets[i]->Texts[1], expected[i].Text);
    } else {
      EXPECT_EQ(sets[i]->Numbers[1], expected[i].Number);
    }
  }
  const std::vector<std::wstring> order = CallNames();
  ASSERT_FALSE(order.empty());
  EXPECT_EQ(order.back(), L"Open");
  EXPECT_EQ(CallsOf(L"Open").size(), 1u);
  EXPECT_EQ(m_dialog->result, 1);
  EXPECT_EQ(m_dialog->DeviceId, L"KD6-17");
  EXPECT_EQ(m_host->GetOpenDevices(), (std::vector<std::wstring>{L"KD6-17"}));
  EXPECT_TRUE(g_boxes.empty());
}

TEST_F(DevOpenFixture, NumberAndBooleanValuesAreReadStrictly) {
  const struct {
    int Type;
    const wchar_t* Value;
    uint16_t SentType;
    uint32_t SentNumber;
    const wchar_t* SentText;
  } cases[] = {
      {2, L"12", VTYPE_I4, 12, L""},
      {2, L"-5", VTYPE_I4, uint32_t(-5), L""},
      {2, L"+7", VTYPE_I4, 7, L""},
      {2, L"", VTYPE_I4, 0, L""},
      {2, L"abc", VTYPE_I4, 0, L""},
      {2, L"12abc", VTYPE_I4, 0, L""},
      {2, L"2147483647", VTYPE_I4, 2147483647u, L""},
      {2, L"2147483648", VTYPE_I4, 0, L""},
      {3, L"true", VTYPE_BOOL, 1, L""},
      {3, L"True", VTYPE_BOOL, 0, L""},
      {3, L"TRUE", VTYPE_BOOL, 0, L""},
      {3, L"1", VTYPE_BOOL, 0, L""},
      {3, L"true ", VTYPE_BOOL, 0, L""},
      {1, L"COM1", VTYPE_PWSTR, 0, L"COM1"},
      {0, L"42", VTYPE_PWSTR, 0, L"42"},
      {1, L"", VTYPE_PWSTR, 0, L""},
  };
  Open();
  m_dialog->Params.clear();
  for (const auto& c : cases) m_dialog->Params.push_back({c.Type, L"P", c.Value});
  ASSERT_TRUE(m_dialog->ApplyParameters());
  const std::vector<const FakeAddinCall*> sets = CallsOf(L"SetParameter");
  ASSERT_EQ(sets.size(), sizeof cases / sizeof cases[0]);
  for (size_t i = 0; i < sets.size(); ++i) {
    SCOPED_TRACE("type " + std::to_string(cases[i].Type) + " value \"" + Narrow(cases[i].Value) + "\"");
    EXPECT_EQ(sets[i]->Types[1], cases[i].SentType);
    if (cases[i].SentType == VTYPE_PWSTR) {
      EXPECT_STREQ(sets[i]->Texts[1], cases[i].SentText);
    } else {
      EXPECT_EQ(sets[i]->Numbers[1], cases[i].SentNumber);
    }
  }
}

TEST_F(DevOpenFixture, ARefusedParameterStopsTheRestAndTheOpenAndIsExplained) {
  Open();
  wcscpy(m_state->Refuse, L"SetParameter");
  m_state->RefuseAt = 3;
  Save();
  const std::vector<const FakeAddinCall*> sets = CallsOf(L"SetParameter");
  ASSERT_EQ(sets.size(), 3u) << "the first two set, the third refused, the rest never tried";
  EXPECT_STREQ(sets[0]->Texts[0], L"Port");
  EXPECT_STREQ(sets[1]->Texts[0], L"Speed");
  EXPECT_STREQ(sets[2]->Texts[0], L"Wiegand");
  EXPECT_TRUE(CallsOf(L"Open").empty());
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].Text, L"The reader did not answer.");
  EXPECT_TRUE(g_boxes[0].Error);
  EXPECT_EQ(g_boxes[0].Owner, m_dialog->hwnd);
  EXPECT_TRUE(StillOpen());
  EXPECT_TRUE(m_host->GetOpenDevices().empty());
}

TEST_F(DevOpenFixture, FailuresOfTheDriverAreShownAndTheDialogStaysOpen) {
  const struct {
    const wchar_t* What;
    bool Throws;        // the call itself fails (the host throws) instead of answering false
    UINT Command;       // 0: Save and close
    const wchar_t* Box; // the box's text
    bool Error;
  } cases[] = {
      {L"Open", false, 0, L"The reader did not answer.", true},
      {L"Open", true, 0, L"Open exploded.", true},
      {L"SetParameter", true, 0, L"SetParameter exploded.", true},
      {L"DeviceTest", false, ID_PARAMS_DEVICE_TEST, L"The reader did not answer.", true},
      {L"DeviceTest", true, ID_PARAMS_DEVICE_TEST, L"DeviceTest exploded.", true},
      {L"DoAdditionalAction", false, ID_PARAMS_ACTION_FIRST, L"The reader did not answer.", true},
      {L"DoAdditionalAction", true, ID_PARAMS_ACTION_FIRST, L"DoAdditionalAction exploded.", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.What) + (c.Throws ? " throws" : " answers false"));
    g_boxes.clear();
    *m_state = FakeAddinState{};
    wcscpy(m_state->Parameters, kFiveParameters);
    wcscpy(m_state->Actions, kActions);
    wcscpy(m_state->LastErrorText, L"The reader did not answer.");
    Open();
    if (c.Throws) {
      wcscpy(m_state->Throw, c.What);
      wcscpy(m_state->FailDescription, (std::wstring(c.What) + L" exploded.").c_str());
    } else {
      wcscpy(m_state->Refuse, c.What);
    }
    if (c.Command) {
      FormCommand(c.Command);
    } else {
      Save();
    }
    EXPECT_EQ(CallsOf(c.What).size(), 1u);
    ASSERT_EQ(g_boxes.size(), 1u);
    EXPECT_NE(g_boxes[0].Text.find(c.Box), std::wstring::npos) << Narrow(g_boxes[0].Text);
    EXPECT_EQ(g_boxes[0].Error, c.Error);
    EXPECT_EQ(g_boxes[0].Owner, m_dialog->hwnd);
    EXPECT_TRUE(StillOpen());
    EXPECT_TRUE(m_host->GetOpenDevices().empty());
    m_dialog.reset();
  }
}

TEST_F(DevOpenFixture, DeviceTestHandsTheParametersOverFirstAndShowsTheDriversText) {
  wcscpy(m_state->TestText, L"KD-6 A s/n 12345 answers on COM3.");
  Open();
  FormCommand(ID_PARAMS_DEVICE_TEST);
  const std::vector<std::wstring> order = CallNames();
  ASSERT_EQ(order.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(order[i], L"SetParameter");
  EXPECT_EQ(order[5], L"DeviceTest");
  EXPECT_EQ(CallsOf(L"DeviceTest")[0]->Count, 2);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0].Text, L"KD-6 A s/n 12345 answers on COM3.");
  EXPECT_FALSE(g_boxes[0].Error);
  EXPECT_TRUE(StillOpen()) << "a test opens nothing";
  EXPECT_TRUE(CallsOf(L"Open").empty());

  // A refused parameter ends the test before the driver is asked.
  g_boxes.clear();
  m_state->Calls = 0;
  wcscpy(m_state->Refuse, L"SetParameter");
  m_state->RefuseAt = 0;
  FormCommand(ID_PARAMS_DEVICE_TEST);
  EXPECT_TRUE(CallsOf(L"DeviceTest").empty());
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_TRUE(g_boxes[0].Error);
}

TEST_F(DevOpenFixture, ActionsRunByTheirNamesWhateverTheirCaptions) {
  wcscpy(m_state->Actions, kActions);
  Open();
  EXPECT_EQ(m_dialog->Form()->actionCaptions, (std::vector<std::wstring>{L"Sound a beep", L"Reset"}));
  for (int index = 1; index >= 0; --index) {
    m_state->Calls = 0;
    FormCommand(ID_PARAMS_ACTION_FIRST + UINT(index));
    const std::vector<const FakeAddinCall*> runs = CallsOf(L"DoAdditionalAction");
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0]->Count, 1);
    EXPECT_EQ(runs[0]->Types[0], VTYPE_PWSTR);
    EXPECT_STREQ(runs[0]->Texts[0], index ? L"Reset" : L"Beep");
    EXPECT_TRUE(CallsOf(L"SetParameter").empty());
  }
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_TRUE(StillOpen());

  // An index past the actions runs nothing.
  m_state->Calls = 0;
  _PARAMS_NOTIFY stray{};
  stray.hdr = {FormWindow(), IDD_PARAMS_FORM, PARAMS_NOTIFY_ACTION};
  stray.Action = 2;
  SendMessageW(m_dialog->hwnd, WM_NOTIFY, IDD_PARAMS_FORM, LPARAM(&stray));
  EXPECT_TRUE(CallsOf(L"DoAdditionalAction").empty());
}

TEST_F(DevOpenFixture, CancelEndsWithTwoAndOpensNothing) {
  Open();
  SendMessageW(m_dialog->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_EQ(m_dialog->result, 2);
  EXPECT_TRUE(CallsOf(L"SetParameter").empty());
  EXPECT_TRUE(CallsOf(L"Open").empty());
}

// --- malformed settings descriptions ---

TEST_F(DevOpenFixture, MalformedDescriptionsGiveAMessageNeverACrash) {
  enum Box { kNone, kUnreadable, kLastError, kThrown };
  const struct {
    const char* Case;
    const wchar_t* Description;
    bool NotText;   // GetParameters answers with an I4
    int Fails;      // 1 GetParameters answers false, 2 it throws
    std::vector<std::wstring> Records;
    Box Shown;
    size_t Tabs;
  } cases[] = {
      {"empty", L"", false, 0, {}, kUnreadable, 0},
      {"garbage", L"not XML at all & <<< >", false, 0, {}, kUnreadable, 0},
      {"no Settings element", L"<Options><Page><Group><Parameter Name=\"A\"/></Group></Page></Options>", false, 0,
       {}, kUnreadable, 0},
      {"cut short before Settings", L"<?xml version=\"1.0\"?>\r\n<Sett", false, 0, {}, kUnreadable, 0},
      {"cut short inside a parameter",
       L"<Settings><Page Caption=\"P\"><Group Caption=\"G\"><Parameter Name=\"Port\" TypeValue=\"String\" "
       L"DefaultValue=\"COM1\"/><Parameter Na",
       false, 0, {L"Port"}, kNone, 1},
      {"stray closing tags",
       L"<Settings><Page Caption=\"P\"><Group Caption=\"G\"><Parameter Name=\"A\" TypeValue=\"Boolean\" "
       L"DefaultValue=\"true\"/></Group></Group></Page></Settings><Parameter Name=\"Z\"/>",
       false, 0, {L"A"}, kNone, 1},
      {"a nameless parameter",
       L"<Settings><Page><Group><Parameter Caption=\"x\" TypeValue=\"String\" DefaultValue=\"1\"/>"
       L"<Parameter Name=\"B\" TypeValue=\"Number\" DefaultValue=\"2\"/></Group></Page></Settings>",
       false, 0, {L"B"}, kNone, 1},
      {"any element at the third level, Settings in lower case",
       L"<settings><Page><Group><Field Name=\"C\" TypeValue=\"String\"/></Group></Page></settings>", false, 0,
       {L"C"}, kNone, 1},
      {"two pages, one without groups",
       L"<Settings><Page Caption=\"One\"/><Page Caption=\"Two\"><Group><Parameter Name=\"D\"/></Group></Page>"
       L"</Settings>",
       false, 0, {L"D"}, kNone, 2},
      {"not a text", L"", true, 0, {}, kUnreadable, 0},
      {"GetParameters false", kFiveParameters, false, 1, {}, kLastError, 0},
      {"GetParameters throwing", kFiveParameters, false, 2, {}, kThrown, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Case);
    g_boxes.clear();
    *m_state = FakeAddinState{};
    wcscpy(m_state->Parameters, c.Description);
    m_state->ParametersNotText = c.NotText;
    wcscpy(m_state->LastErrorText, L"No description today.");
    if (c.Fails == 1) wcscpy(m_state->Refuse, L"GetParameters");
    if (c.Fails == 2) {
      wcscpy(m_state->Throw, L"GetParameters");
      wcscpy(m_state->FailDescription, L"The driver fell over.");
    }
    Open();
    EXPECT_EQ(RecordNames(), c.Records);
    EXPECT_EQ(m_dialog->Form()->tabs.size(), c.Tabs);
    switch (c.Shown) {
      case kNone:
        EXPECT_TRUE(g_boxes.empty());
        break;
      case kUnreadable:
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(g_boxes[0].Text, Str(IDS_DRIVER_SETTINGS_UNREADABLE));
        EXPECT_TRUE(g_boxes[0].Error);
        if (!c.NotText) {
          EXPECT_EQ(XmlText(DEV_OPEN_PARAMS_XML), c.Description) << "the XML tab shows what came back";
        }
        break;
      case kLastError:
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_EQ(g_boxes[0].Text, L"No description today.");
        break;
      case kThrown:
        ASSERT_EQ(g_boxes.size(), 1u);
        EXPECT_NE(g_boxes[0].Text.find(L"The driver fell over."), std::wstring::npos);
        break;
    }
    // Save and close then hands over what there is and opens.
    g_boxes.clear();
    Save();
    EXPECT_EQ(CallsOf(L"SetParameter").size(), c.Records.size());
    EXPECT_EQ(CallsOf(L"Open").size(), 1u);
    EXPECT_EQ(m_dialog->result, 1);
    m_dialog.reset();
    m_host->Close(L"FAKE1");
  }
}

TEST_F(DevOpenFixture, AnEmptyActionDescriptionIsNoError) {
  Open();
  EXPECT_TRUE(g_boxes.empty());
  EXPECT_TRUE(m_dialog->ActionNames.empty());
  EXPECT_EQ(XmlText(DEV_OPEN_ACTIONS_XML), L"");
}

TEST_F(DevOpenFixture, ADefaultOutsideTheChoicesIsSentAsTheDescriptionGaveIt) {
  wcscpy(m_state->Parameters,
         L"<Settings><Page><Group><Parameter Name=\"Port\" TypeValue=\"String\" DefaultValue=\"COM9\">"
         L"<ChoiceList><Item Value=\"COM1\">COM1</Item><Item Value=\"COM2\">COM2</Item></ChoiceList>"
         L"</Parameter></Group></Page></Settings>");
  Open();
  Save();
  const std::vector<const FakeAddinCall*> sets = CallsOf(L"SetParameter");
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_STREQ(sets[0]->Texts[1], L"COM9");
  EXPECT_EQ(m_dialog->result, 1);
}

// --- the Test page's "Open..." ---

TEST_F(DevOpenFixture, OpenOnTheTestPageRunsTheDialogAndSelectsTheOpenedReader) {
  CAppSettings settings;
  CTestPage page(*m_host, settings);
  ASSERT_TRUE(CDialog::CreateFromTemplate(&page, IDD_PAGE_TEST, m_parent));
  HWND open = GetDlgItem(page.hwnd, IDC_TEST_OPEN);
  EXPECT_TRUE(IsWindowEnabled(open)) << "enabled while the add-in is loaded";

  // Two readers open already; the dialog opens a third that sorts between them.
  for (const wchar_t* id : {L"COM1", L"COM9"}) {
    wcscpy(m_state->DeviceId, id);
    ASSERT_TRUE(m_host->Open(nullptr));
  }
  SendMessageW(GetDlgItem(page.hwnd, IDC_TEST_DEVICES), CB_SETCURSEL, 0, 0);
  wcscpy(m_state->DeviceId, L"COM5");
  int steps = 0;
  InDialogLater([&](HWND dialog) {
    HWND form = FindWindowExW(dialog, nullptr, L"#32770", nullptr);
    // The form is one of the dialog's pages.
    while (form && !GetDlgItem(form, IDC_PARAMS_SAVE)) form = FindWindowExW(dialog, form, L"#32770", nullptr);
    ++steps;
    if (form) {
      SendMessageW(form, WM_COMMAND, MAKEWPARAM(IDC_PARAMS_SAVE, BN_CLICKED), 0);
    } else {
      SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
  });
  SendMessageW(page.hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_OPEN, BN_CLICKED), 0);
  EXPECT_EQ(steps, 1);
  HWND devices = GetDlgItem(page.hwnd, IDC_TEST_DEVICES);
  ASSERT_EQ(SendMessageW(devices, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(SendMessageW(devices, CB_GETCURSEL, 0, 0), 1) << "COM5, between COM1 and COM9";
  EXPECT_TRUE(page.statusTimer);

  // Cancel leaves the selection alone.
  InDialogLater([](HWND dialog) { SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); });
  SendMessageW(devices, CB_SETCURSEL, 2, 0);
  SendMessageW(page.hwnd, WM_COMMAND, MAKEWPARAM(IDC_TEST_OPEN, BN_CLICKED), 0);
  EXPECT_EQ(SendMessageW(devices, CB_GETCURSEL, 0, 0), 2);

  m_host->Unload();
  EXPECT_FALSE(IsWindowEnabled(open));
}

}  // namespace
