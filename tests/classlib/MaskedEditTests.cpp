// The masked edit driven with real messages (WM_CHAR, WM_KEYDOWN with held modifiers, mouse, cut and
// paste through the clipboard, WM_SETTEXT/WM_GETTEXT): one keystroke script per row, observed through the
// control's own text, its selection and the beeps counted behind the beep seam.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "Core.h"
#include "MaskedEdit.h"
#include "Wnd.h"
#include "classlib/ObjectWindowClass.h"

namespace {

CWindowTestApp theApp;

const wchar_t kParentClass[] = L"MaskedEditTestsParent";
const wchar_t kKeyMask[] = L"ddd,ddddd";
const wchar_t kKeyTemplate[] = L"___,_____";
const wchar_t kHex[] = L"0123456789abcdefABCDEF";

int g_beeps = 0;
BOOL WINAPI CountBeep(UINT) {
  ++g_beeps;
  return TRUE;
}

enum ActionKind { kNone, kChar, kKey, kSetText, kDrag, kCut, kClear, kPaste };
enum : int { kShift = 1, kCtrl = 2 };

struct Action {
  ActionKind kind;
  UINT code;            // character or virtual key; drag: the start position
  int modifiers;        // keys: kShift | kCtrl; drag: the end position
  const wchar_t* text;  // WM_SETTEXT's text or the clipboard's
};

Action Char(wchar_t ch) { return {kChar, ch, 0, nullptr}; }
Action Key(UINT vk, int modifiers = 0) { return {kKey, vk, modifiers, nullptr}; }
Action SetText(const wchar_t* text) { return {kSetText, 0, 0, text}; }
Action Drag(int from, int to) { return {kDrag, UINT(from), to, nullptr}; }
Action Cut() { return {kCut, 0, 0, nullptr}; }
Action Clear() { return {kClear, 0, 0, nullptr}; }
Action Paste(const wchar_t* text) { return {kPaste, 0, 0, text}; }

struct ScriptCase {
  const char* name;
  const wchar_t* mask;  // null: no SetMask
  const wchar_t* inputTemplate;
  const wchar_t* valid;
  DWORD style;
  const wchar_t* text;  // set with WM_SETTEXT before the action (literals included)
  int selStart, selEnd;
  Action action;
  const wchar_t* expectText;  // the control's own text afterwards
  int expectStart, expectEnd;
  int beeps;
};

class MaskedEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_hInstance = g_hResInstance = GetModuleHandleW(nullptr);
    ASSERT_TRUE(RegisterObjectWindowClass(kParentClass));
    ASSERT_TRUE(parent.Create(0, kParentClass, L"Parent", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 200,
                              nullptr, 0))
        << "no display: run the tests through the project's test command";
    GetKeyboardState(m_savedKeys);
    MessageBeepSeam.MessageBeep = &CountBeep;
    g_beeps = 0;
  }
  void TearDown() override {
    SetKeyboardState(m_savedKeys);
    MessageBeepSeam.MessageBeep = nullptr;
  }

  void MakeEdit(CMaskedEdit& edit, DWORD style) {
    ASSERT_TRUE(edit.Create(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL | style, 10, 10, 300, 24,
                            parent.hwnd, 100));
    SetFocus(edit.hwnd);
  }

  void HoldModifiers(int modifiers) {
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_SHIFT] = (modifiers & kShift) ? 0x80 : 0;
    keys[VK_CONTROL] = (modifiers & kCtrl) ? 0x80 : 0;
    ASSERT_TRUE(SetKeyboardState(keys));
  }

  // What the edit control really shows, past the object's own WM_GETTEXT.
  static std::wstring ShownText(CMaskedEdit& edit) {
    wchar_t buffer[128] = L"";
    CallWindowProcW(edit.savedProc, edit.hwnd, WM_GETTEXT, 128, LPARAM(buffer));
    return buffer;
  }

  static std::pair<int, int> Selection(HWND edit) {
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, WPARAM(&start), LPARAM(&end));
    return {int(start), int(end)};
  }

  bool PutOnClipboard(const wchar_t* text) {
    if (!OpenClipboard(parent.hwnd)) return false;
    EmptyClipboard();
    const size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    memcpy(GlobalLock(memory), text, bytes);
    GlobalUnlock(memory);
    const bool put = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    CloseClipboard();
    return put;
  }

  // A point inside the character at `position` (its left edge, half a line down).
  static LPARAM PointOf(HWND edit, int position) {
    const LRESULT at = SendMessageW(edit, EM_POSFROMCHAR, WPARAM(position), 0);
    return MAKELPARAM(LOWORD(at) + 1, HIWORD(at) + 4);
  }

  void Run(CMaskedEdit& edit, const Action& action) {
    switch (action.kind) {
      case kNone:
        break;
      case kChar:
        SendMessageW(edit.hwnd, WM_CHAR, action.code, 1);
        break;
      case kKey:
        HoldModifiers(action.modifiers);
        SendMessageW(edit.hwnd, WM_KEYDOWN, action.code, 1);
        HoldModifiers(0);
        break;
      case kSetText:
        SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(action.text));
        break;
      case kDrag: {
        const LPARAM from = PointOf(edit.hwnd, int(action.code));
        const LPARAM to = PointOf(edit.hwnd, action.modifiers);
        SendMessageW(edit.hwnd, WM_LBUTTONDOWN, MK_LBUTTON, from);
        SendMessageW(edit.hwnd, WM_MOUSEMOVE, MK_LBUTTON, to);
        ASSERT_EQ(Selection(edit.hwnd), std::make_pair(int(action.code), action.modifiers))
            << "the control did not select by mouse";
        SendMessageW(edit.hwnd, WM_LBUTTONUP, 0, to);
        break;
      }
      case kCut:
        SendMessageW(edit.hwnd, WM_CUT, 0, 0);
        break;
      case kClear:
        SendMessageW(edit.hwnd, WM_CLEAR, 0, 0);
        break;
      case kPaste:
        ASSERT_TRUE(PutOnClipboard(action.text));
        SendMessageW(edit.hwnd, WM_PASTE, 0, 0);
        break;
    }
  }

  CWnd parent;

 private:
  BYTE m_savedKeys[256]{};
};

// ---- Keystroke scripts ----

TEST_F(MaskedEditTest, KeystrokeScripts) {
  const wchar_t* const m = kKeyMask;
  const wchar_t* const t = kKeyTemplate;
  const ScriptCase cases[] = {
      // Setting the text.
      {"short text is padded with fill", m, t, nullptr, 0, L"", 0, 0, SetText(L"12"), L"120,00000", 0, 0, 0},
      {"letter in an input place is refused", m, t, nullptr, 0, L"123,45678", 0, 0, SetText(L"12a,00000"),
       L"123,45678", 0, 0, 0},
      {"wrong literal is refused", m, t, nullptr, 0, L"123,45678", 0, 0, SetText(L"123.45678"), L"123,45678",
       0, 0, 0},
      {"too long a text is refused", m, t, nullptr, 0, L"123,45678", 0, 0, SetText(L"123,456789"),
       L"123,45678", 0, 0, 0},
      {"valid chars refuse a digit", L"DD", L"__", L"01", 0, L"10", 0, 0, SetText(L"12"), L"10", 0, 0, 0},
      // Typing.
      {"digit overwrites and moves on", m, t, nullptr, 0, L"123,45678", 1, 1, Char(L'9'), L"193,45678", 2, 2,
       0},
      {"last place of a group jumps to the next", m, t, nullptr, 0, L"123,45678", 2, 2, Char(L'9'),
       L"129,45678", 4, 4, 0},
      {"letter beeps and changes nothing", m, t, nullptr, 0, L"123,45678", 2, 2, Char(L'x'), L"123,45678", 2,
       2, 1},
      {"typing at a group's end goes on in the next", m, t, nullptr, 0, L"123,45678", 3, 3, Char(L'9'),
       L"123,95678", 5, 5, 0},
      {"typing after the last group beeps", m, t, nullptr, 0, L"123,45678", 9, 9, Char(L'9'), L"123,45678", 9,
       9, 1},
      {"selection across the literal beeps and selects the group", m, t, nullptr, 0, L"123,45678", 1, 6,
       Char(L'9'), L"123,45678", 0, 3, 1},
      {"typed over a selection: the run closes up", m, t, nullptr, 0, L"123,45678", 5, 7, Char(L'9'),
       L"123,49780", 6, 6, 0},
      {"selection over two mask runs beeps and selects the run", L"DDdd", L"____", nullptr, 0, L"1234", 1, 3,
       Char(L'9'), L"1234", 0, 2, 1},
      {"upper-case style enters 'A' for 'a'", L"AA", L"__", L"0123456789ABCDEF", ES_UPPERCASE, L"00", 0, 0,
       Char(L'a'), L"A0", 1, 1, 0},
      {"hex valid chars refuse 'g'", L"AA", L"__", kHex, 0, L"00", 0, 0, Char(L'g'), L"00", 0, 0, 1},
      {"no mask: valid chars filter insertion", nullptr, nullptr, L"01", 0, L"10", 2, 2, Char(L'1'), L"101",
       3, 3, 0},
      {"no mask: a refused character beeps", nullptr, nullptr, L"01", 0, L"10", 2, 2, Char(L'5'), L"10", 2, 2,
       1},
      {"no mask at all: anything goes", nullptr, nullptr, nullptr, 0, L"ab", 2, 2, Char(L'z'), L"abz", 3, 3,
       0},
      // Deleting.
      {"backspace at a group's start only moves", m, t, nullptr, 0, L"123,45678", 4, 4, Key(VK_BACK),
       L"123,45678", 3, 3, 0},
      {"backspace at the first group's start beeps", m, t, nullptr, 0, L"123,45678", 0, 0, Key(VK_BACK),
       L"123,45678", 0, 0, 1},
      {"backspace closes up the run", m, t, nullptr, 0, L"123,45678", 6, 6, Key(VK_BACK), L"123,46780", 5, 5,
       0},
      {"delete closes up the group, other untouched", m, t, nullptr, 0, L"123,45678", 5, 5, Key(VK_DELETE),
       L"123,46780", 5, 5, 0},
      {"delete at a group's end beeps", m, t, nullptr, 0, L"123,45678", 3, 3, Key(VK_DELETE), L"123,45678", 3,
       3, 1},
      {"delete of a selection pads the run", m, t, nullptr, 0, L"123,45678", 0, 2, Key(VK_DELETE),
       L"300,45678", 0, 0, 0},
      {"delete of a selection across groups selects the group", m, t, nullptr, 0, L"123,45678", 2, 5,
       Key(VK_DELETE), L"123,45678", 0, 3, 1},
      {"backspace closes up only its own mask run", L"DDdd", L"____", nullptr, 0, L"12 4", 1, 1, Key(VK_BACK),
       L"20 4", 0, 0, 0},
      // Moving.
      {"Home goes to the group's start", m, t, nullptr, 0, L"123,45678", 7, 7, Key(VK_HOME), L"123,45678", 4,
       4, 0},
      {"End goes to the group's end", m, t, nullptr, 0, L"123,45678", 1, 1, Key(VK_END), L"123,45678", 3, 3,
       0},
      {"Left at a group's start jumps back", m, t, nullptr, 0, L"123,45678", 4, 4, Key(VK_LEFT), L"123,45678",
       3, 3, 0},
      {"Left at the first place beeps", m, t, nullptr, 0, L"123,45678", 0, 0, Key(VK_LEFT), L"123,45678", 0,
       0, 1},
      {"Right at a group's end jumps on", m, t, nullptr, 0, L"123,45678", 3, 3, Key(VK_RIGHT), L"123,45678",
       4, 4, 0},
      {"Right at the end beeps", m, t, nullptr, 0, L"123,45678", 9, 9, Key(VK_RIGHT), L"123,45678", 9, 9, 1},
      {"Right with a selection lands past its end", m, t, nullptr, 0, L"123,45678", 4, 6, Key(VK_RIGHT),
       L"123,45678", 7, 7, 0},
      {"Shift+Right stops at the group's end", m, t, nullptr, 0, L"123,45678", 1, 3, Key(VK_RIGHT, kShift),
       L"123,45678", 1, 3, 0},
      {"Shift+Left stops at the group's start", m, t, nullptr, 0, L"123,45678", 4, 6, Key(VK_LEFT, kShift),
       L"123,45678", 4, 6, 0},
      {"Ctrl+Left selects the current group", m, t, nullptr, 0, L"123,45678", 6, 6, Key(VK_LEFT, kCtrl),
       L"123,45678", 4, 9, 0},
      {"Ctrl+Left from a group's start selects the previous", m, t, nullptr, 0, L"123,45678", 4, 9,
       Key(VK_LEFT, kCtrl), L"123,45678", 0, 3, 0},
      {"Ctrl+Left with nothing before beeps", m, t, nullptr, 0, L"123,45678", 0, 3, Key(VK_LEFT, kCtrl),
       L"123,45678", 0, 3, 1},
      {"Ctrl+Right selects the next group", m, t, nullptr, 0, L"123,45678", 0, 3, Key(VK_RIGHT, kCtrl),
       L"123,45678", 4, 9, 0},
      {"Ctrl+Right at the last group beeps", m, t, nullptr, 0, L"123,45678", 4, 9, Key(VK_RIGHT, kCtrl),
       L"123,45678", 4, 9, 1},
      {"Insert is swallowed", m, t, nullptr, 0, L"123,45678", 2, 2, Key(VK_INSERT), L"123,45678", 2, 2, 0},
      {"a template without input places refuses every key", L"dd", L"--", nullptr, 0, L"--", 0, 0,
       Key(VK_HOME), L"--", 0, 0, 1},
      // Mouse, cut and paste.
      {"mouse selection is cut back into its group", m, t, nullptr, 0, L"123,45678", 0, 0, Drag(1, 6),
       L"123,45678", 1, 3, 0},
      {"cut breaking the template is refused", m, t, nullptr, 0, L"123,45678", 0, 2, Cut(), L"123,45678", 0,
       0, 1},
      {"cut at the end pads the group", m, t, nullptr, 0, L"123,45678", 7, 9, Cut(), L"123,45600", 4, 4, 0},
      {"clear at the end pads the group", m, t, nullptr, 0, L"123,45678", 8, 9, Clear(), L"123,45670", 4, 4,
       0},
      {"paste that fits overwrites", m, t, nullptr, 0, L"123,45678", 5, 5, Paste(L"99"), L"123,49978", 4, 4,
       0},
      {"paste past the template is refused", m, t, nullptr, 0, L"123,45678", 6, 6, Paste(L"9999"),
       L"123,45678", 4, 4, 1},
      {"paste over the literal is refused", m, t, nullptr, 0, L"123,45678", 0, 0, Paste(L"12345"),
       L"123,45678", 0, 0, 1},
      {"no mask: paste replaces the selection", nullptr, nullptr, nullptr, 0, L"abcd", 1, 3, Paste(L"X"),
       L"aXd", 1, 1, 0},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMaskedEdit edit;
    MakeEdit(edit, c.style);
    if (c.mask) edit.SetMask(c.mask, c.inputTemplate, c.valid);
    if (!c.mask && c.valid) edit.validChars = c.valid;
    edit.getInputOnly = false;
    ASSERT_TRUE(SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(c.text)));
    SendMessageW(edit.hwnd, EM_SETSEL, WPARAM(c.selStart), LPARAM(c.selEnd));
    g_beeps = 0;
    Run(edit, c.action);
    const std::wstring expect = c.expectText;
    EXPECT_EQ(ShownText(edit), expect);
    EXPECT_EQ(edit.value, expect) << "the object's value left the control's text";
    EXPECT_EQ(Selection(edit.hwnd), std::make_pair(c.expectStart, c.expectEnd));
    EXPECT_EQ(g_beeps, c.beeps);
    edit.Destroy();
  }
}

// ---- Text in and out ----

TEST_F(MaskedEditTest, SetTextAnswersFalseWhenRefused) {
  CMaskedEdit edit;
  MakeEdit(edit, 0);
  edit.SetMask(kKeyMask, kKeyTemplate, nullptr);
  EXPECT_TRUE(SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"1")));
  EXPECT_FALSE(SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"x")));
  EXPECT_EQ(ShownText(edit), L"100,00000");
  // Input characters only, the literals supplied by the template.
  edit.setInputOnly = true;
  EXPECT_TRUE(SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"98765")));
  EXPECT_EQ(ShownText(edit), L"987,65000");
  EXPECT_FALSE(SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"123456789")));
  EXPECT_EQ(ShownText(edit), L"987,65000");
}

struct GetTextCase {
  const char* name;
  bool inputOnly;
  bool raw;
  int bufferSize;
  const wchar_t* expect;
  LRESULT answer;
};

TEST_F(MaskedEditTest, GetTextCopiesWhatFitsWithItsNul) {
  const GetTextCase cases[] = {
      {"whole value", false, false, 64, L"123,45678", 9},
      {"buffer of exactly the length", false, false, 9, L"123,4567", 8},
      {"input only", true, false, 64, L"12345678", 8},
      {"input only, short buffer", true, false, 3, L"12", 2},
      {"size 1 gives only the NUL", false, false, 1, L"", 0},
      {"size 0 writes nothing", false, false, 0, L"untouched", 0},
      {"raw text is the control's", true, true, 64, L"123,45678", 9},
  };
  CMaskedEdit edit;
  MakeEdit(edit, 0);
  edit.SetMask(kKeyMask, kKeyTemplate, nullptr);
  SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"123,45678"));
  for (const GetTextCase& c : cases) {
    SCOPED_TRACE(c.name);
    edit.getInputOnly = c.inputOnly;
    edit.rawText = c.raw;
    wchar_t buffer[64] = L"untouched";
    EXPECT_EQ(SendMessageW(edit.hwnd, WM_GETTEXT, WPARAM(c.bufferSize), LPARAM(buffer)), c.answer);
    EXPECT_STREQ(buffer, c.expect);
    EXPECT_EQ(SendMessageW(edit.hwnd, WM_GETTEXTLENGTH, 0, 0), c.raw || !c.inputOnly ? 9 : 8);
  }
}

// ---- Value rules ----

struct ValueCase {
  const char* name;
  const wchar_t* valid;
  const wchar_t* text;
  bool withLiterals;
  bool accepted;
  const wchar_t* value;
  const wchar_t* input;
};

TEST_F(MaskedEditTest, SetValueLaysTextOverTheTemplate) {
  const ValueCase cases[] = {
      {"with literals", nullptr, L"12,3", true, true, L"12,3000", L"123000"},
      {"without literals", nullptr, L"1234", false, true, L"12,3400", L"123400"},
      {"a letter after the fill character", nullptr, L"0A", false, false, L"00,0000", L"000000"},
      {"blank fits 'd'", nullptr, L"1 ", false, true, L"1 ,0000", L"1 0000"},
      {"too many input characters", nullptr, L"1234567", false, false, L"00,0000", L"000000"},
      {"valid characters refuse", L"0123", L"14", false, false, L"00,0000", L"000000"},
      {"valid characters ignore fill", L"123", L"10", false, true, L"10,0000", L"100000"},
      {"literal mismatch", nullptr, L"12;3", true, false, L"00,0000", L"000000"},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.name);
    CMaskedEdit edit;
    edit.SetMask(L"dd,dddd", L"__,____", c.valid);
    edit.SetValue(L"", false);
    EXPECT_EQ(edit.SetValue(c.text, c.withLiterals), c.accepted);
    EXPECT_EQ(edit.value, c.value);
    std::wstring input;
    edit.GetValue(input);
    EXPECT_EQ(input, c.input);
  }
}

struct ClassCase {
  wchar_t maskChar;
  const wchar_t* accepted;
  const wchar_t* refused;
};

TEST_F(MaskedEditTest, MaskClassesAcceptTheirCharacters) {
  const ClassCase cases[] = {
      {L'*', L"aZ5-. \t", L"\n\x01"}, {L'+', L"+- \t", L"a5*"},    {L'A', L"aZ5\x0416", L" -"},
      {L'a', L"aZ5 \t", L"-*"},       {L'C', L"aZ\x0416", L"5 -"}, {L'c', L"aZ ", L"5-"},
      {L'D', L"059", L"a -"},         {L'd', L"05 ", L"a-"},       {L'x', L"", L"a5 -x"},
  };
  CMaskedEdit edit;
  for (const ClassCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << char(c.maskChar));
    for (const wchar_t* ch = c.accepted; *ch; ++ch)
      EXPECT_TRUE(edit.IsValidChar(*ch, c.maskChar)) << int(*ch);
    for (const wchar_t* ch = c.refused; *ch; ++ch)
      EXPECT_FALSE(edit.IsValidChar(*ch, c.maskChar)) << int(*ch);
  }
}

TEST_F(MaskedEditTest, TypingThroughTheMessageQueueFillsBothGroups) {
  CMaskedEdit edit;
  MakeEdit(edit, 0);
  edit.SetMask(kKeyMask, kKeyTemplate, nullptr);
  edit.getInputOnly = false;
  SendMessageW(edit.hwnd, WM_SETTEXT, 0, LPARAM(L"000,00000"));
  SendMessageW(edit.hwnd, EM_SETSEL, 0, 0);
  for (const wchar_t* ch = L"12345678"; *ch; ++ch) PostMessageW(edit.hwnd, WM_CHAR, *ch, 1);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_EQ(ShownText(edit), L"123,45678");
  EXPECT_EQ(g_beeps, 0);
  wchar_t buffer[16] = L"";
  GetWindowTextW(edit.hwnd, buffer, 16);
  EXPECT_STREQ(buffer, L"123,45678");
}

}  // namespace
