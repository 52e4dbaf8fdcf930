#include "AboutDialog.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <vector>

#include "ConfigResourceIds.h"
#include "Core.h"

const char CAboutDialog::kBuildDate[] = __DATE__;
const char CAboutDialog::kBuildTime[] = __TIME__;

namespace {

// The program's own path; empty when even the largest buffer is filled completely or the call fails.
std::wstring OwnModulePath() {
  std::vector<wchar_t> buffer;
  for (DWORD size = MAX_PATH; size <= 16640; size *= 2) {
    buffer.resize(size);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) break;
    if (length < size) return std::wstring(buffer.data(), length);
  }
  return std::wstring();
}

}  // namespace

CAboutDialog::~CAboutDialog() {
  if (IsRealHandle(hwnd)) Destroy();
  if (titleFont) DeleteObject(titleFont);
}

void CAboutDialog::FormatBuildDate(const char* date, const char* time, std::wstring& out) {
  out.clear();
  char month[4] = "";
  int day = 0;
  int year = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (std::sscanf(date, "%3s %d %d", month, &day, &year) != 3 || std::strlen(month) != 3) return;
  if (std::sscanf(time, "%d:%d:%d", &hour, &minute, &second) != 3) return;
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char* found = std::strstr(kMonths, month);
  if (!found || (found - kMonths) % 3 != 0) return;
  std::tm parts = {};
  parts.tm_year = year - 1900;
  parts.tm_mon = int(found - kMonths) / 3;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  parts.tm_isdst = -1;
  const time_t value = year >= 1900 ? std::mktime(&parts) : 0;
  if (value == time_t(-1)) return;
  std::tm local = {};
  if (localtime_s(&local, &value) != 0) return;
  wchar_t text[128];
  const size_t length = std::wcsftime(text, 128, L"%x", &local);
  out.assign(text, length);
}

LRESULT CAboutDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_DESTROY:
      if (titleFont) DeleteObject(titleFont);
      titleFont = nullptr;
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

bool CAboutDialog::OnCommand(UINT id, UINT, HWND) {
  if (id != IDOK && id != IDCANCEL) return false;
  EndDialog(int(id));
  return true;
}

BOOL CAboutDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();

  std::wstring text;
  LoadStr(IDS_APP_CAPTION, text);
  SetDlgItemTextW(hwnd, IDC_ABOUT_TITLE, text.c_str());

  // The title in 18-point bold Arial; without the dialog's font or a DC it keeps the dialog font.
  HWND title = GetDlgItem(hwnd, IDC_ABOUT_TITLE);
  HFONT font = reinterpret_cast<HFONT>(SendMessageW(title, WM_GETFONT, 0, 0));
  LOGFONTW logFont;
  if (font && GetObjectW(font, sizeof logFont, &logFont) == sizeof logFont) {
    if (HDC dc = GetWindowDC(hwnd)) {
      logFont.lfHeight = -MulDiv(18, GetDeviceCaps(dc, LOGPIXELSY), 72);
      ReleaseDC(hwnd, dc);
      logFont.lfWeight = FW_BOLD;
      wcscpy_s(logFont.lfFaceName, LF_FACESIZE, L"Arial");
      if (titleFont) DeleteObject(titleFont);
      titleFont = CreateFontIndirectW(&logFont);
      if (titleFont) SendMessageW(title, WM_SETFONT, WPARAM(titleFont), TRUE);
    }
  }

  std::wstring version;
  const std::wstring path = OwnModulePath();
  VersionToStr(path.empty() ? 0 : GetFileVersionNumber(path.c_str()), version);
  std::wstring date;
  FormatBuildDate(kBuildDate, kBuildTime, date);
  StrFormat(text, L"v%s (%s)", version.c_str(), date.c_str());
  SetDlgItemTextW(hwnd, IDC_ABOUT_VERSION, text.c_str());

  CenterWindow();
  return TRUE;
}
