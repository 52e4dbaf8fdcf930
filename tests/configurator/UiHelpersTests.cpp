// The shared UI helpers: unique names, name lookups, the recursive file search and its path order, the
// clipboard, the serial-port map, hot-key texts in menus, the tab and combo lookups and regjump.exe.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "Controls.h"
#include "Exceptions.h"
#include "FakeDevices.h"
#include "PageTestSupport.h"
#include "SettingsTestSupport.h"
#include "UiHelpers.h"
#include "WinApp.h"

namespace {

CPageTestApp theApp;

using Names = std::vector<std::wstring>;

std::vector<_KEYFILTER_INFO> Filters(const Names& names) {
  std::vector<_KEYFILTER_INFO> filters;
  UINT id = 1;
  for (const std::wstring& name : names) {
    _KEYFILTER_INFO filter = {};
    filter.Id = id++;
    filter.Name = name;
    filters.push_back(filter);
  }
  return filters;
}

std::vector<_FORMAT_INFO_EX> Formats(const Names& names) {
  std::vector<_FORMAT_INFO_EX> formats;
  UINT id = 1;
  for (const std::wstring& name : names) {
    _FORMAT_INFO_EX format;
    format.Id = id++;
    format.Name = name;
    formats.push_back(format);
  }
  return formats;
}

struct UniqueCase {
  Names Existing;
  const wchar_t* Base;
  const wchar_t* Expected;
};

// The same rules hold for filters and formats; each row runs against both collections.
const UniqueCase kUniqueCases[] = {
    {{L"Card", L"Card (4)"}, L"Card (3)", L"Card (5)"},  // number taken over, next one taken
    {{L"Other"}, L"Card (3)", L"Card"},                  // the bare base is free: number dropped
    {{L"Card (x)"}, L"Card (x)", L"Card (x) (2)"},       // not a number: base whole, from 2
    {{L"Card(3)"}, L"Card(3)", L"Card(3) (2)"},          // no space before the bracket
    {{}, L"Card(3)", L"Card(3)"},
    {{L"Card", L"Card (2)"}, L"Card", L"Card (3)"},
    {{L"Card"}, L"Card (3)x", L"Card (4)"},  // what follows the bracket is not looked at
    {{L"Card"}, L"Card (3", L"Card (3"},     // no closing bracket: whole
    {{L"Card (3"}, L"Card (3", L"Card (3 (2)"},
    {{L"Card"}, L"Card ()", L"Card ()"},
    {{L"Card", L"Card ()"}, L"Card ()", L"Card () (2)"},
    {{L"Card"}, L"Card (2147483646)", L"Card (2147483647)"},  // the largest number that is cut
    {{L"Card (2147483647)"}, L"Card (2147483647)", L"Card (2147483647) (2)"},  // too large: whole
    {{L"card"}, L"Card", L"Card"},                                             // names compare exactly
    {{L"Card ", L"Card"}, L"Card", L"Card (2)"},
    {{L"A (1)", L"A"}, L"A (1)", L"A (2)"},
};

TEST(UniqueNames, FollowTheNumberingRulesForFiltersAndFormats) {
  for (const UniqueCase& row : kUniqueCases) {
    SCOPED_TRACE(testing::Message() << "base " << testing::PrintToString(std::wstring(row.Base)));
    std::wstring filterName = L"junk";
    EXPECT_TRUE(MakeUniqueFilterName(Filters(row.Existing), row.Base, filterName));
    EXPECT_EQ(filterName, row.Expected);
    std::wstring formatName = L"junk";
    EXPECT_TRUE(MakeUniqueFormatName(Formats(row.Existing), row.Base, formatName));
    EXPECT_EQ(formatName, row.Expected);
  }
}

class UniqueDefaultNames : public ConfiguratorTest {};

TEST_F(UniqueDefaultNames, WithoutABaseUseTheLanguagesWord) {
  struct Row {
    LANGID Language;
    const wchar_t* Filter;
    const wchar_t* Format;
  };
  for (const Row& row : {Row{kEnglishUi, L"Filter", L"Format"}, Row{kRussianUi, L"Фильтр", L"Формат"}}) {
    SetUILanguage(row.Language);
    SCOPED_TRACE(row.Language);
    std::wstring name;
    EXPECT_TRUE(MakeUniqueFilterName(Filters({L"Other"}), nullptr, name));
    EXPECT_EQ(name, row.Filter);
    EXPECT_TRUE(MakeUniqueFilterName(Filters({row.Filter}), nullptr, name));
    EXPECT_EQ(name, std::wstring(row.Filter) + L" (2)");
    EXPECT_TRUE(MakeUniqueFormatName(Formats({}), nullptr, name));
    EXPECT_EQ(name, row.Format);
    EXPECT_TRUE(
        MakeUniqueFormatName(Formats({row.Format, std::wstring(row.Format) + L" (2)"}), nullptr, name));
    EXPECT_EQ(name, std::wstring(row.Format) + L" (3)");
  }
}

TEST(FindFormatIndexByName, ComparesWholeNamesExactly) {
  const std::vector<_FORMAT_INFO_EX> formats = Formats({L"Dec", L"Hex", L"hex", L"Hex", L"Hex 2", L""});
  struct Row {
    const wchar_t* Name;
    int Expected;
  };
  const Row rows[] = {{L"Dec", 0},   {L"Hex", 1},   {L"hex", 2}, {L"HEX", -1}, {L"He", -1},
                      {L"Hex 2", 4}, {L"Hex ", -1}, {L"", 5},    {nullptr, -1}};
  for (const Row& row : rows) {
    EXPECT_EQ(FindFormatIndexByName(formats, row.Name), row.Expected) << (row.Name ? row.Name : L"(null)");
  }
  EXPECT_EQ(FindFormatIndexByName({}, L"Dec"), -1);
}

TEST(PathLess, OrdersFolderByFolderWithoutCase) {
  struct Row {
    const wchar_t* A;
    const wchar_t* B;
    bool Less;
  };
  const Row rows[] = {
      {L"C:\\Media\\Zed\\a.wav", L"C:\\Media\\b.wav", true},  // subfolder contents before the files
      {L"C:\\Media\\b.wav", L"C:\\Media\\Zed\\a.wav", false},
      {L"c:\\media\\B.wav", L"C:\\Media\\c.wav", true},  // without case
      {L"C:\\Media\\c.wav", L"c:\\media\\B.wav", false},
      {L"C:\\Media\\a.wav", L"C:\\MEDIA\\A.WAV", false},  // equal either way
      {L"C:\\MEDIA\\A.WAV", L"C:\\Media\\a.wav", false},
      {L"C:\\Ab\\x.wav", L"C:\\Abc\\a.wav", true},  // a shorter component that is a prefix first
      {L"C:\\Abc\\a.wav", L"C:\\Ab\\x.wav", false},
      {L"C:\\B\\x.wav", L"C:\\a\\z\\y.wav", false},  // folders decide before depth
      {L"C:\\a\\z\\y.wav", L"C:\\B\\x.wav", true},
      {L"a.wav", L"b.wav", true},
      {L"sub\\z.wav", L"a.wav", true},
      {L"", L"a", true},
  };
  for (const Row& row : rows) EXPECT_EQ(PathLess(row.A, row.B), row.Less) << row.A << L" < " << row.B;

  std::vector<std::wstring> paths = {L"C:\\m\\b.wav", L"C:\\m\\Sub\\c.wav", L"C:\\m\\a.wav",
                                     L"C:\\m\\sub\\deep\\d.wav", L"C:\\m\\A\\e.wav"};
  std::sort(paths.begin(), paths.end(), PathLess);
  const std::vector<std::wstring> expected = {L"C:\\m\\A\\e.wav", L"C:\\m\\sub\\deep\\d.wav",
                                              L"C:\\m\\Sub\\c.wav", L"C:\\m\\a.wav", L"C:\\m\\b.wav"};
  EXPECT_EQ(paths, expected);
}

class FindFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* folder : {L"sub", L"sub\\deep", L"box.wav"}) {
      CreateDirectoryW((m_root / folder).c_str(), nullptr);
    }
    for (const wchar_t* file : {L"a.wav", L"B.WAV", L"noext", L"x.mid", L"song.mp3.txt", L"sub\\c.wav",
                                L"sub\\deep\\d.Wav", L"box.wav\\e.mp3", L"sub\\.wav"}) {
      WriteBytes(m_root / file, "x");
    }
  }

  std::vector<std::wstring> Sorted(std::vector<std::wstring> paths) {
    std::sort(paths.begin(), paths.end(), PathLess);
    return paths;
  }
  std::vector<std::wstring> Under(std::initializer_list<const wchar_t*> names) {
    std::vector<std::wstring> paths;
    for (const wchar_t* name : names) paths.push_back(m_root / name);
    return Sorted(paths);
  }

  ScratchFolder m_root;
};

TEST_F(FindFiles, TakesTheListedExtensionsInEveryFolder) {
  const wchar_t* const extensions[3] = {L".wav", L".MID", L".mp3"};
  std::vector<std::wstring> found = {L"kept"};
  FindFilesRecursive(found, m_root.Path().c_str(), extensions);
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.front(), L"kept");  // appended to what was there
  found.erase(found.begin());
  EXPECT_EQ(Sorted(found), Under({L"box.wav\\e.mp3", L"sub\\deep\\d.Wav", L"sub\\.wav", L"sub\\c.wav",
                                  L"a.wav", L"B.WAV", L"x.mid"}));
}

TEST_F(FindFiles, WithoutExtensionsTakesEveryFileAndANullEntryEndsTheList) {
  std::vector<std::wstring> found;
  FindFilesRecursive(found, m_root.Path().c_str(), nullptr);
  EXPECT_EQ(Sorted(found), Under({L"box.wav\\e.mp3", L"sub\\deep\\d.Wav", L"sub\\.wav", L"sub\\c.wav",
                                  L"a.wav", L"B.WAV", L"noext", L"song.mp3.txt", L"x.mid"}));

  const wchar_t* const onlyMid[3] = {L".mid", nullptr, L".wav"};
  found.clear();
  FindFilesRecursive(found, m_root.Path().c_str(), onlyMid);
  EXPECT_EQ(found, Under({L"x.mid"}));
}

TEST_F(FindFiles, AnEmptyFolderSearchesTheCurrentOneWithBareNames) {
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW((m_root / L"sub").c_str()));
  const wchar_t* const extensions[3] = {L".wav", nullptr, nullptr};
  std::vector<std::wstring> found;
  FindFilesRecursive(found, L"", extensions);
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(Sorted(found), Sorted({L"deep\\d.Wav", L".wav", L"c.wav"}));
}

TEST_F(FindFiles, PathsTooLongForTheBufferAreSkippedNotCut) {
  // A folder chain beyond MAX_PATH, made through the long-path form, with a file at each level.
  std::wstring folder = m_root.Path();
  std::vector<std::wstring> reachable;
  const std::wstring part(40, L'f');
  while (folder.size() < MAX_PATH + 60) {
    folder += L"\\" + part;
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
    const std::wstring file = folder + L"\\k.wav";
    HANDLE handle =
        CreateFileW((L"\\\\?\\" + file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    // Found only when its folder's search pattern and its own path fit.
    if (folder.size() + 2 < MAX_PATH && file.size() < MAX_PATH) reachable.push_back(file);
  }
  ASSERT_FALSE(reachable.empty());
  const wchar_t* const extensions[3] = {L".wav", nullptr, nullptr};
  std::vector<std::wstring> found;
  FindFilesRecursive(found, (m_root / L"sub").c_str(), extensions);
  FindFilesRecursive(found, (m_root.Path() + L"\\" + part).c_str(), extensions);
  std::vector<std::wstring> expected = reachable;
  expected.push_back(m_root / L"sub\\deep\\d.Wav");
  expected.push_back(m_root / L"sub\\.wav");
  expected.push_back(m_root / L"sub\\c.wav");
  EXPECT_EQ(Sorted(found), Sorted(expected));
  for (const std::wstring& path : found) EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);

  found.clear();
  FindFilesRecursive(found, folder.c_str(), extensions);  // the folder's own pattern does not fit
  EXPECT_TRUE(found.empty());
  // The scratch folder's removal does not reach that deep: remove the chain by its long form first.
  while (folder.size() > m_root.Path().size()) {
    DeleteFileW((L"\\\\?\\" + folder + L"\\k.wav").c_str());
    RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
    folder.resize(folder.rfind(L'\\'));
  }
}

std::wstring ClipboardText() {
  std::wstring text = L"<none>";
  if (!OpenClipboard(nullptr)) return L"<not opened>";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    const wchar_t* chars = static_cast<const wchar_t*>(GlobalLock(data));
    const size_t bytes = GlobalSize(data);
    // The text with its terminator and nothing after it: the block holds exactly length + 1 characters
    // (GlobalSize may round up, so the terminator is looked for where the text ends).
    text = chars ? std::wstring(chars, wcsnlen(chars, bytes / sizeof(wchar_t))) : L"<unlocked>";
    GlobalUnlock(data);
  }
  CloseClipboard();
  return text;
}

// The clipboard is closed: another thread can open it (the thread that opened it could open it again).
bool OpenableFromAnotherThread() {
  bool opened = false;
  std::thread other([&] {
    opened = OpenClipboard(nullptr) != FALSE;
    if (opened) CloseClipboard();
  });
  other.join();
  return opened;
}

TEST(CopyTextToClipboard, PutsExactlyTheGivenLength) {
  struct Row {
    const wchar_t* Text;
    ptrdiff_t Length;
    const wchar_t* Expected;
  };
  const Row rows[] = {{L"Card 1234, ключ", -1, L"Card 1234, ключ"},
                      {L"Card 1234, ключ", 4, L"Card"},
                      {L"abc", 0, L""},
                      {L"line 1\r\nline 2", -1, L"line 1\r\nline 2"}};
  for (const Row& row : rows) {
    CopyTextToClipboard(row.Text, row.Length);
    EXPECT_EQ(ClipboardText(), row.Expected);
    EXPECT_TRUE(OpenableFromAnotherThread());
  }
}

TEST(CopyTextToClipboard, AFailureThrowsAndLeavesTheClipboardClosed) {
  CopyTextToClipboard(L"before", -1);
  // A block this large cannot be had: the failure comes after the clipboard was opened.
  const ptrdiff_t huge = ptrdiff_t(1) << 60;
  EXPECT_THROW(CopyTextToClipboard(L"x", huge), COSException);
  EXPECT_TRUE(OpenableFromAnotherThread()) << "left open";

  // Held open by another thread: the clipboard is not ours to open, and its text stays.
  CopyTextToClipboard(L"kept", -1);
  HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread holder([&] {
    HWND own = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    OpenClipboard(own);
    SetEvent(opened);
    WaitForSingleObject(release, 10000);
    CloseClipboard();
    DestroyWindow(own);
  });
  WaitForSingleObject(opened, 10000);
  EXPECT_THROW(CopyTextToClipboard(L"lost", -1), COSException);
  SetEvent(release);
  holder.join();
  CloseHandle(opened);
  CloseHandle(release);
  EXPECT_EQ(ClipboardText(), L"kept");
}

TEST(ListComPorts, ListsTextValuesInUpperCaseAndSkipsWhatDoesNotFit) {
  CFakeDevices devices;
  const std::wstring full(255, L'f');      // 510 bytes and the terminator: the buffer exactly
  const std::wstring fills(256, L'p');     // 512 bytes with no terminator stored
  const std::wstring tooLong(257, L'q');   // 514 bytes and more
  const std::wstring longName(300, L'N');  // beyond the 256-character name buffer
  const DWORD number = 5;
  // Wine enumerates in name order, Windows in the order added: added in name order.
  devices.AddSerialComm(L"\\Device\\A0", L"com3");
  devices.AddSerialCommValue(L"\\Device\\A1", REG_SZ, L"", sizeof(wchar_t));
  devices.AddSerialCommValue(L"\\Device\\A2", REG_DWORD, &number, sizeof number);
  devices.AddSerialComm(L"\\Device\\A3", tooLong.c_str());
  devices.AddSerialComm(L"\\Device\\A4", full.c_str());
  devices.AddSerialComm(L"\\Device\\A5", L"Com10");
  devices.AddSerialCommValue(L"\\Device\\A6", REG_SZ, fills.c_str(), DWORD(fills.size() * sizeof(wchar_t)));
  devices.AddSerialComm((L"\\Device\\A7" + longName).c_str(), L"COM7");
  devices.AddSerialComm(L"\\Device\\A8", L"COM4");

  std::vector<std::wstring> ports = {L"COM99"};
  ListComPorts(ports);
  std::vector<std::wstring> expected = {L"COM99", L"COM3", std::wstring(255, L'F'), L"COM10", L"COM4"};
  // The value without a terminator is listed whole where the registry hands it over (Windows) and left
  // out where the registry wants room for a terminator (Wine); never cut, never run on.
  std::vector<std::wstring> withFilling = expected;
  withFilling.insert(withFilling.begin() + 4, std::wstring(256, L'P'));
  EXPECT_TRUE(ports == expected || ports == withFilling) << testing::PrintToString(ports);
}

TEST(ListComPorts, AMissingMapListsNothingWithoutError) {
  CFakeDevices devices;
  devices.RemoveSerialCommKey();
  std::vector<std::wstring> ports = {L"COM1"};
  EXPECT_NO_THROW(ListComPorts(ports));
  EXPECT_EQ(ports, std::vector<std::wstring>{L"COM1"});
}

std::wstring MenuText(HMENU menu, UINT id) {
  wchar_t text[300] = L"";
  GetMenuStringW(menu, id, text, 300, MF_BYCOMMAND);
  return text;
}

TEST(SetMenuHotKeyTexts, ReplacesTheTextAfterTheLastTabOnceAndForAll) {
  HMENU menu = CreatePopupMenu();
  const std::wstring longText(270, L'L');
  AppendMenuW(menu, MF_STRING, 101, L"Load\tOld");
  AppendMenuW(menu, MF_STRING, 102, L"Save");
  AppendMenuW(menu, MF_STRING, 103, L"A\tB\tC");
  AppendMenuW(menu, MF_STRING, 104, longText.c_str());
  const _HOTKEY_INFO table[] = {
      {VK_F5, 101}, {WORD('S' | 0x200), 102}, {WORD(VK_DELETE | 0x400), 103}, {VK_F2, 104}};
  auto key = [](WORD hotKey) {
    std::wstring text;
    GetHotKeyText(text, hotKey);
    return L"\t" + text;
  };
  // The last item is too long for the 256-character buffer: read up to it, tail added, cut to it.
  const std::wstring expected[] = {L"Load" + key(VK_F5), L"Save" + key('S' | 0x200),
                                   L"A\tB" + key(VK_DELETE | 0x400), std::wstring(255, L'L')};
  ASSERT_EQ(key('S' | 0x200), L"\tCtrl+S");
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    EXPECT_TRUE(SetMenuHotKeyTexts(menu, table, 4));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(MenuText(menu, 101 + i), expected[i]) << i;
  }
  const _HOTKEY_INFO missing[] = {{VK_F5, 101}, {VK_F6, 999}};
  EXPECT_FALSE(SetMenuHotKeyTexts(menu, missing, 2));
  DestroyMenu(menu);
}

class WindowLookups : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX classes = {sizeof classes, ICC_TAB_CLASSES | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&classes);
    m_parent =
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
  }
  void TearDown() override { DestroyWindow(m_parent); }

  HWND m_parent = nullptr;
};

TEST_F(WindowLookups, FindTabByParamAndFindComboItemByData) {
  HWND tab =
      CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD, 0, 0, 200, 100, m_parent, nullptr, nullptr, nullptr);
  HWND combo = CreateWindowExW(0, L"COMBOBOX", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 100, 100, m_parent,
                               nullptr, nullptr, nullptr);
  ASSERT_TRUE(tab && combo);
  EXPECT_EQ(FindTabByParam(tab, 10), -1);  // no items
  EXPECT_EQ(FindComboItemByData(combo, 10), -1);
  const LPARAM values[] = {10, 20, 20, -7};
  for (int i = 0; i < 4; ++i) {
    TCITEMW item = {};
    item.mask = TCIF_TEXT | TCIF_PARAM;
    wchar_t text[] = L"tab";
    item.pszText = text;
    item.lParam = values[i];
    SendMessageW(tab, TCM_INSERTITEMW, i, LPARAM(&item));
    const LRESULT index = SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(L"item"));
    SendMessageW(combo, CB_SETITEMDATA, WPARAM(index), values[i]);
  }
  struct Row {
    LPARAM Value;
    int Expected;
  };
  for (const Row& row : {Row{10, 0}, Row{20, 1}, Row{-7, 3}, Row{30, -1}, Row{0, -1}}) {
    EXPECT_EQ(FindTabByParam(tab, row.Value), row.Expected) << row.Value;
    EXPECT_EQ(FindComboItemByData(combo, row.Value), row.Expected) << row.Value;
  }
}

TEST_F(WindowLookups, SetChildFontProcGivesEveryChildTheFont) {
  HWND children[3];
  for (HWND& child : children) {
    child = CreateWindowExW(0, L"BUTTON", L"b", WS_CHILD, 0, 0, 50, 20, m_parent, nullptr, nullptr, nullptr);
  }
  HFONT font = CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Arial");
  EnumChildWindows(m_parent, &SetChildFontProc, LPARAM(font));
  for (HWND child : children) EXPECT_EQ(HFONT(SendMessageW(child, WM_GETFONT, 0, 0)), font);
  DestroyWindow(m_parent);
  m_parent = nullptr;
  DeleteObject(font);
}

TEST(FindRegJump, FindsTheToolOnTheSearchPath) {
  ScratchFolder folder;
  WriteBytes(folder / L"regjump.exe", "MZ");
  std::wstring savedPath(32767, L'\0');
  savedPath.resize(GetEnvironmentVariableW(L"PATH", &savedPath[0], 32767));
  SetEnvironmentVariableW(L"PATH", (folder.Path() + L";" + savedPath).c_str());
  std::wstring found = L"junk";
  const bool ok = FindRegJump(found);
  SetEnvironmentVariableW(L"PATH", savedPath.c_str());
  EXPECT_TRUE(ok);
  EXPECT_EQ(CompareStringOrdinal(found.c_str(), -1, (folder / L"regjump.exe").c_str(), -1, TRUE), CSTR_EQUAL)
      << found;
}

}  // namespace
