#include "SearchReadersDialog.h"

#include <commctrl.h>

#include <exception>

#include "ConfigResourceIds.h"
#include "Core.h"
#include "KeyModel.h"
#include "TestVombra.h"
#include "VariantArray.h"

namespace {

constexpr UINT_PTR kSearchTimer = 1;
constexpr UINT kSearchPeriod = 1000;  // ms
constexpr int kReaderModelMax = 12;
constexpr int32_t kSearchTimeout = int32_t(0x80040230);  // nothing yet: the next tick goes on
constexpr int32_t kNoMoreReaders = int32_t(0x80040231);
constexpr UINT kAbortId = 3;
constexpr UINT kSearchAgainId = 4;

// The text of whatever a call into the add-in threw.
void ExceptionText(std::exception_ptr error, std::wstring& out) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    AnsiToWide(e.what(), -1, out);
  } catch (...) {
    AnsiToWide(CTestVombraException(nullptr).what(), -1, out);
  }
}

}  // namespace

void FoundReaderLine(const std::wstring& port, int32_t model, int32_t serialNumber, uint32_t version,
                     std::wstring& out) {
  out = port;
  out += L" - ";
  out += ReaderModelName(READER_MODEL(model >= 1 && model <= kReaderModelMax ? model : 0));
  std::wstring part;
  if (serialNumber != -1) {
    LoadStrFormat(part, IDS_TEST_SERIAL_NUMBER, serialNumber);
    out += L' ' + part;
  }
  if (version != 0) {
    VersionToStr(version, part);
    out += L" v" + part;
  }
  out += L"\r\n";
}

CSearchReadersDialog::CSearchReadersDialog(CTestVombra* host) : host(host) {}

CSearchReadersDialog::~CSearchReadersDialog() = default;

LRESULT CSearchReadersDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      CModalDialog::OnInitDialog();
      Start();
      CenterWindow();
      // The focus goes to the results with the caret after the last line: the dialog manager's own
      // choice would select the whole text.
      HWND edit = GetDlgItem(hwnd, IDC_SEARCH_RESULTS);
      SetFocus(edit);
      const int end = GetWindowTextLengthW(edit);
      SendMessageW(edit, EM_SETSEL, end, end);
      return FALSE;
    }
    case WM_TIMER:
      if (wParam != kSearchTimer) break;
      // A tick already queued when the search ended finds nothing to step.
      if (searching) Step();
      return 0;
    case WM_DESTROY:
      // The add-in's search never outlives the dialog.
      Finish();
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

bool CSearchReadersDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  switch (id) {
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case kAbortId:
      Finish();
      return true;
    case kSearchAgainId:
      Finish();
      Start();
      return true;
    default:
      return CModalDialog::OnCommand(id, notifyCode, control);
  }
}

void CSearchReadersDialog::Start() {
  if (searching) return;
  SetDlgItemTextW(hwnd, IDC_SEARCH_RESULTS, L"");
  std::wstring text;
  LoadStr(IDS_SEARCH_RUNNING, text);
  SetDlgItemTextW(hwnd, IDC_SEARCH_STATUS, text.c_str());
  found = 0;
  searching = SetTimer(hwnd, kSearchTimer, kSearchPeriod, nullptr) != 0;
  // Without the timer no later step could follow, nor would Finish close what "FindNext" opened.
  if (searching) Step();
  if (searching) {
    HWND progress = GetDlgItem(hwnd, IDC_SEARCH_PROGRESS);
    SendMessageW(progress, PBM_SETMARQUEE, TRUE, 0);
    ShowWindow(progress, SW_SHOWNA);
  }
  UpdateButtons();
}

CSearchReadersDialog::StepEnd CSearchReadersDialog::RunStep(std::wstring& lines) {
  if (!host || !host->IsLoaded() || !host->Component) ThrowTestVombraException(nullptr);
  for (;;) {
    // Five outputs and the time the add-in may wait for a reader: none, the timer paces the search.
    CVariantArray values(7, host);
    values.SetUInt(6, 0);
    host->CallMethod(L"FindNext", &values[0], &values[1], 6);
    if (values[0].vt != VTYPE_BOOL || !values[0].bVal) break;
    // Outputs of another type count as not reported.
    const tVariant& port = values[1];
    const tVariant& model = values[2];
    const tVariant& serial = values[3];
    const tVariant& version = values[4];
    std::wstring line;
    FoundReaderLine(port.vt == VTYPE_PWSTR && port.pwstrVal ? std::wstring(port.pwstrVal, port.wstrLen) : L"",
                    model.vt == VTYPE_I4 ? model.lVal : 0, serial.vt == VTYPE_I4 ? serial.lVal : -1,
                    version.vt == VTYPE_UI4 ? version.ulVal : 0, line);
    lines += line;
    ++found;
  }
  std::wstring description;
  const int32_t code = host->GetLastError(&description);
  if (code == kSearchTimeout) return StepEnd::Continue;
  if (code == kNoMoreReaders) return StepEnd::Done;
  lines += description + L"\r\n";
  return StepEnd::Failed;
}

void CSearchReadersDialog::Step() {
  std::wstring lines;
  StepEnd end = StepEnd::Failed;
  try {
    end = RunStep(lines);
  } catch (...) {
    std::wstring text;
    ExceptionText(std::current_exception(), text);
    lines += text + L"\r\n";
  }
  Append(lines);
  if (end != StepEnd::Continue) Finish(end == StepEnd::Failed);
}

void CSearchReadersDialog::Finish(bool failed) {
  if (!searching) return;
  KillTimer(hwnd, kSearchTimer);
  searching = false;
  std::wstring closeError;
  try {
    if (!host || !host->IsLoaded() || !host->Component) ThrowTestVombraException(nullptr);
    CVariantArray values(1, host);
    host->CallMethod(L"FindClose", &values[0], nullptr, 0);
  } catch (...) {
    ExceptionText(std::current_exception(), closeError);
  }
  HWND progress = GetDlgItem(hwnd, IDC_SEARCH_PROGRESS);
  SendMessageW(progress, PBM_SETMARQUEE, FALSE, 0);
  ShowWindow(progress, SW_HIDE);
  // "Nothing was found." only for a search that ran to its end.
  std::wstring status;
  if (found == 0 && !failed) {
    LoadStr(IDS_SEARCH_NOTHING, status);
  } else {
    LoadStrFormat(status, IDS_SEARCH_COMPLETE, found);
  }
  SetDlgItemTextW(hwnd, IDC_SEARCH_STATUS, status.c_str());
  UpdateButtons();
  if (!closeError.empty()) Append(closeError + L"\r\n");
}

void CSearchReadersDialog::Append(const std::wstring& text) {
  if (text.empty()) return;
  HWND edit = GetDlgItem(hwnd, IDC_SEARCH_RESULTS);
  if (!edit) return;
  SetFocus(edit);
  const int end = GetWindowTextLengthW(edit);
  SendMessageW(edit, EM_SETSEL, end, end);
  SendMessageW(edit, EM_REPLACESEL, FALSE, LPARAM(text.c_str()));
}

void CSearchReadersDialog::UpdateButtons() {
  EnableWindow(GetDlgItem(hwnd, kAbortId), searching);
  EnableWindow(GetDlgItem(hwnd, kSearchAgainId), !searching);
}
