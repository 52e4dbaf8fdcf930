// The configurator's main window: a tab control hosting the six pages, the Load/Save/Reset all/Help
// buttons with a status line, the About item of the system menu, accelerators, the tooltip control the
// pages share and the event-sound player. GUI thread only.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <cstdint>

#include "AppPage.h"
#include "Controls.h"
#include "Wnd.h"

class CDocument;

// Tab order of the pages; each page's dialog template is kPageTemplateFirst + its index.
enum PAGE_INDEX { PAGE_MAIN, PAGE_FORMATS, PAGE_READ_KEYS, PAGE_SOUND, PAGE_ADVANCED, PAGE_TEST, PAGE_COUNT };
constexpr UINT kPageTemplateFirst = 950;

// The system calls behind the event sounds. The program keeps the system's; a test puts its own in.
struct CSoundSeam {
  // Null: the system's PlaySoundW.
  BOOL(WINAPI* PlaySoundProc)(LPCWSTR sound, HMODULE module, DWORD flags) = nullptr;
  // Null: the system's mciSendStringW.
  MCIERROR(WINAPI* MciSendStringProc)(LPCWSTR command, LPWSTR answer, UINT answerChars,
                                      HWND notify) = nullptr;
};
extern CSoundSeam SoundSeam;

class CMainFrame : public CWnd {
 public:
  CMainFrame();
  // Destroys the window when it still exists, then the tooltip control and the remaining pages.
  ~CMainFrame() override;

  // Accelerator table 109 for keyboard messages, then IsDialogMessageW of this window for keyboard and
  // mouse messages (TAB between the buttons and the tab control).
  bool PreTranslateMessage(MSG* message) override;
  LRESULT WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) override;
  // Load, Save, Reset all, Help and About; other commands are reflected to the control's object.
  bool OnCommand(UINT id, UINT notifyCode, HWND control) override;
  // The tab control's selection change; other notifications are reflected to the sender's object.
  bool OnNotify(UINT id, NMHDR* header, LRESULT* result) override;

  // Shows page `index` (-1: none), creating it on its first selection. False when its dialog could not
  // be made (no page is current then).
  bool SelectPage(int index);
  // The page in slot `index`, null until it was first selected.
  CAppPage* GetPage(int index) const { return index >= 0 && index < PAGE_COUNT ? pages[index] : nullptr; }
  // Puts the current page over the tab control's display area: of the tab control's client rectangle
  // when cx is -1, else of (0, 0, cx, cy); into `batch` when one is given.
  void LayoutPage(int cx, int cy, HDWP batch);

  // Each asks first when its ConfirmFlags bit is set; false when refused or failed (the status line
  // then holds the error).
  bool OnLoad();
  bool OnSave();
  bool OnResetAll();
  // The Test page's settings-saved flag (no Test page yet: nothing to tell).
  void SetSettingsSaved(bool saved);
  // True when the window may close. Saves the layout on every exit; the settings and the format list only
  // after "Yes" to "Save changes?". A failed save asks whether to quit anyway.
  bool QueryClose();
  // Plays the document's sound file of `event` (0..6): a WAV file with PlaySoundW, anything else as the
  // MCI device "media", which notifies this window when it ends.
  void PlayEventSound(int event);
  void StopSound();
  // Stops the MCI sound that plays now; the device stays open, so it plays again from the start.
  void StopMedia();
  void ShowAbout();
  // statusCommand = command; the line shows string `stringId` formatted with the arguments, or nothing
  // for id 0.
  void SetStatusText(UINT command, UINT stringId, ...);
  // The view callback of the settings document.
  static void OnSettingsChanged(void* owner, CDocument* document, const uint64_t* hints);

  HWND focusWnd = nullptr;  // the focus when the window was last deactivated
  HACCEL accelerators = nullptr;
  HFONT font = nullptr;  // owned
  HWND tabCtrl = nullptr;
  int currentPage = -1;
  CAppPage* pages[PAGE_COUNT] = {};  // owned
  HWND buttons[4] = {};              // Load, Save, Reset all, Help
  HWND statusCtrl = nullptr;
  UINT statusCommand = 0;  // the command whose outcome the status line shows
  CToolTipCtrl tooltips;
  int viewIndex = -1;      // registration with the settings document
  int openSound = -1;      // the event whose sound file is open or playing
  int mciSound = -1;       // the event whose MCI playback runs and will notify this window
  bool waveSound = false;  // the open sound is a WAV file (else the MCI device "media")

 private:
  LRESULT OnCreate();
  void OnDestroy();
  void OnSize(UINT type, int cx, int cy);
  void OnHelp();
  // True when the command may run: its flag is clear, or the question was answered OK. A ticked
  // "Do not ask" clears the flag whatever the answer.
  bool Confirm(UINT flag);
  // Stores `page` in slot `index`, deleting what was there unless it is the same object.
  void SetPage(int index, CAppPage* page);
  void DeletePages();
  void RefreshPages();
  // The help context of the current page: its dialog id, 0 without a page.
  UINT CurrentHelpId() const;
  void CloseOpenSound();
};
