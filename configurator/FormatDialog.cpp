#include "FormatDialog.h"

#include <windowsx.h>

#include <exception>

#include "ConfigResourceIds.h"
#include "ConfigVombraApp.h"
#include "Controls.h"
#include "Core.h"
#include "MainFrame.h"
#include "MessageBox.h"
#include "Strings.h"
#include "TestVombra.h"
#include "UiHelpers.h"
#include "VariantArray.h"

namespace {

constexpr UINT_PTR kTestTimer = 1;
constexpr UINT kTestTimerPeriod = 1000;
constexpr int kMinTrackWidth = 490;
constexpr int kMinTrackHeight = 515;
constexpr UINT kAllKeyFilterBits = 0xFFFFFFFFu;
// Apply's working mark on a record already written in this pass; never outlives one Apply.
constexpr UINT kDoneMark = 0x80000000u;
constexpr COLORREF kSampleColor = RGB(8, 0, 0);
constexpr COLORREF kSampleErrorColor = RGB(255, 0, 0);

std::wstring LoadText(UINT id) {
  std::wstring text;
  LoadStr(id, text);
  return text;
}

std::wstring ExceptionText(const std::exception& e) {
  std::wstring text;
  MultiByteToWide(e.what(), size_t(-1), text, CP_ACP);
  return text;
}

// The module holding a resource: the resource module when it has it, else the program.
HMODULE ModuleWith(LPCWSTR type, UINT id) {
  if (g_hResInstance && FindResourceW(g_hResInstance, MAKEINTRESOURCEW(id), type)) return g_hResInstance;
  return g_hInstance;
}

void SetItemText(HWND dialog, UINT id, const std::wstring& text) {
  SetDlgItemTextW(dialog, int(id), text.c_str());
}

std::wstring ItemText(HWND dialog, UINT id) {
  std::wstring text;
  GetWindowTextString(GetDlgItem(dialog, int(id)), text);
  return text;
}

// The add-in's property as a value owned by `values` (slot 0); false when it has no such readable one.
bool ReadProperty(CTestVombra* host, const wchar_t* name, CVariantArray& values) {
  if (!host->Component) return false;
  const long number = host->Component->FindProp(name);
  if (number < 0) return false;
  return host->Component->GetPropVal(number, &values[0]);
}

void WriteProperty(CTestVombra* host, const wchar_t* name, CVariantArray& values) {
  if (!host->Component) return;
  const long number = host->Component->FindProp(name);
  if (number >= 0) host->Component->SetPropVal(number, &values[0]);
}

// A wrapper's false result as the add-in explains it.
[[noreturn]] void ThrowAddInError(CTestVombra* host, const wchar_t* method) {
  std::wstring text;
  host->GetLastError(&text);
  if (text.empty()) LoadStrAppendFormat(text, IDS_HOST_METHOD_FAILED, method);
  ThrowTestVombraException(text.c_str());
}

}  // namespace

// --- Key filter rows

int CShowKeyFiltersLvData::GetItemCount() { return keyFilters ? int(keyFilters->size()) + 1 : 1; }

int CShowKeyFiltersLvData::RowId(int row) {
  if (row < 0 || row >= GetItemCount()) return -1;
  const int cached = row - m_cacheFrom;
  if (cached >= 0 && cached < int(m_cache.size())) return int(m_cache[size_t(cached)].id);
  return row == 0 ? 0 : int((*keyFilters)[size_t(row - 1)].Id);
}

int CShowKeyFiltersLvData::StateImage(UINT id) const {
  const UINT bit = id < 32 ? 1u << id : 0u;
  if (!(KeyFilterKnown & bit)) return 3;
  return (KeyFilterBits & bit) ? 2 : 1;
}

void CShowKeyFiltersLvData::OnCacheHint(int from, int to) {
  m_cache.clear();
  const int count = GetItemCount();
  if (from < 0) from = 0;
  if (to >= count) to = count - 1;
  m_cacheFrom = from;
  for (int row = from; row <= to; ++row) {
    if (row == 0) {
      m_cache.push_back({0, -1});
    } else {
      m_cache.push_back({(*keyFilters)[size_t(row - 1)].Id, row - 1});
    }
  }
}

void CShowKeyFiltersLvData::GetDispInfo(NMLVDISPINFOW* info) {
  LVITEMW& item = info->item;
  const int id = RowId(item.iItem);
  if (id < 0) return;
  if (item.mask & LVIF_TEXT) {
    const wchar_t* text =
        item.iItem == 0 ? defaultName.c_str() : (*keyFilters)[size_t(item.iItem - 1)].Name.c_str();
    if (item.pszText && item.cchTextMax > 0) lstrcpynW(item.pszText, text, item.cchTextMax);
  }
  if (item.mask & LVIF_STATE) {
    item.state = (item.state & ~LVIS_STATEIMAGEMASK) | INDEXTOSTATEIMAGEMASK(UINT(StateImage(UINT(id))));
    item.stateMask |= LVIS_STATEIMAGEMASK;
  }
}

void ToggleKeyFilterBit(UINT id, UINT uniformBits, UINT& bits, UINT& known) {
  if (id > kMaxKeyFilterId) return;
  const UINT bit = 1u << id;
  if (uniformBits & bit) {
    bits ^= bit;
    known |= bit;
  } else if (!(known & bit)) {  // mixed -> unchecked
    known |= bit;
    bits &= ~bit;
  } else if (!(bits & bit)) {  // unchecked -> checked
    bits |= bit;
  } else {  // checked -> mixed
    known &= ~bit;
  }
}

std::wstring FormatDisplayName(const std::wstring& storedName) {
  if (storedName.empty() || storedName[0] != L'\n') return storedName;
  const size_t blank = storedName.find(L' ');
  return blank == std::wstring::npos ? storedName.substr(1) : storedName.substr(blank + 1);
}

UINT FormatErrorField(int32_t code) {
  switch (uint32_t(code)) {
    case 0x80040237u:
      return IDC_FORMAT_TEMPLATE;
    case 0x80040236u:
    case 0x80040238u:
    case 0x80040239u:
    case 0x8004023Au:
    case 0x8004023Bu:
    case 0x8004023Cu:
    case 0x8004023Du:
    case 0x8004023Eu:  // "Unexpected operator.": an expression fault as the others
      return IDC_FORMAT_PARAMS;
    default:
      return 0;
  }
}

// --- The dialog

CFormatDialog::~CFormatDialog() {
  if (IsRealHandle(hwnd)) Destroy();
  if (m_checkImages) ImageList_Destroy(m_checkImages);
}

BOOL CFormatDialog::OnInitDialog() {
  CModalDialog::OnInitDialog();
  CAppSettings& settings = App()->settings;

  if (list.Attach(hwnd, IDC_FORMAT_KEY_FILTERS)) {
    HBITMAP bitmap = HBITMAP(LoadImageW(ModuleWith(RT_BITMAP, IDB_CC_CHECKS), MAKEINTRESOURCEW(IDB_CC_CHECKS),
                                        IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (bitmap) {
      m_checkImages = ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 3, 3);
      if (m_checkImages) ImageList_AddMasked(m_checkImages, bitmap, RGB(255, 0, 255));
      DeleteObject(bitmap);
    }
    if (m_checkImages) SendMessageW(list.hwnd, LVM_SETIMAGELIST, LVSIL_STATE, LPARAM(m_checkImages));
    SendMessageW(list.hwnd, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
  }
  keyFilterRows.keyFilters = &settings.keyFilters;
  keyFilterRows.owner = this;
  keyFilterRows.callback = [](void* owner, CVirtualListViewData*, int) {
    static_cast<CFormatDialog*>(owner)->RefreshKeyFilters();
  };

  layout.owner = hwnd;
  for (int id : {IDC_FORMAT_NAME, IDC_FORMAT_TEMPLATE})
    layout.AddControl(id, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT);
  layout.AddControl(IDC_FORMAT_PARAMS, ANCHOR_LEFT | ANCHOR_TOP | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {IDC_FORMAT_TEST, IDC_FORMAT_COMMENT_LABEL, IDC_FORMAT_KEY_FILTERS_LABEL, IDC_FORMAT_SAVE})
    layout.AddControl(id, ANCHOR_LEFT | ANCHOR_BOTTOM);
  for (int id : {IDC_FORMAT_SAMPLE, IDC_FORMAT_COMMENT, IDC_FORMAT_KEY_FILTERS})
    layout.AddControl(id, ANCHOR_LEFT | ANCHOR_RIGHT | ANCHOR_BOTTOM);
  for (int id : {IDC_FORMAT_CHECK, IDOK, IDCANCEL}) layout.AddControl(id, ANCHOR_RIGHT | ANCHOR_BOTTOM);
  layout.Capture();

  CTestVombra* host = App()->testHost;
  HostState = !host ? 0 : !host->Component ? 1 : host->GetOpenDevices().empty() ? 2 : 4;

  if (NewFormat) {
    EditCount = 0;
    PresetCount = 0;
    if (!(UniformFields & FORMAT_FIELD_NAME)) MakeUniqueFormatName(settings.formats, nullptr, Name);
    if (!(UniformFields & FORMAT_FIELD_TEMPLATE)) Template.clear();
    if (!(UniformFields & FORMAT_FIELD_PARAMS)) Params.clear();
    if (!(UniformFields & FORMAT_FIELD_COMMENT)) Comment.clear();
    if (!(UniformFields & FORMAT_FIELD_KEYFILTERS)) KeyFilterBits = kAllKeyFilterBits;
    if (!(UniformFields & FORMAT_FIELD_SAVE)) SaveInVombra = true;
    UniformFields = FORMAT_FIELD_ALL;
    UniformKeyFilterBits = kAllKeyFilterBits;
  } else {
    EditCount = 0;
    PresetCount = 0;
    UniformFields = 0;
    for (const _FORMAT_INFO_EX& format : settings.formats) {
      if (!(format.Flags & FORMAT_SELECTED)) continue;
      const bool preset = !format.Name.empty() && format.Name[0] == L'\n';
      const std::wstring name = FormatDisplayName(format.Name);
      const bool save = (format.Flags & FORMAT_SAVE_IN_VOMBRA) != 0;
      if (++EditCount == 1) {
        UniformFields = FORMAT_FIELD_ALL;
        Name = name;
        Template = format.Template;
        Params = format.Params;
        Comment = format.Comment;
        KeyFilterBits = format.KeyFilters;
        UniformKeyFilterBits = kAllKeyFilterBits;
        SaveInVombra = save;
      } else {
        if (name != Name) UniformFields &= ~UINT(FORMAT_FIELD_NAME);
        if (format.Template != Template) UniformFields &= ~UINT(FORMAT_FIELD_TEMPLATE);
        if (format.Params != Params) UniformFields &= ~UINT(FORMAT_FIELD_PARAMS);
        if (format.Comment != Comment) UniformFields &= ~UINT(FORMAT_FIELD_COMMENT);
        if (save != SaveInVombra) UniformFields &= ~UINT(FORMAT_FIELD_SAVE);
        UniformKeyFilterBits &= ~(format.KeyFilters ^ KeyFilterBits);
      }
      if (preset) ++PresetCount;
    }
  }
  ApplyFields = UniformFields;
  KeyFilterKnown = UniformKeyFilterBits;
  ExchangeFields(false);
  EnableWindow(GetDlgItem(hwnd, IDC_FORMAT_SAMPLE), Testing);
  keyFilterRows.defaultName = LoadText(IDS_DEFAULT_KEY_FILTER);
  keyFilterRows.OnCacheHint(0, keyFilterRows.GetItemCount() - 1);
  RefreshKeyFilters();
  App()->ExchangeWindowPos(false, hwnd, FORM_FORMAT, -1);
  return TRUE;
}

void CFormatDialog::ExchangeFields(bool fromControls) {
  struct Field {
    UINT bit;
    UINT id;
    std::wstring* text;
  };
  const Field fields[] = {{FORMAT_FIELD_NAME, IDC_FORMAT_NAME, &Name},
                          {FORMAT_FIELD_TEMPLATE, IDC_FORMAT_TEMPLATE, &Template},
                          {FORMAT_FIELD_PARAMS, IDC_FORMAT_PARAMS, &Params},
                          {FORMAT_FIELD_COMMENT, IDC_FORMAT_COMMENT, &Comment}};
  HWND save = GetDlgItem(hwnd, IDC_FORMAT_SAVE);
  if (fromControls) {
    for (const Field& field : fields) {
      *field.text = ItemText(hwnd, field.id);
      if (*field.text == L"*") {
        ApplyFields &= ~field.bit;
      } else {
        ApplyFields |= field.bit;
      }
    }
    const LRESULT state = SendMessageW(save, BM_GETCHECK, 0, 0);
    if (state == BST_INDETERMINATE) {
      ApplyFields &= ~UINT(FORMAT_FIELD_SAVE);
    } else {
      ApplyFields |= FORMAT_FIELD_SAVE;
    }
    SaveInVombra = state == BST_CHECKED;
    return;
  }
  CMuteNotifyScope mute(hwnd);
  for (const Field& field : fields) {
    const bool shown = (ApplyFields & field.bit) != 0;
    SetItemText(hwnd, field.id, shown ? *field.text : std::wstring(L"*"));
  }
  const bool nameEditable = EditCount <= 1 && (ApplyFields & FORMAT_FIELD_NAME);
  EnableWindow(GetDlgItem(hwnd, IDC_FORMAT_NAME), nameEditable);
  if (!nameEditable) SetItemText(hwnd, IDC_FORMAT_NAME, L"*");
  const DWORD style = (UniformFields & FORMAT_FIELD_SAVE) ? BS_AUTOCHECKBOX : BS_AUTO3STATE;
  SendMessageW(save, BM_SETSTYLE, style, TRUE);
  const WPARAM check = !(ApplyFields & FORMAT_FIELD_SAVE) ? BST_INDETERMINATE
                       : SaveInVombra                     ? BST_CHECKED
                                                          : BST_UNCHECKED;
  SendMessageW(save, BM_SETCHECK, check, 0);
}

bool CFormatDialog::ApplyToFormat(_FORMAT_INFO_EX& format, UINT bits) {
  bool changed = false;
  auto copy = [&](UINT bit, std::wstring& to, const std::wstring& from) {
    if ((bits & bit) && to != from) {
      to = from;
      changed = true;
    }
  };
  copy(FORMAT_FIELD_NAME, format.Name, Name);
  copy(FORMAT_FIELD_TEMPLATE, format.Template, Template);
  copy(FORMAT_FIELD_PARAMS, format.Params, Params);
  copy(FORMAT_FIELD_COMMENT, format.Comment, Comment);
  if ((bits & FORMAT_FIELD_SAVE) && ((format.Flags & FORMAT_SAVE_IN_VOMBRA) != 0) != SaveInVombra) {
    format.Flags ^= FORMAT_SAVE_IN_VOMBRA;
    changed = true;
  }
  if (bits & FORMAT_FIELD_KEYFILTERS) {
    format.KeyFilters = (format.KeyFilters & ~KeyFilterKnown) | (KeyFilterBits & KeyFilterKnown);
    changed = true;
  }
  return changed;
}

void CFormatDialog::ReportFormatError(int32_t code, const std::wstring& description, int32_t position) {
  std::wstring text = description;
  if (text.empty()) LoadStrAppendFormat(text, IDS_HOST_METHOD_FAILED, L"CheckFormat");
  if (position != -1) LoadStrAppendFormat(text, IDS_ERROR_POSITION, position);
  ShowMessageBox(text.c_str(), MB_OK | MB_ICONERROR, hwnd);
  const UINT field = FormatErrorField(code);
  if (!field) return;
  HWND edit = GetDlgItem(hwnd, int(field));
  SetFocus(edit);
  if (position >= 0) SendMessageW(edit, EM_SETSEL, WPARAM(position), LPARAM(position));
}

bool CFormatDialog::CheckWithHost(CTestVombra* host) {
  int32_t position = -1;
  if (host->CheckFormat(Template.c_str(), Params.c_str(), &position)) return true;
  // Any false result is a failure, whatever the sign of the code the add-in gives with it.
  std::wstring description;
  const int32_t code = host->GetLastError(&description);
  ReportFormatError(code, description, position);
  return false;
}

bool CFormatDialog::Check() {
  ExchangeFields(true);
  if ((ApplyFields & FORMAT_FIELD_TEMPLATE) && !Template.empty()) {
    CTestVombra* host = App()->GetTestHost();
    if (!host->Component) host->Load();
    if (!CheckWithHost(host)) return false;
  }
  ShowMessageBoxRes(IDS_FORMAT_CORRECT, MB_OK | MB_ICONINFORMATION, hwnd);
  return true;
}

void CFormatDialog::FocusName() {
  HWND name = GetDlgItem(hwnd, IDC_FORMAT_NAME);
  SetFocus(IsWindowEnabled(name) ? name : GetDlgItem(hwnd, IDC_FORMAT_TEMPLATE));
}

bool CFormatDialog::ConfirmReplace(const std::wstring& text) {
  CAppSettings& settings = App()->settings;
  if (!(settings.ConfirmFlags & CONFIRM_REPLACE_ITEM)) return true;
  bool doNotAsk = false;
  const int answer = ShowMessageBox(text.c_str(), MB_OKCANCEL | MB_ICONQUESTION, hwnd, &doNotAsk);
  if (doNotAsk) settings.SetConfirmFlags(CONFIRM_REPLACE_ITEM, false);
  if (answer == IDOK) return true;
  FocusName();
  return false;
}

bool CFormatDialog::Apply() {
  ExchangeFields(true);
  if ((ApplyFields & FORMAT_FIELD_NAME) && Name.empty()) {
    ShowMessageBoxRes(IDS_FIELD_REQUIRED, MB_OK | MB_ICONERROR, hwnd);
    FocusName();
    return false;
  }
  if ((ApplyFields & FORMAT_FIELD_TEMPLATE) && Template.empty()) {
    ShowMessageBoxRes(IDS_FIELD_REQUIRED, MB_OK | MB_ICONERROR, hwnd);
    SetFocus(GetDlgItem(hwnd, IDC_FORMAT_TEMPLATE));
    return false;
  }
  if ((ApplyFields & FORMAT_FIELD_TEMPLATE) && (ApplyFields & FORMAT_FIELD_PARAMS)) {
    CTestVombra* host = App()->GetTestHost();
    const bool loadedHere = !host->Component;
    if (loadedHere) host->Load();
    bool correct = false;
    try {
      correct = CheckWithHost(host);
    } catch (...) {
      if (loadedHere) host->Unload();
      throw;
    }
    if (loadedHere) host->Unload();
    if (!correct) return false;
  }
  return NewFormat ? ApplyNew() : ApplyEdit();
}

bool CFormatDialog::ApplyNew() {
  CAppSettings& settings = App()->settings;
  std::vector<_FORMAT_INFO_EX>& formats = settings.formats;
  const int found = FindFormatIndexByName(formats, Name.c_str());
  if (found >= 0) {
    std::wstring question;
    LoadStrAppendFormat(question, IDS_REPLACE_ITEM, Name.c_str());
    if (!ConfirmReplace(question)) return false;
  }
  _DOC_UPDATE_INFO batch(&settings, this);
  for (_FORMAT_INFO_EX& format : formats) format.Flags &= ~UINT(FORMAT_SELECTED);
  const UINT saveFlag = SaveInVombra ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u;
  if (found < 0) {
    _FORMAT_INFO_EX format;
    format.Id = settings.NewFormatId();
    format.Name = Name;
    format.Template = Template;
    format.Params = Params;
    format.Comment = Comment;
    format.KeyFilters = KeyFilterBits;
    format.Flags = FORMAT_SELECTED | saveFlag;
    formats.push_back(format);
    settings.FormatsChanged(SaveInVombra);
  } else {
    _FORMAT_INFO_EX& format = formats[size_t(found)];
    // The registry needs the change when it stored the format before it, or will store it after.
    const bool storedBefore = (format.Flags & (FORMAT_SAVE_IN_VOMBRA | FORMAT_MUST_STORE)) != 0;
    format.Name = Name;
    format.Template = Template;
    format.Params = Params;
    format.Comment = Comment;
    format.KeyFilters = KeyFilterBits;
    format.Flags = (format.Flags & ~UINT(FORMAT_SAVE_IN_VOMBRA)) | saveFlag | FORMAT_SELECTED;
    settings.FormatsChanged(SaveInVombra || storedBefore);
  }
  settings.EndUpdate(batch);
  return true;
}

bool CFormatDialog::ApplyEdit() {
  CAppSettings& settings = App()->settings;
  std::vector<_FORMAT_INFO_EX>& formats = settings.formats;

  if (EditCount == 1 && PresetCount == 0 && (ApplyFields & FORMAT_FIELD_NAME)) {
    int edited = -1;
    int other = -1;
    for (size_t i = 0; i < formats.size(); ++i) {
      if (formats[i].Flags & FORMAT_SELECTED) {
        if (edited < 0) edited = int(i);
      } else if (other < 0 && formats[i].Name == Name) {
        other = int(i);
      }
    }
    if (edited < 0) return true;
    if (other >= 0) {
      std::wstring question;
      LoadStrAppendFormat(question, IDS_REPLACE_ITEM, Name.c_str());
      if (!ConfirmReplace(question)) return false;
    }
    _DOC_UPDATE_INFO batch(&settings, this);
    if (other >= 0) {
      formats.erase(formats.begin() + other);
      settings.ClearFormatIndex();
      if (other < edited) --edited;
    }
    ApplyToFormat(formats[size_t(edited)], ApplyFields);
    settings.FormatsChanged(true);
    settings.EndUpdate(batch);
    return true;
  }

  // a. What each selected preset's edit changes, and whether its copy would replace another format.
  struct PresetPlan {
    UINT changes = 0;
    std::wstring copyName;
    bool replace = false;
  };
  std::vector<PresetPlan> plans(formats.size());
  int replaceCount = 0;
  std::wstring replacedName;
  for (size_t i = 0; i < formats.size(); ++i) {
    const _FORMAT_INFO_EX& format = formats[i];
    if (!(format.Flags & FORMAT_SELECTED) || format.Name.empty() || format.Name[0] != L'\n') continue;
    PresetPlan& plan = plans[i];
    const std::wstring shown = FormatDisplayName(format.Name);
    if ((ApplyFields & FORMAT_FIELD_NAME) && Name != shown) plan.changes |= FORMAT_FIELD_NAME;
    if ((ApplyFields & FORMAT_FIELD_TEMPLATE) && Template != format.Template)
      plan.changes |= FORMAT_FIELD_TEMPLATE;
    if ((ApplyFields & FORMAT_FIELD_PARAMS) && Params != format.Params) plan.changes |= FORMAT_FIELD_PARAMS;
    if (!plan.changes) continue;
    plan.copyName = (ApplyFields & FORMAT_FIELD_NAME) ? Name : shown;
    const int other = FindFormatIndexByName(formats, plan.copyName.c_str());
    if (other >= 0) {
      plan.replace = true;
      ++replaceCount;
      replacedName = formats[size_t(other)].Name;
    }
  }
  // b.
  if (replaceCount > 0) {
    std::wstring question;
    if (replaceCount == 1) {
      LoadStrAppendFormat(question, IDS_REPLACE_ITEM, replacedName.c_str());
    } else {
      LoadStrAppendFormat(question, IDS_REPLACE_ITEMS, replaceCount);
    }
    if (!ConfirmReplace(question)) return false;
  }
  // c. Records inserted during the walk carry the done mark, so the original index is the walk's index
  // less the insertions so far.
  _DOC_UPDATE_INFO batch(&settings, this);
  bool changed = false;
  size_t inserted = 0;
  for (size_t i = 0; i < formats.size(); ++i) {
    if (!(formats[i].Flags & FORMAT_SELECTED) || (formats[i].Flags & kDoneMark)) continue;
    const bool preset = !formats[i].Name.empty() && formats[i].Name[0] == L'\n';
    const PresetPlan& plan = plans[i - inserted];
    if (!preset || !plan.changes) {
      const UINT bits =
          preset ? ApplyFields & ~UINT(FORMAT_FIELD_NAME | FORMAT_FIELD_TEMPLATE | FORMAT_FIELD_PARAMS)
                 : ApplyFields;
      if (ApplyToFormat(formats[i], bits)) changed = true;
      continue;
    }
    // The preset stays as it is; its edit becomes a user format: the whole copy, the preset's values
    // where the dialog left a field alone.
    formats[i].Flags &= ~UINT(FORMAT_SELECTED);
    _FORMAT_INFO_EX copy;
    const _FORMAT_INFO_EX& source = formats[i];
    copy.Name = plan.copyName;
    copy.Template = (ApplyFields & FORMAT_FIELD_TEMPLATE) ? Template : source.Template;
    copy.Params = (ApplyFields & FORMAT_FIELD_PARAMS) ? Params : source.Params;
    copy.Comment = (ApplyFields & FORMAT_FIELD_COMMENT) ? Comment : source.Comment;
    copy.KeyFilters = (source.KeyFilters & ~KeyFilterKnown) | (KeyFilterBits & KeyFilterKnown);
    const bool save =
        (ApplyFields & FORMAT_FIELD_SAVE) ? SaveInVombra : (source.Flags & FORMAT_SAVE_IN_VOMBRA) != 0;
    const UINT saveFlag = save ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u;
    changed = true;
    const int other = plan.replace ? FindFormatIndexByName(formats, plan.copyName.c_str()) : -1;
    if (other >= 0) {
      _FORMAT_INFO_EX& target = formats[size_t(other)];
      target.Name = copy.Name;
      target.Template = copy.Template;
      target.Params = copy.Params;
      target.Comment = copy.Comment;
      target.KeyFilters = copy.KeyFilters;
      target.Flags = (target.Flags & ~UINT(FORMAT_SAVE_IN_VOMBRA)) | saveFlag | FORMAT_SELECTED | kDoneMark;
    } else {
      copy.Id = settings.NewFormatId();
      copy.Flags = saveFlag | FORMAT_SELECTED | kDoneMark;
      formats.insert(formats.begin() + ptrdiff_t(i) + 1, copy);
      ++inserted;
      settings.ClearFormatIndex();
    }
  }
  for (_FORMAT_INFO_EX& format : formats) format.Flags &= ~kDoneMark;
  // d.
  if (changed) settings.FormatsChanged(true);
  settings.EndUpdate(batch);
  return true;
}

// --- Live test

void CFormatDialog::SetSample(UINT textId) {
  SetItemText(hwnd, IDC_FORMAT_SAMPLE, LoadText(textId));
  InvalidateRect(GetDlgItem(hwnd, IDC_FORMAT_SAMPLE), nullptr, TRUE);
}

void CFormatDialog::StartTest() {
  ExchangeFields(true);
  if (auto* frame = dynamic_cast<CMainFrame*>(g_app ? g_app->mainWnd : nullptr)) {
    for (int page = 0; page < PAGE_COUNT; ++page) {
      CAppPage* existing = frame->GetPage(page);
      if (existing && existing->hwnd) existing->UpdateData(true);
    }
  }
  SampleState = SAMPLE_WAITING;
  SetSample(IDS_WAITING_KEY);

  CTestVombra* host = App()->GetTestHost();
  m_undo = _TEST_UNDO_INFO();
  m_undo.Host = host;
  if (!host->Component) {
    host->Load();
    m_undo.LoadedByTest = true;
  }
  m_undo.DevicesBefore = host->GetOpenDevices().size();
  if (m_undo.DevicesBefore) host->UpdateReaderParameters(host->GetOpenDevices()[0].c_str(), false);
  {
    CVariantArray value(1, host);
    if (ReadProperty(host, L"ReaderFormatID", value) &&
        (VariantType(&value[0]) == VTYPE_UI4 || VariantType(&value[0]) == VTYPE_I4)) {
      m_undo.FormatId = value[0].ulVal;
      m_undo.HaveFormatId = true;
    }
  }
  {
    CVariantArray value(1, host);
    if (ReadProperty(host, L"SettingsModified", value) && VariantType(&value[0]) == VTYPE_BOOL) {
      m_undo.Modified = value[0].bVal;
      m_undo.HaveModified = true;
    }
  }

  {
    CVariantArray port(1, host);
    port.SetString(0, App()->settings.Portname.c_str());
    host->SetPort(&port[0]);
  }
  // A "FormatTemp" left by an earlier run would be found instead of this one.
  DeleteTempFormat(host);
  uint32_t formatId = 0;
  const bool withFormat = !Template.empty();
  if (withFormat) {
    int32_t index = 0;
    if (!host->InsertFormat(index, Template.c_str(), Params.c_str(), &formatId))
      ThrowAddInError(host, L"InsertFormat");
  }
  if (host->GetOpenDevices().empty()) {
    if (withFormat && !host->SetReaderFormatId(formatId)) ThrowAddInError(host, L"SetParameter");
    if (!host->Open(nullptr)) ThrowAddInError(host, L"Open");
  } else {
    const std::wstring first = host->GetOpenDevices()[0];
    if (withFormat) {
      host->UpdateReaderParameters(first.c_str(), false);
      if (!host->SetReaderFormatId(formatId)) ThrowAddInError(host, L"SetParameter");
      host->UpdateReaderParameters(first.c_str(), true);
    }
    if (!host->IsFirstDeviceConnected()) host->Reconnect(first.c_str());
  }
  m_hostView = host->AddView({this, &CFormatDialog::OnHostChanged, 0});
  m_host = host;
}

void CFormatDialog::SetTesting(bool on) {
  if (on == Testing) return;
  if (on) {
    try {
      StartTest();
    } catch (...) {
      CheckDlgButton(hwnd, IDC_FORMAT_TEST, BST_UNCHECKED);
      EndTest();
      SetItemText(hwnd, IDC_FORMAT_SAMPLE, L"");
      throw;
    }
    CTestVombra* host = m_undo.Host;
    bool connected = false;
    try {
      connected = host->IsFirstDeviceConnected();
    } catch (const std::exception&) {
    }
    if (!connected) {
      SampleState = SAMPLE_NO_CONNECTION;
      SetSample(IDS_NO_CONNECTION);
    }
    TimerOn = SetTimer(hwnd, kTestTimer, kTestTimerPeriod, nullptr) != 0;
  } else {
    if (TimerOn) KillTimer(hwnd, kTestTimer);
    TimerOn = false;
    EndTest();
  }
  Testing = on;
  CheckDlgButton(hwnd, IDC_FORMAT_TEST, on ? BST_CHECKED : BST_UNCHECKED);
  EnableWindow(GetDlgItem(hwnd, IDC_FORMAT_SAMPLE), on);
}

void CFormatDialog::DeleteTempFormat(CTestVombra* host) {
  const int32_t index = host->FindFormat();
  if (index < 0) return;
  CVariantArray values(2, host);
  values.SetInt(1, index);
  host->CallMethod(L"DeleteFormat", &values[0], &values[1], 1);
}

void CFormatDialog::EndTest() {
  if (m_host && m_hostView >= 0) m_host->RemoveView(m_hostView);
  m_host = nullptr;
  CTestVombra* host = m_undo.Host;
  if (!host) return;
  const _TEST_UNDO_INFO undo = m_undo;
  m_undo = _TEST_UNDO_INFO();
  // Each step runs even when an earlier one failed: nothing of the test may stay in the add-in, nor reach
  // the registry when the add-in saves its settings on unloading.
  auto step = [](auto&& action) {
    try {
      action();
    } catch (const std::exception& e) {
      Trace(L"Format test: %hs", e.what());
    }
  };
  if (host->Component) {
    step([&] {
      _DOC_UPDATE_INFO batch(host, nullptr);
      const std::vector<std::wstring> devices = host->GetOpenDevices();
      for (size_t i = devices.size(); i > undo.DevicesBefore; --i) {
        step([&] { host->Close(devices[i - 1].c_str()); });
      }
      host->EndUpdate(batch);
    });
    step([&] { DeleteTempFormat(host); });
    if (undo.HaveFormatId) {
      step([&] {
        if (!host->GetOpenDevices().empty()) {
          const std::wstring first = host->GetOpenDevices()[0];
          host->UpdateReaderParameters(first.c_str(), false);
          host->SetReaderFormatId(undo.FormatId);
          host->UpdateReaderParameters(first.c_str(), true);
        } else {
          host->SetReaderFormatId(undo.FormatId);
        }
      });
    }
    if (undo.HaveModified && !undo.Modified) {
      step([&] {
        CVariantArray value(1, host);
        value.SetBool(0, false);
        WriteProperty(host, L"SettingsModified", value);
      });
    }
  }
  if (undo.LoadedByTest) step([&] { host->Unload(); });
}

void CFormatDialog::OnHostChanged(void* owner, CDocument* document, const uint64_t* hints) {
  auto* dialog = static_cast<CFormatDialog*>(owner);
  if (!(*hints & HOST_HINT_LAST_EVENT) || !dialog->hwnd) return;
  auto* host = static_cast<CTestVombra*>(document);
  dialog->SampleState = host->LastIsError ? SAMPLE_ERROR : SAMPLE_WAITING;
  SetItemText(dialog->hwnd, IDC_FORMAT_SAMPLE, host->LastData);
  InvalidateRect(GetDlgItem(dialog->hwnd, IDC_FORMAT_SAMPLE), nullptr, TRUE);
}

void CFormatDialog::OnTestTimer() {
  CTestVombra* host = m_undo.Host;
  if (!host || !host->Component) return;
  // A driver error stays shown while the reader is connected; a lost link (which the add-in reports as
  // an error event too) turns into "No connection.", so its return can show "Waiting key." again.
  if (SampleState != SAMPLE_NO_CONNECTION && !host->IsFirstDeviceConnected()) {
    SampleState = SAMPLE_NO_CONNECTION;
    SetSample(IDS_NO_CONNECTION);
  } else if (SampleState == SAMPLE_NO_CONNECTION && host->IsFirstDeviceConnected()) {
    SampleState = SAMPLE_WAITING;
    SetSample(IDS_WAITING_KEY);
  }
}

void CFormatDialog::OnTemplateEdited() {
  Template = ItemText(hwnd, IDC_FORMAT_TEMPLATE);
  Params = ItemText(hwnd, IDC_FORMAT_PARAMS);
  CTestVombra* host = m_undo.Host;
  if (!host || !host->Component) return;
  const int32_t index = host->FindFormat();
  if (index >= 0) host->SetFormat(index, Template.c_str(), Params.c_str());
}

// --- Key filter list

void CFormatDialog::RefreshKeyFilters() {
  keyFilterRows.KeyFilterBits = KeyFilterBits;
  keyFilterRows.KeyFilterKnown = KeyFilterKnown;
  if (!list.hwnd) return;
  SendMessageW(list.hwnd, LVM_SETITEMCOUNT, WPARAM(keyFilterRows.GetItemCount()), LVSICF_NOSCROLL);
  InvalidateRect(list.hwnd, nullptr, TRUE);
}

void CFormatDialog::ToggleSelectedKeyFilters() {
  if (!list.hwnd) return;
  for (int row = int(SendMessageW(list.hwnd, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)); row >= 0;
       row = int(SendMessageW(list.hwnd, LVM_GETNEXTITEM, WPARAM(row), LVNI_SELECTED))) {
    const int id = keyFilterRows.RowId(row);
    if (id >= 0) ToggleKeyFilterBit(UINT(id), UniformKeyFilterBits, KeyFilterBits, KeyFilterKnown);
  }
  RefreshKeyFilters();
}

void CFormatDialog::SetAllKeyFilters(bool checked) {
  KeyFilterBits = checked ? kAllKeyFilterBits : 0u;
  KeyFilterKnown = kAllKeyFilterBits;
  RefreshKeyFilters();
}

void CFormatDialog::ShowKeyFiltersMenu(LPARAM point) {
  CMenu menu(LoadMenuW(ModuleWith(RT_MENU, IDR_FORMAT_KEY_FILTERS_MENU),
                       MAKEINTRESOURCEW(IDR_FORMAT_KEY_FILTERS_MENU)));
  if (!menu.hmenu) return;
  HMENU popup = GetSubMenu(menu.hmenu, 0);
  if (!popup) return;
  POINT at{GET_X_LPARAM(point), GET_Y_LPARAM(point)};
  if (point == -1) GetCursorPos(&at);
  TrackPopupMenu(popup, TPM_LEFTBUTTON, at.x, at.y, 0, hwnd, nullptr);
}

// --- Messages

LRESULT CFormatDialog::WindowProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_SIZE:
      layout.Resize(LOWORD(lParam), HIWORD(lParam), nullptr);
      return 0;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {kMinTrackWidth, kMinTrackHeight};
      return 0;
    }
    case WM_CONTEXTMENU:
      if (HWND(wParam) == list.hwnd && list.hwnd && !IsInMenuMode()) {
        ShowKeyFiltersMenu(lParam);
        return 0;
      }
      break;
    case WM_TIMER:
      if (wParam == kTestTimer) {
        OnTestTimer();
        return 0;
      }
      break;
    case WM_CTLCOLORSTATIC:
      if (HWND(lParam) == GetDlgItem(hwnd, IDC_FORMAT_SAMPLE)) {
        HDC dc = HDC(wParam);
        SetTextColor(dc, SampleState == SAMPLE_WAITING ? kSampleColor : kSampleErrorColor);
        SetBkMode(dc, TRANSPARENT);
        return LRESULT(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_DESTROY:
      if (TimerOn) KillTimer(hwnd, kTestTimer);
      TimerOn = false;
      App()->ExchangeWindowPos(true, hwnd, FORM_FORMAT, -1);
      keyFilterRows.callback = nullptr;
      keyFilterRows.owner = nullptr;
      list.Destroy();
      if (m_hostView >= 0 || m_undo.Host) EndTest();
      Testing = false;
      break;
    default:
      break;
  }
  return CModalDialog::WindowProc(wnd, message, wParam, lParam);
}

bool CFormatDialog::OnCommand(UINT id, UINT notifyCode, HWND control) {
  // A failure of the add-in, its loading or a page's values is shown: the dialog stays open.
  auto guarded = [this](auto&& action) {
    try {
      action();
    } catch (const std::exception& e) {
      ShowMessageBox(ExceptionText(e).c_str(), MB_OK | MB_ICONERROR, hwnd);
    }
  };
  switch (id) {
    case IDOK:
      guarded([this] {
        if (Apply()) EndDialog(IDOK);
      });
      return true;
    case IDCANCEL:
      EndDialog(IDCANCEL);
      return true;
    case IDC_FORMAT_CHECK:
      guarded([this] { Check(); });
      return true;
    case IDC_FORMAT_TEST:
      if (notifyCode != BN_CLICKED) break;
      guarded([this] { SetTesting(IsDlgButtonChecked(hwnd, IDC_FORMAT_TEST) == BST_CHECKED); });
      return true;
    case IDC_FORMAT_TEMPLATE:
    case IDC_FORMAT_PARAMS:
      if (notifyCode == EN_CHANGE && Testing) {
        OnTemplateEdited();
        return true;
      }
      break;
    case ID_FORMAT_CHECK_ALL:
    case ID_FORMAT_UNCHECK_ALL:
      SetAllKeyFilters(id == ID_FORMAT_CHECK_ALL);
      return true;
    default:
      break;
  }
  return CModalDialog::OnCommand(id, notifyCode, control);
}

bool CFormatDialog::OnNotify(UINT id, NMHDR* header, LRESULT* result) {
  if (id != IDC_FORMAT_KEY_FILTERS) return CModalDialog::OnNotify(id, header, result);
  switch (header->code) {
    case LVN_GETDISPINFOW:
      keyFilterRows.GetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
      *result = 0;
      return true;
    case LVN_ODCACHEHINT: {
      auto* hint = reinterpret_cast<NMLVCACHEHINT*>(header);
      keyFilterRows.OnCacheHint(hint->iFrom, hint->iTo);
      *result = 0;
      return true;
    }
    case LVN_KEYDOWN:
      if (reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey == VK_SPACE) {
        ToggleSelectedKeyFilters();
        *result = 1;
        return true;
      }
      break;
    case NM_CLICK: {
      auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
      LVHITTESTINFO hit = {};
      hit.pt = click->ptAction;
      SendMessageW(list.hwnd, LVM_HITTEST, 0, LPARAM(&hit));
      if (hit.iItem >= 0 && (hit.flags & LVHT_ONITEMSTATEICON)) {
        const int rowId = keyFilterRows.RowId(hit.iItem);
        if (rowId >= 0) ToggleKeyFilterBit(UINT(rowId), UniformKeyFilterBits, KeyFilterBits, KeyFilterKnown);
        RefreshKeyFilters();
      }
      *result = 0;
      return true;
    }
    default:
      break;
  }
  return CModalDialog::OnNotify(id, header, result);
}
