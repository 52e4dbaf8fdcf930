#include "AppSettings.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "Core.h"
#include "Exceptions.h"
#include "Handles.h"
#include "RegistryStore.h"

namespace {

const _COLUMN_SETTINGS_INFO kChooserColumns[] = {
    {20, 1, 0, 1}, {35, 2, 0, 1}, {70, 3, 0, 1}, {95, 4, 0, 1}, {20, 5, 2, 1}};
const _COLUMN_SETTINGS_INFO kSoundsColumns[] = {
    {150, 0, 0, 1}, {200, 1, 0, 1}, {25, 2, 2, 1}, {25, 3, 2, 1}, {25, 4, 2, 1}};
const _COLUMN_SETTINGS_INFO kFormatsColumns[] = {{20, 1, 0, 1}, {35, 0, 1, 1}, {35, 2, 2, 0},  {180, 3, 0, 1},
                                                 {50, 4, 0, 0}, {50, 5, 0, 0}, {150, 6, 0, 0}, {150, 7, 0, 1},
                                                 {20, 8, 0, 0}, {20, 9, 0, 0}};
const _COLUMN_SETTINGS_INFO kKeyFiltersColumns[] = {{20, 0, 0, 1},  {35, 1, 0, 1},  {35, 2, 2, 0},
                                                    {150, 3, 0, 1}, {100, 4, 0, 1}, {45, 5, 0, 1}};
const _COLUMN_SETTINGS_INFO kEventsColumns[] = {{110, 0, 0, 1}, {80, 1, 0, 1}, {100, 2, 0, 1}, {60, 3, 0, 1}};
const _COLUMN_SETTINGS_INFO kPropertiesColumns[] = {{30, 0, 0, 1}, {125, 1, 0, 1}, {125, 2, 0, 1},
                                                    {70, 3, 0, 1}, {25, 4, 0, 1},  {60, 5, 0, 1}};
const _COLUMN_SETTINGS_INFO kMethodsColumns[] = {{30, 0, 0, 1}, {125, 1, 0, 1}, {125, 2, 0, 1},
                                                 {40, 3, 0, 1}, {35, 4, 0, 1},  {60, 5, 0, 1}};

template <size_t N>
COLUMN_SET MakeSet(const _COLUMN_SETTINGS_INFO (&table)[N]) {
  return COLUMN_SET(table, table + N);
}

bool ReferencesFormat(const _FORMAT_INFO_EX& format, UINT formatId, UINT defaultFormatId,
                      const std::vector<_KEYFILTER_INFO>& filters) {
  if (format.Flags & FORMAT_SAVE_IN_VOMBRA) return true;
  if (format.Id == 0) return false;
  if (format.Id == formatId || format.Id == defaultFormatId) return true;
  return std::any_of(filters.begin(), filters.end(),
                     [&](const _KEYFILTER_INFO& filter) { return filter.FormatId == format.Id; });
}

}  // namespace

COLUMN_SET DefaultColumnSet(COLUMN_SET_KIND kind) {
  switch (kind) {
    case CS_CHOOSER:
      return MakeSet(kChooserColumns);
    case CS_SOUNDS:
      return MakeSet(kSoundsColumns);
    case CS_FORMATS:
      return MakeSet(kFormatsColumns);
    case CS_KEY_FILTERS:
      return MakeSet(kKeyFiltersColumns);
    case CS_EVENTS:
      return MakeSet(kEventsColumns);
    case CS_PROPERTIES:
      return MakeSet(kPropertiesColumns);
    case CS_METHODS:
      return MakeSet(kMethodsColumns);
  }
  return COLUMN_SET();
}

std::vector<_KEYFILTER_INFO> DefaultKeyFilters() {
  const UINT kMifare = 0x3FFE00;  // key types 9 to 21
  const UINT kEmMarineAndFobs = 0x72;
  return {
      {1, L"Mifare (4 UId)", kMifare, 4, 1, 0},
      {2, L"Mifare (7 UId)", kMifare, 7, 1, 0},
      {3, L"Em-Marine,RK-73", kEmMarineAndFobs, 0, 1, 0},
      {4, L"HID", 1u << KT_HID, 0, 1, 0},
      {5, L"iCode", 1u << KT_ICODE, 0, 1, 0},
  };
}

UINT NextFreeKeyFilterId(const std::vector<_KEYFILTER_INFO>& filters, UINT& cursor) {
  auto used = [&](UINT id) {
    return std::any_of(filters.begin(), filters.end(), [id](const _KEYFILTER_INFO& f) { return f.Id == id; });
  };
  const UINT start = std::max<UINT>(cursor, 1);
  for (UINT id = start; id <= kMaxKeyFilterId; ++id) {
    if (!used(id)) return cursor = id + 1, id;
  }
  for (UINT id = 1; id < start && id <= kMaxKeyFilterId; ++id) {
    if (!used(id)) return cursor = id + 1, id;
  }
  return 0;
}

bool SettingsKeyHasData(HKEY root) {
  CRegKey key;
  LSTATUS status = RegOpenKeyExW(root, kSettingsKeyPath, 0, KEY_READ, key.Receive());
  if (status == ERROR_FILE_NOT_FOUND) return false;
  if (status != ERROR_SUCCESS) ThrowOSException(DWORD(status));
  DWORD subkeys = 0, values = 0;
  status = RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                            nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) ThrowOSException(DWORD(status));
  return subkeys > 0 || values > 0;
}

void DeleteSettingsTree(HKEY root) {
  typedef LSTATUS(WINAPI * DeleteTreeFn)(HKEY, LPCWSTR);
  LSTATUS status;
  DeleteTreeFn deleteTree = nullptr;
  if (IsWindowsVistaOrLater()) {
    if (HMODULE advapi = GetModuleHandleW(L"advapi32.dll")) {
      deleteTree =
          reinterpret_cast<DeleteTreeFn>(reinterpret_cast<void*>(GetProcAddress(advapi, "RegDeleteTreeW")));
    }
  }
  if (deleteTree) {
    status = deleteTree(root, kSettingsKeyPath);
  } else {
    status = SHDeleteKeyW(root, kSettingsKeyPath);
  }
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) ThrowOSException(DWORD(status));
}

// --- CAppSettings

size_t CAppSettings::IdHash::operator()(UINT id) const {
  // FNV-1a over the id's four bytes, least significant first.
  uint64_t hash = 0xCBF29CE484222325ull;
  for (int i = 0; i < 4; ++i) {
    hash ^= (id >> (8 * i)) & 0xFF;
    hash *= 0x100000001B3ull;
  }
  return size_t(hash);
}

CAppSettings::CAppSettings() {
  ResetConfig(false);
  ResetSettings();
}

CAppSettings::~CAppSettings() = default;

void CAppSettings::UpdateAllViews(uint64_t hints) {
  m_pending |= hints;
  CDocument::UpdateAllViews(hints);
}

void CAppSettings::DeliverHints() {
  _DOC_UPDATE_INFO batch(this, nullptr);
  const uint64_t pending = m_pending;
  m_pending = 0;
  if (pending & HINT_FORMATS) {
    if (FormatId && FindFormatIndex(FormatId) < 0) SetFormatId(0);
    if (DefaultFormatId && FindFormatIndex(DefaultFormatId) < 0) SetDefaultFormatId(0);
    bool cleared = false;
    for (_KEYFILTER_INFO& filter : keyFilters) {
      if (filter.FormatId && FindFormatIndex(filter.FormatId) < 0) {
        filter.FormatId = 0;
        cleared = true;
      }
    }
    if (cleared) FormatUsageChanged();
  }
  if (pending & (HINT_CONNECTION | HINT_FORMATS | HINT_FORMAT_USAGE)) UpdateMustStore();
  if (pending & (HINT_LAST_KEY | HINT_FORMATS)) {
    for (_FORMAT_INFO_EX& format : formats) format.Flags &= ~FORMAT_SAMPLE_VALID;
  }
  // The detail belongs to this pass; what views add while it runs goes with the next one.
  UINT detail = m_viewDetail;
  m_viewDetail = 0;
  struct Publish {
    CAppSettings* document;
    const UINT* saved;
    ~Publish() { document->m_deliveredDetail = saved; }
  } publish{this, m_deliveredDetail};
  m_deliveredDetail = &detail;
  // Runs inside this batch, so bits that the views add wait for the batch's end, which calls this
  // override again: every further pass gets the repairs too.
  CDocument::DeliverHints();
}

void CAppSettings::MarkSettingsModified() {
  if (!settingsModified) SetSettingsModified(true);
}

void CAppSettings::MarkConfigModified() {
  if (!configModified) SetConfigModified(true);
}

void CAppSettings::SetConfigPath(const wchar_t* path) {
  _DOC_UPDATE_INFO batch(this);
  configPath = path ? path : L"";
  UpdateAllViews(HINT_CONFIG_PATH);
}

void CAppSettings::SetConfigModified(bool modified) {
  if (configModified == modified) return;
  _DOC_UPDATE_INFO batch(this);
  configModified = modified;
  UpdateAllViews(HINT_CONFIG_MODIFIED);
}

void CAppSettings::SetSettingsModified(bool modified) {
  if (settingsModified == modified) return;
  _DOC_UPDATE_INFO batch(this);
  settingsModified = modified;
  UpdateAllViews(HINT_SETTINGS_MODIFIED);
}

void CAppSettings::SetFormatId(UINT id) {
  if (FormatId == id) return;
  _DOC_UPDATE_INFO batch(this);
  FormatId = id;
  UpdateAllViews(HINT_CONNECTION);
  MarkSettingsModified();
}

bool CAppSettings::SetKeyTypes(UINT keyTypes) {
  if (KeyTypes == keyTypes) return false;
  _DOC_UPDATE_INFO batch(this);
  KeyTypes = keyTypes;
  MarkSettingsModified();
  return true;
}

void CAppSettings::SetMifareCMask(UINT mask) {
  if (MifareC.Mask == mask) return;
  _DOC_UPDATE_INFO batch(this);
  MifareC.Mask = mask;
  MarkSettingsModified();
}

void CAppSettings::SetMifarePMask(UINT mask) {
  if (MifareP.Mask == mask) return;
  _DOC_UPDATE_INFO batch(this);
  MifareP.Mask = mask;
  MarkSettingsModified();
}

void CAppSettings::SetSoundFile(int slot, const wchar_t* file) {
  if (slot < 0 || slot >= int(SOUND_COUNT)) return;
  const std::wstring text = file ? file : L"";
  if (SoundFiles[slot] == text) return;
  _DOC_UPDATE_INFO batch(this);
  SoundFiles[slot] = text;
  MarkSettingsModified();
  UpdateAllViews(HINT_SOUND_FILES);
  MarkConfigModified();
}

void CAppSettings::SetDefaultFormatId(UINT id) {
  if (DefaultFormatId == id) return;
  _DOC_UPDATE_INFO batch(this);
  DefaultFormatId = id;
  UpdateAllViews(HINT_FORMAT_USAGE);
  MarkSettingsModified();
}

void CAppSettings::FormatUsageChanged() {
  _DOC_UPDATE_INFO batch(this);
  UpdateAllViews(HINT_FORMAT_USAGE);
  MarkSettingsModified();
}

void CAppSettings::FormatsChanged(bool settingsToo) {
  _DOC_UPDATE_INFO batch(this);
  ClearFormatIndex();
  if (settingsToo) MarkSettingsModified();
  formatsEdited = true;
  UpdateAllViews(HINT_FORMATS);
  MarkConfigModified();
  formatsSortColumn = 0;
}

void CAppSettings::KeyFiltersChanged() {
  _DOC_UPDATE_INFO batch(this);
  UpdateAllViews(HINT_KEY_FILTERS);
  MarkSettingsModified();
  KeyFilterSortCol = 0;
  if (fmtFilter && std::none_of(keyFilters.begin(), keyFilters.end(),
                                [this](const _KEYFILTER_INFO& f) { return f.Id == fmtFilter; })) {
    fmtFilter = 0;
    AddViewDetail(VIEW_DETAIL_FMT_FILTER);
    UpdateAllViews(HINT_VIEW_OPTIONS);
    MarkConfigModified();
  }
}

void CAppSettings::SetFormatsFilter(UINT keyFilterId) {
  if (fmtFilter == keyFilterId) return;
  _DOC_UPDATE_INFO batch(this);
  fmtFilter = keyFilterId;
  AddViewDetail(VIEW_DETAIL_FMT_FILTER);
  UpdateAllViews(HINT_VIEW_OPTIONS);
  MarkConfigModified();
}

void CAppSettings::SetFormatsViewFlags(UINT mask, bool set) {
  const UINT flags = set ? (formatsViewFlags | mask) : (formatsViewFlags & ~mask);
  if (flags == formatsViewFlags) return;
  _DOC_UPDATE_INFO batch(this);
  formatsViewFlags = flags;
  AddViewDetail(VIEW_DETAIL_FORMATS_VIEW_FLAGS);
  UpdateAllViews(HINT_VIEW_OPTIONS);
  MarkConfigModified();
}

void CAppSettings::SetFormatsExportType(UINT type) {
  if (formatsExportType == type) return;
  _DOC_UPDATE_INFO batch(this);
  formatsExportType = type;
  MarkConfigModified();
}

void CAppSettings::SetKeyFiltersExportType(UINT type) {
  if (keyFiltersExportType == type) return;
  _DOC_UPDATE_INFO batch(this);
  keyFiltersExportType = type;
  MarkConfigModified();
}

void CAppSettings::SetConfirmFlags(UINT mask, bool set) {
  const UINT flags = set ? (ConfirmFlags | mask) : (ConfirmFlags & ~mask);
  if (flags == ConfirmFlags) return;
  _DOC_UPDATE_INFO batch(this);
  ConfirmFlags = flags;
  UpdateAllViews(HINT_CONFIRM_FLAGS);
  MarkConfigModified();
}

void CAppSettings::SetLastKey(UINT keyType, const _KEYNUM_INFO& key) {
  const BYTE length = std::min<BYTE>(key.Length, sizeof key.Data);
  if (keyType == lastKeyType && length == lastKey.Length && std::memcmp(key.Data, lastKey.Data, length) == 0)
    return;
  _DOC_UPDATE_INFO batch(this);
  lastKeyType = keyType;
  lastKey = {};
  lastKey.Length = length;
  std::memcpy(lastKey.Data, key.Data, length);
  UpdateAllViews(HINT_LAST_KEY);
  MarkConfigModified();
}

void CAppSettings::SetMethodArgs(const wchar_t* name, const METHOD_ARGS& args) {
  methodArgs[name ? name : L""] = args;
}

int CAppSettings::FindFormatIndex(UINT id) {
  auto found = m_idIndex.find(id);
  if (found != m_idIndex.end()) return found->second;
  int index = -1;
  for (size_t i = 0; i < formats.size(); ++i) {
    if (formats[i].Id == id) {
      index = int(i);
      break;
    }
  }
  m_idIndex.emplace(id, index);
  return index;
}

UINT CAppSettings::NewFormatId() {
  // 0 is no id and 0xFFFFFFFF none either: a cursor on either starts over at 1.
  const UINT start = (formatsNewId == 0 || formatsNewId > kMaxFormatId) ? 1 : formatsNewId;
  for (UINT id = start;; ++id) {
    if (FindFormatIndex(id) < 0) return TakeFreeId(id);
    if (id == kMaxFormatId) break;
  }
  formatsNewId = 1;
  for (UINT id = 1; id < start; ++id) {
    if (FindFormatIndex(id) < 0) return TakeFreeId(id);
  }
  return 0;
}

UINT CAppSettings::TakeFreeId(UINT id) {
  formatsNewId = id + 1;
  // The caller enters a format with it: the entry "none" must not outlive that.
  m_idIndex.erase(id);
  return id;
}

void CAppSettings::AppendFormat(_FORMAT_INFO_EX format) {
  // The id's entry may say "none" from a look-up before this append.
  m_idIndex.erase(format.Id);
  formats.push_back(std::move(format));
}

void CAppSettings::AssignMissingFormatIds() {
  for (size_t i = 0; i < formats.size(); ++i) {
    if (formats[i].Id != 0) continue;
    const UINT id = NewFormatId();
    if (id == 0) break;
    formats[i].Id = id;
    m_idIndex.erase(id);
  }
  // A format left without an id (all taken) is of no use to anyone.
  formats.erase(
      std::remove_if(formats.begin(), formats.end(), [](const _FORMAT_INFO_EX& f) { return f.Id == 0; }),
      formats.end());
  ClearFormatIndex();
}

size_t CAppSettings::PurgeDeletedFormats() {
  const size_t before = formats.size();
  formats.erase(std::remove_if(formats.begin(), formats.end(),
                               [](const _FORMAT_INFO_EX& f) { return (f.Flags & FORMAT_DELETED) != 0; }),
                formats.end());
  const size_t removed = before - formats.size();
  if (removed) {
    _DOC_UPDATE_INFO batch(this);
    ClearFormatIndex();
    FormatsChanged(true);
  }
  return removed;
}

void CAppSettings::UpdateMustStore() {
  _DOC_UPDATE_INFO batch(this);
  bool changed = false;
  for (_FORMAT_INFO_EX& format : formats) {
    const UINT flags = ReferencesFormat(format, FormatId, DefaultFormatId, keyFilters)
                           ? (format.Flags | FORMAT_MUST_STORE)
                           : (format.Flags & ~FORMAT_MUST_STORE);
    if (flags != format.Flags) {
      format.Flags = flags;
      changed = true;
    }
  }
  if (changed) UpdateAllViews(HINT_FORMAT_STORE);
}

void CAppSettings::ResetUiDefaults() {
  for (int i = 0; i < FORM_SLOT_COUNT; ++i) {
    positions[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
    sizes[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
  }
  for (int& state : showStates) state = 0;
  chooserColumns = DefaultColumnSet(CS_CHOOSER);
  formatsColumns = DefaultColumnSet(CS_FORMATS);
  ResetTables();
}

void CAppSettings::ResetTables() {
  soundsColumns = DefaultColumnSet(CS_SOUNDS);
  keyFiltersColumns = DefaultColumnSet(CS_KEY_FILTERS);
  eventsColumns = DefaultColumnSet(CS_EVENTS);
  propertiesColumns = DefaultColumnSet(CS_PROPERTIES);
  methodsColumns = DefaultColumnSet(CS_METHODS);
  propertiesSortColumn = 0;
  methodsSortColumn = 0;
}

void CAppSettings::ResetConfig(bool keepLayout) {
  configModified = false;
  History = HISTORY_DEFAULT;
  if (!keepLayout) ResetUiDefaults();
  formats.clear();
  ClearFormatIndex();
  formatsSortColumn = 0;
  formatsViewFlags = FORMATS_VIEW_DEFAULT;
  formatsImportType = formatsExportType = 1;
  keyFiltersImportType = keyFiltersExportType = 1;
  keyFilters = DefaultKeyFilters();
  KeyFilterNewId = keyFilters.back().Id + 1;
  KeyFilterSortCol = 0;
  fmtFilter = 0;
  noSortHeader = false;
  tableGrid = false;
  altListBkColor = true;
  ConfirmFlags = CONFIRM_DEFAULT;
}

void CAppSettings::ResetSettings() {
  settingsModified = false;
  // Every registry value at its record default, but for what belongs elsewhere: the extra ports the
  // technician listed, where the settings live, and the formats and key filters (ResetConfig's).
  const _SETTINGS_INFO defaults;
  std::vector<std::wstring> ports = std::move(AdditionalPorts);
  TakeRegistryValues(defaults);
  AdditionalPorts = std::move(ports);
  extEventsEnabled = false;
  ExternalEventFlags = 0;
}

void CAppSettings::TakeRegistryValues(const _SETTINGS_INFO& r) {
  Portname = r.Portname;
  Model = r.Model;
  Speed = r.Speed;
  StopBits = r.StopBits;
  ReaderFlags = r.Flags;
  LogLevel = r.LogLevel;
  LogMaxSize = r.LogMaxSize;
  ConnectTimeout = r.ConnectTimeout;
  ReqTimeout = r.ReqTimeout;
  ReqTries = r.ReqTries;
  ConnectPeriod = r.ConnectPeriod;
  RxPeriod = r.RxPeriod;
  FormatId = r.FormatId;
  Prefix = r.Prefix;
  Suffix = r.Suffix;
  SettingFlags = r.SettingFlags;
  SearchFlags = r.SearchFlags;
  FindIpTimeout = r.FindIpTimeout;
  FindIpTries = r.FindIpTries;
  AdditionalPorts = r.AdditionalPorts;
  KeyTypes = r.KeyTypes;
  IdentKeyDelay = r.IdentKeyDelay;
  DelayKeyTypes = r.DelayKeyTypes;
  MifareC = r.MifareC;
  MifareP = r.MifareP;
  MifareUL = r.MifareUL;
  Temic = r.Temic;
  SoundEnabled = r.SoundEnabled;
  std::copy(std::begin(r.SoundFileList), std::end(r.SoundFileList), std::begin(SoundFiles));
  DefaultFormatId = r.DefaultFormatId;
}

void CAppSettings::GiveRegistryValues(_SETTINGS_INFO& r) const {
  r.Hive = hive;
  r.LegacyNames = legacyNames ? 1 : 0;
  r.Portname = Portname;
  r.Model = Model;
  r.Speed = Speed;
  r.StopBits = StopBits;
  r.Flags = ReaderFlags;
  r.LogLevel = LogLevel;
  r.LogMaxSize = LogMaxSize;
  r.ExternalEventFlags = extEventsEnabled ? ExternalEventFlags : 0;
  r.ConnectTimeout = ConnectTimeout;
  r.ReqTimeout = ReqTimeout;
  r.ReqTries = ReqTries;
  r.ConnectPeriod = ConnectPeriod;
  r.RxPeriod = RxPeriod;
  r.FormatId = FormatId;
  r.Prefix = Prefix;
  r.Suffix = Suffix;
  r.SettingFlags = SettingFlags;
  r.SearchFlags = SearchFlags;
  r.FindIpTimeout = FindIpTimeout;
  r.FindIpTries = FindIpTries;
  r.AdditionalPorts = AdditionalPorts;
  r.KeyTypes = KeyTypes;
  r.IdentKeyDelay = IdentKeyDelay;
  r.DelayKeyTypes = DelayKeyTypes;
  r.MifareC = MifareC;
  r.MifareP = MifareP;
  r.MifareUL = MifareUL;
  r.Temic = Temic;
  r.SoundEnabled = SoundEnabled;
  std::copy(std::begin(SoundFiles), std::end(SoundFiles), std::begin(r.SoundFileList));
  r.DefaultFormatId = DefaultFormatId;
  r.KeyFilters = keyFilters;
  r.KeyFilterNewId = KeyFilterNewId;
  r.KeyFilterSortCol = KeyFilterSortCol;
}

void CAppSettings::MergeRegistryFormats(std::vector<_FORMAT_INFO>& records) {
  const std::wstring prefix = PresetPrefix();
  auto indexByName = [this](const std::wstring& name) {
    for (size_t i = 0; i < formats.size(); ++i) {
      if (formats[i].Name == name) return int(i);
    }
    return -1;
  };
  for (_FORMAT_INFO& record : records) {
    if (record.Flags & FORMAT_PRESET) record.Name = prefix + record.Name;
    int match = -1;
    if (record.Id != 0) {
      match = FindFormatIndex(record.Id);
      if (match >= 0 && formats[size_t(match)].Name != record.Name) {
        // The id is another format's here: this one is known by its name, or is new.
        record.Id = 0;
        match = -1;
      }
    }
    if (match < 0) match = indexByName(record.Name);
    if (record.Id == 0) {
      record.Id = (match >= 0) ? formats[size_t(match)].Id : 0;
      if (record.Id == 0) record.Id = NewFormatId();
      if (record.Id == 0) continue;
    }
    if (match >= 0) {
      _FORMAT_INFO_EX& format = formats[size_t(match)];
      // A format found by its name may change its id: both ids' index entries go.
      m_idIndex.erase(format.Id);
      m_idIndex.erase(record.Id);
      format.Template = record.Template;
      format.Params = record.Params;
      format.Comment = record.Comment;
      format.KeyFilters = record.KeyFilters;
      format.Id = record.Id;
      format.Flags = record.Flags;
    } else {
      _FORMAT_INFO_EX format;
      static_cast<_FORMAT_INFO&>(format) = std::move(record);
      AppendFormat(std::move(format));
    }
  }
  ClearFormatIndex();
}

void CAppSettings::LoadSettings() {
  _DOC_UPDATE_INFO batch(this, nullptr);
  _SETTINGS_INFO record;
  RegLoadSettings(record, SP_MAIN | SP_LISTS);

  hive = record.Hive;
  legacyNames = record.LegacyNames != 0;
  TakeRegistryValues(record);
  extEventsEnabled = record.ExternalEventFlags != 0;
  if (extEventsEnabled) ExternalEventFlags = record.ExternalEventFlags;
  UpdateAllViews(HINT_CONNECTION | HINT_FORMATS);

  MergeRegistryFormats(record.Formats);

  UpdateAllViews(HINT_KEY_FILTERS | HINT_FORMAT_USAGE);
  // A missing KeyFilters subkey loads as NewId 0, a missing NewId value as 1: never stored either way.
  if (record.KeyFilters.empty() && record.KeyFilterNewId <= 1) {
    keyFilters = DefaultKeyFilters();
    KeyFilterNewId = keyFilters.back().Id + 1;
    KeyFilterSortCol = 0;
  } else {
    keyFilters = record.KeyFilters;
    KeyFilterNewId = record.KeyFilterNewId;
    KeyFilterSortCol = record.KeyFilterSortCol;
  }
  UpdateAllViews(HINT_SOUND_ENABLED | HINT_SOUND_FILES);
  SetSettingsModified(false);
}

void CAppSettings::SaveSettings() {
  _DOC_UPDATE_INFO batch(this, nullptr);
  // The flag may lag behind changes of this very batch, which is delivered only at its end.
  UpdateMustStore();
  _SETTINGS_INFO record;
  GiveRegistryValues(record);
  for (const _FORMAT_INFO_EX& format : formats) {
    if (!(format.Flags & FORMAT_MUST_STORE)) continue;
    _FORMAT_INFO stored = format;
    stored.Flags &= FORMAT_PRESET | FORMAT_SAVE_IN_VOMBRA;
    if (!stored.Name.empty() && stored.Name[0] == L'\n') {
      stored.Flags |= FORMAT_PRESET;
      const size_t space = stored.Name.find(L' ');
      stored.Name.erase(0, space == std::wstring::npos ? 1 : space + 1);
    } else {
      stored.Flags &= ~FORMAT_PRESET;
    }
    record.Formats.push_back(std::move(stored));
  }
  // The add-in hands out new ids from here on: none that a format of the configuration file holds.
  record.FormatNewId = (formatsNewId == 0 || formatsNewId > kMaxFormatId) ? 1 : formatsNewId;
  RegSaveSettings(record, SP_MAIN | SP_LISTS);
  SetSettingsModified(false);
}
