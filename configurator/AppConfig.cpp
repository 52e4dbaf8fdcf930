#include "AppConfig.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "Core.h"
#include "File.h"
#include "FormatApply.h"
#include "Strings.h"

namespace {

// Element names of the window slots, in slot order.
const wchar_t* const kFormNames[FORM_SLOT_COUNT] = {L"AppWin",  L"Columns", L"KeyFilters", L"Format",
                                                    L"DevOpen", L"Method",  L"Key"};
// The slot whose show state a show-state index holds.
const int kShowStateSlots[SHOW_STATE_COUNT] = {FORM_APP_WIN, FORM_FORMAT};

// The Confirm element's attributes, in ConfirmFlags bit order.
const struct {
  const wchar_t* name;
  UINT flag;
} kConfirmAttributes[] = {
    {L"deleteItem", CONFIRM_DELETE_ITEM},          {L"replaceItem", CONFIRM_REPLACE_ITEM},
    {L"loadConfig", CONFIRM_LOAD_CONFIG},          {L"saveConfig", CONFIRM_SAVE_CONFIG},
    {L"resetToDefault", CONFIRM_RESET_TO_DEFAULT},
};

const wchar_t* const kItemPrefix = L"Item";

// The five values of a FormPos text "[x,y,cx,cy,state]": pieces split at commas and blanks, empty
// ones skipped, a piece that is no number leaving its value as it was. False unless the text has
// the bracket form.
bool ParseFormPos(const std::wstring& text, int values[5], bool& hasState) {
  hasState = false;
  if (text.size() <= 2 || text.front() != L'[' || text.back() != L']') return false;
  std::wstring inner = text.substr(1, text.size() - 2);
  int piece = 0;
  size_t pos = 0;
  while (piece < 5 && pos < inner.size()) {
    const size_t end = inner.find_first_of(L", ", pos);
    const std::wstring part = inner.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
    pos = (end == std::wstring::npos) ? inner.size() : end + 1;
    if (part.empty()) continue;
    wchar_t* stop = nullptr;
    const long value = wcstol(part.c_str(), &stop, 10);
    if (stop != part.c_str()) {
      values[piece] = int(value);
      if (piece == 4) hasState = true;
    }
    ++piece;
  }
  return true;
}

}  // namespace

CMXNode* FindOrAddChild(CMXNode* parent, const wchar_t* name) {
  CMXNode* child = parent->FindChild(name);
  return child ? child : parent->AddChild(name);
}

bool ReadAttrUInt(const CMXNode* node, const wchar_t* name, UINT& out, int base) {
  if (!node) return false;
  const std::wstring& text = node->GetAttribute(name);
  wchar_t* stop = nullptr;
  const unsigned long value = wcstoul(text.c_str(), &stop, base);
  if (stop == text.c_str()) return false;
  out = UINT(value);
  return true;
}

bool ReadAttrInt(const CMXNode* node, const wchar_t* name, int& out) {
  if (!node) return false;
  const std::wstring& text = node->GetAttribute(name);
  wchar_t* stop = nullptr;
  const long value = wcstol(text.c_str(), &stop, 10);
  if (stop == text.c_str()) return false;
  out = int(value);
  return true;
}

void WriteAttrUInt(CMXNode* node, const wchar_t* name, UINT value) {
  node->SetAttribute(name, std::to_wstring(value).c_str());
}

void WriteAttrInt(CMXNode* node, const wchar_t* name, int value) {
  node->SetAttribute(name, std::to_wstring(value).c_str());
}

bool ReadAttrFlag(const CMXNode* node, const wchar_t* name, UINT& flags, UINT bit) {
  UINT value = 0;
  if (!ReadAttrUInt(node, name, value)) return false;
  flags = value ? (flags | bit) : (flags & ~bit);
  return true;
}

bool ReadAttrBool(const CMXNode* node, const wchar_t* name, bool& out) {
  UINT value = 0;
  if (!ReadAttrUInt(node, name, value)) return false;
  out = value != 0;
  return true;
}

void WriteAttrBool(CMXNode* node, const wchar_t* name, bool value) {
  node->SetAttribute(name, value ? L"1" : L"0");
}

// --- CAppConfig

void CAppConfig::Load(const wchar_t* path) {
  m_path = path ? path : L"";
  Clear();
  const DWORD attributes = GetFileAttributesW(m_path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::wstring text;
    ReadUtf8File(m_path.c_str(), text);
    Parse(text.c_str(), text.size());
  }
  m_modified = false;
  m_version = 0;
  m_configurator = nullptr;
  if (CMXNode* vombra = GetRoot().FindChild(L"Vombra")) m_configurator = vombra->FindChild(L"Configurator");
  if (m_configurator) {
    int major = 0, minor = 0;
    if (swscanf(m_configurator->GetAttribute(L"version").c_str(), L"%d.%d", &major, &minor) == 2) {
      m_version = UINT(major & 0xFF) | UINT(minor & 0xFF) << 8;
    }
  }
}

void CAppConfig::InitRoot() {
  if (m_version == kConfigVersion) return;
  m_version = kConfigVersion;
  GetRoot().SetAttribute(L"version", L"1.0");
  GetRoot().SetAttribute(L"encoding", L"utf-8");
  m_configurator = FindOrAddChild(FindOrAddChild(&GetRoot(), L"Vombra"), L"Configurator");
  m_configurator->DeleteChildren();
  std::wstring version;
  StrFormat(version, L"%d.%d", int(m_version & 0xFF), int(m_version >> 8 & 0xFF));
  m_configurator->SetAttribute(L"version", version.c_str());
  m_modified = true;
}

void CAppConfig::Save() {
  if (!m_modified) return;
  const size_t slash = m_path.rfind(L'\\');
  if (slash != std::wstring::npos && slash > 0) {
    const std::wstring folder = m_path.substr(0, slash);
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      if (!CreateDirectoryPath(folder.c_str())) ThrowFileOsError(GetLastError(), folder.c_str());
    }
  }
  std::wstring text;
  Serialize(text);
  WriteUtf8File(m_path.c_str(), text.c_str(), text.size());
  m_modified = false;
}

void CAppConfig::ReadConfirmFlags(const CMXNode* main, UINT& flags) {
  const CMXNode* confirm = main ? main->FindChild(L"Confirm") : nullptr;
  if (!confirm) return;
  for (const auto& attribute : kConfirmAttributes)
    ReadAttrFlag(confirm, attribute.name, flags, attribute.flag);
}

void CAppConfig::WriteConfirmFlags(CMXNode* main, UINT flags) {
  CMXNode* confirm = FindOrAddChild(main, L"Confirm");
  for (const auto& attribute : kConfirmAttributes)
    WriteAttrBool(confirm, attribute.name, (flags & attribute.flag) != 0);
  m_modified = true;
}

void CAppConfig::WriteLastKey(UINT keyType, const _KEYNUM_INFO& key) {
  if (!m_configurator) return;
  CMXNode* lastKey = FindOrAddChild(m_configurator, L"LastKey");
  WriteAttrUInt(lastKey, L"keyType", keyType);
  std::wstring number;
  BytesToHexStrReversed(key.Data, std::min<size_t>(key.Length, sizeof key.Data), number);
  lastKey->SetAttribute(L"keyNumber", number.c_str());
  m_modified = true;
}

void CAppConfig::ReadFormPos(const CMXNode* ui, POINT* positions, SIZE* sizes, int* showStates) {
  const CMXNode* formPos = ui ? ui->FindChild(L"FormPos") : nullptr;
  if (!formPos) return;
  for (int slot = 0; slot < FORM_SLOT_COUNT; ++slot) {
    const CMXNode* element = formPos->FindChild(kFormNames[slot]);
    if (!element) continue;
    int values[5] = {FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, -1};
    bool hasState = false;
    if (!ParseFormPos(element->GetText(), values, hasState)) continue;
    if (positions) positions[slot] = {values[0], values[1]};
    if (sizes) sizes[slot] = {values[2], values[3]};
    for (int state = 0; state < SHOW_STATE_COUNT && showStates; ++state) {
      if (kShowStateSlots[state] == slot && hasState && values[4] != -1) showStates[state] = values[4];
    }
  }
}

void CAppConfig::WriteFormPos(CMXNode* ui, const POINT* positions, const SIZE* sizes, const int* showStates) {
  CMXNode* formPos = FindOrAddChild(ui, L"FormPos");
  for (int slot = 0; slot < FORM_SLOT_COUNT; ++slot) {
    CMXNode* element = FindOrAddChild(formPos, kFormNames[slot]);
    int values[5] = {FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, -1};
    if (!positions || !sizes) {
      // The pair not given keeps what the file has.
      int old[5] = {FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, FORM_POS_UNSET, -1};
      bool hasState = false;
      if (ParseFormPos(element->GetText(), old, hasState)) {
        if (!positions) values[0] = old[0], values[1] = old[1];
        if (!sizes) values[2] = old[2], values[3] = old[3];
      }
    }
    if (positions) values[0] = positions[slot].x, values[1] = positions[slot].y;
    if (sizes) values[2] = sizes[slot].cx, values[3] = sizes[slot].cy;
    bool withState = false;
    for (int state = 0; state < SHOW_STATE_COUNT && showStates; ++state) {
      if (kShowStateSlots[state] == slot) {
        values[4] = showStates[state];
        withState = true;
      }
    }
    std::wstring text;
    if (withState) {
      StrFormat(text, L"[%d,%d,%d,%d,%d]", values[0], values[1], values[2], values[3], values[4]);
    } else {
      StrFormat(text, L"[%d,%d,%d,%d]", values[0], values[1], values[2], values[3]);
    }
    element->SetText(text);
  }
  m_modified = true;
}

void CAppConfig::ReadColumns(const CMXNode* parent, COLUMN_SET& set) {
  const CMXNode* columns = parent ? parent->FindChild(L"Columns") : nullptr;
  if (!columns) return;
  const std::vector<CMXNode*>& items = columns->GetChildren();
  for (size_t i = 0; i < items.size() && i < set.size(); ++i) {
    _COLUMN_SETTINGS_INFO& column = set[i];
    ReadAttrInt(items[i], L"width", column.width);
    ReadAttrInt(items[i], L"order", column.order);
    int align = 0;
    if (ReadAttrInt(items[i], L"align", align) && align >= 0 && align <= 2) column.align = align;
    ReadAttrFlag(items[i], L"visible", column.flags, COLUMN_VISIBLE);
    ReadAttrFlag(items[i], L"autoSize", column.flags, COLUMN_AUTOSIZE);
  }
}

void CAppConfig::WriteColumns(CMXNode* parent, const COLUMN_SET& set) {
  CMXNode* columns = FindOrAddChild(parent, L"Columns");
  columns->DeleteChildren();
  for (size_t i = 0; i < set.size(); ++i) {
    CMXNode* item = columns->AddChild((kItemPrefix + std::to_wstring(i + 1)).c_str());
    WriteAttrInt(item, L"width", set[i].width);
    WriteAttrInt(item, L"order", set[i].order);
    WriteAttrInt(item, L"align", set[i].align);
    WriteAttrBool(item, L"visible", (set[i].flags & COLUMN_VISIBLE) != 0);
    WriteAttrBool(item, L"autoSize", (set[i].flags & COLUMN_AUTOSIZE) != 0);
  }
  m_modified = true;
}

bool CAppConfig::ReadFormatItem(const CMXNode* item, _FORMAT_INFO_EX& format) {
  // "Item" in any case, then decimal digits only: a sign or a number past the largest id names no id.
  format.Id = 0;
  const std::wstring& name = item->GetName();
  if (name.size() > 4 && _wcsnicmp(name.c_str(), kItemPrefix, 4) == 0) {
    unsigned long long id = 0;
    size_t i = 4;
    for (; i < name.size() && name[i] >= L'0' && name[i] <= L'9' && id <= kMaxFormatId; ++i) {
      id = id * 10 + UINT(name[i] - L'0');
    }
    if (i == name.size() && id <= kMaxFormatId) format.Id = UINT(id);
  }
  format.Name.clear();
  format.Template.clear();
  format.Params.clear();
  format.Comment.clear();
  format.Sample.clear();
  format.KeyFilters = 0xFFFFFFFF;
  UINT enabled = 0;
  format.Flags = (ReadAttrUInt(item, L"enabled", enabled) && enabled) ? UINT(FORMAT_SAVE_IN_VOMBRA) : 0u;
  const struct {
    const wchar_t* element;
    std::wstring* text;
  } texts[] = {{L"Name", &format.Name},
               {L"Template", &format.Template},
               {L"Params", &format.Params},
               {L"Comment", &format.Comment}};
  for (const auto& text : texts) {
    if (const CMXNode* child = item->FindChild(text.element))
      DecodeEscapes(*text.text, child->GetText().c_str());
  }
  if (format.Name.empty()) return false;
  if (const CMXNode* keyFilters = item->FindChild(L"KeyFilters"))
    StrToUInt(keyFilters->GetText().c_str(), format.KeyFilters);
  return true;
}

void CAppConfig::WriteFormatItem(CMXNode* formats, const _FORMAT_INFO_EX& format) {
  CMXNode* item = formats->AddChild((kItemPrefix + std::to_wstring(format.Id)).c_str());
  WriteAttrBool(item, L"enabled", (format.Flags & FORMAT_SAVE_IN_VOMBRA) != 0);
  const struct {
    const wchar_t* element;
    const std::wstring* text;
  } texts[] = {{L"Name", &format.Name},
               {L"Template", &format.Template},
               {L"Params", &format.Params},
               {L"Comment", &format.Comment}};
  for (const auto& text : texts) {
    std::wstring encoded;
    EncodeEscapes(encoded, text.text->c_str(), text.text->size());
    item->AddChild(text.element)->SetText(std::move(encoded));
  }
  item->AddChild(L"KeyFilters")->SetText(std::to_wstring(format.KeyFilters));
  m_modified = true;
}

void CAppConfig::ReadMethodArgs(const CMXNode* methArgs, const wchar_t* name, METHOD_ARGS& args) {
  args.clear();
  const CMXNode* method = methArgs ? methArgs->FindChild(name) : nullptr;
  if (!method) return;
  for (const CMXNode* item : method->GetChildren()) {
    _METHOD_ARG_INFO arg;
    UINT type = 0;
    arg.Vt = ReadAttrUInt(item, L"type", type) ? WORD(type) : WORD(0);
    arg.Width = 75;
    ReadAttrInt(item, L"width", arg.Width);
    for (const CMXNode* text : item->GetChildren()) arg.Items.push_back(text->GetText());
    args.push_back(std::move(arg));
  }
}

void CAppConfig::WriteMethodArgs(CMXNode* methArgs, const wchar_t* name, const METHOD_ARGS& args) {
  CMXNode* method = FindOrAddChild(methArgs, name);
  method->DeleteChildren();
  for (size_t i = 0; i < args.size(); ++i) {
    CMXNode* item = method->AddChild((kItemPrefix + std::to_wstring(i)).c_str());
    WriteAttrUInt(item, L"type", args[i].Vt);
    for (const std::wstring& text : args[i].Items) item->AddChild(kItemPrefix)->SetText(text);
    WriteAttrInt(item, L"width", args[i].Width);
  }
  m_modified = true;
}
