#include "MessageBox.h"

#include <string>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "Wnd.h"

CMessageBoxSeam MessageBoxSeam;

namespace {

using TaskDialogIndirectProc = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

TaskDialogIndirectProc FindTaskDialogIndirect() {
  if (MessageBoxSeam.NoTaskDialog) return nullptr;
  if (MessageBoxSeam.TaskDialogIndirect) return MessageBoxSeam.TaskDialogIndirect;
  HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
  if (!comctl) return nullptr;
  return reinterpret_cast<TaskDialogIndirectProc>(
      reinterpret_cast<void*>(GetProcAddress(comctl, "TaskDialogIndirect")));
}

HWND OwnerOrMainWindow(HWND owner) {
  if (owner) return owner;
  return g_app && g_app->mainWnd ? g_app->mainWnd->hwnd : nullptr;
}

// The buttons of each MB_ type, in the order they are shown.
struct ButtonSet {
  int Count;
  int Ids[3];
};

ButtonSet ButtonsOfType(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {2, {IDOK, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
      return {3, {IDABORT, IDRETRY, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {3, {IDYES, IDNO, IDCANCEL}};
    case MB_YESNO:
      return {2, {IDYES, IDNO}};
    case MB_RETRYCANCEL:
      return {2, {IDRETRY, IDCANCEL}};
    case MB_CANCELTRYCONTINUE:
      return {3, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}};
    default:
      return {1, {IDOK}};
  }
}

}  // namespace

int ShowTaskDialog(const wchar_t* text, UINT type, HWND owner, bool* doNotAsk) {
  TaskDialogIndirectProc taskDialog = FindTaskDialogIndirect();
  if (!taskDialog) return 0;

  TASKDIALOGCONFIG config{};
  config.cbSize = sizeof config;
  config.hInstance = g_hResInstance;
  config.hwndParent = OwnerOrMainWindow(owner);
  config.dwFlags = TDF_POSITION_RELATIVE_TO_WINDOW;

  // Texts are loaded here rather than left to the task dialog as ids, so they follow the same language
  // choice as every other string of the program.
  std::wstring title;
  std::wstring content;
  std::wstring verification;
  LoadStr(IDS_APP_CAPTION, title);
  config.pszWindowTitle = title.c_str();
  if (IS_INTRESOURCE(text)) {
    LoadStr(UINT(reinterpret_cast<UINT_PTR>(text)), content);
    config.pszContent = content.c_str();
  } else {
    config.pszContent = text;
  }

  const ButtonSet set = ButtonsOfType(type);
  std::wstring buttonTexts[3];
  TASKDIALOG_BUTTON buttons[3]{};
  for (int i = 0; i < set.Count; ++i) {
    LoadStr(IDS_BUTTON_BASE + UINT(set.Ids[i]), buttonTexts[i]);
    buttons[i].nButtonID = set.Ids[i];
    buttons[i].pszButtonText = buttonTexts[i].c_str();
  }
  config.cButtons = UINT(set.Count);
  config.pButtons = buttons;

  switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
      config.pszMainIcon = TD_ERROR_ICON;
      break;
    case MB_ICONQUESTION:
      config.hMainIcon = static_cast<HICON>(LoadImageW(nullptr, IDI_QUESTION, IMAGE_ICON, 32, 32, LR_SHARED));
      config.dwFlags |= TDF_USE_HICON_MAIN;
      break;
    case MB_ICONWARNING:
      config.pszMainIcon = TD_WARNING_ICON;
      break;
    case MB_ICONINFORMATION:
      config.pszMainIcon = TD_INFORMATION_ICON;
      break;
    case 0x80:
      config.pszMainIcon = TD_SHIELD_ICON;
      break;
    default:
      break;
  }

  const int defaultIndex = int((type >> 8) & 0xF);
  if (defaultIndex > 0 && defaultIndex < set.Count) config.nDefaultButton = set.Ids[defaultIndex];

  if (doNotAsk) {
    LoadStr(IDS_DO_NOT_ASK, verification);
    config.pszVerificationText = verification.c_str();
    if (*doNotAsk) config.dwFlags |= TDF_VERIFICATION_FLAG_CHECKED;
  }

  int button = 0;
  BOOL verified = FALSE;
  if (FAILED(taskDialog(&config, &button, nullptr, doNotAsk ? &verified : nullptr))) return 0;
  if (doNotAsk) *doNotAsk = verified != FALSE;
  return button;
}

int ShowMessageBox(const wchar_t* text, UINT type, HWND owner, bool* doNotAsk) {
  // Where comctl32 has no task dialog (no Common Controls 6.0) the plain box still shows the text, so an
  // error is seen and a question is really asked.
  if (IsWindowsVistaOrLater() && FindTaskDialogIndirect()) return ShowTaskDialog(text, type, owner, doNotAsk);
  std::wstring loaded;
  if (IS_INTRESOURCE(text)) {
    LoadStr(UINT(reinterpret_cast<UINT_PTR>(text)), loaded);
    text = loaded.c_str();
  }
  std::wstring caption;
  LoadStr(IDS_APP_CAPTION, caption);
  auto messageBox = MessageBoxSeam.MessageBox ? MessageBoxSeam.MessageBox : &MessageBoxW;
  return messageBox(OwnerOrMainWindow(owner), text, caption.c_str(), type);
}

int ShowMessageBoxRes(UINT id, UINT type, HWND owner, bool* doNotAsk) {
  std::wstring text;
  LoadStr(id, text);
  return ShowMessageBox(text.c_str(), type, owner, doNotAsk);
}
