#pragma once
// Window tests run as many processes side by side on one desktop: a dialog or popup menu is looked for
// among the calling thread's own windows, never desktop-wide, where another case's window may answer.
#include <windows.h>

#include <cwchar>

// The first top-level window of this thread with class `cls` (and caption `title` when given); a popup
// menu counts only while shown, a dialog also before the modal loop first shows it.
inline HWND FindThreadWindow(const wchar_t* cls, const wchar_t* title = nullptr) {
  struct Query {
    const wchar_t* cls;
    const wchar_t* title;
    HWND found;
  } query{cls, title, nullptr};
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND wnd, LPARAM param) -> BOOL {
        auto* q = reinterpret_cast<Query*>(param);
        wchar_t name[64] = L"";
        GetClassNameW(wnd, name, 64);
        if (wcscmp(name, q->cls) != 0) return TRUE;
        if (wcscmp(name, L"#32768") == 0 && !IsWindowVisible(wnd)) return TRUE;
        if (q->title) {
          wchar_t caption[256] = L"";
          GetWindowTextW(wnd, caption, 256);
          if (wcscmp(caption, q->title) != 0) return TRUE;
        }
        q->found = wnd;
        return FALSE;
      },
      LPARAM(&query));
  return query.found;
}
