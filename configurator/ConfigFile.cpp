// The settings document's configuration part to and from ConfigVombra.xml.
#include "AppConfig.h"
#include "AppSettings.h"
#include "Core.h"
#include "Strings.h"

namespace {

// The UI element's children that hold a column set, with the set they hold.
struct UiColumns {
  const wchar_t* element;
  COLUMN_SET CAppSettings::*set;
};
const UiColumns kSoundsAndEvents[] = {{L"Sounds", &CAppSettings::soundsColumns},
                                      {L"Events", &CAppSettings::eventsColumns}};
const struct {
  const wchar_t* element;
  COLUMN_SET CAppSettings::*set;
  int CAppSettings::*sortColumn;
} kSortedTables[] = {{L"Properties", &CAppSettings::propertiesColumns, &CAppSettings::propertiesSortColumn},
                     {L"Methods", &CAppSettings::methodsColumns, &CAppSettings::methodsSortColumn}};

// The Formats element of UI: its view flags, in formatsViewFlags bit order.
const struct {
  const wchar_t* name;
  UINT flag;
} kFormatsViewAttributes[] = {{L"showPreset", FORMATS_VIEW_PRESETS},
                              {L"showHidden", FORMATS_VIEW_HIDDEN},
                              {L"showUnsavedVombra", FORMATS_VIEW_UNSAVED_VOMBRA}};

const UINT kPresetsVersion = 5;

bool ReadRange(const CMXNode* node, const wchar_t* name, UINT& out, UINT max) {
  UINT value = 0;
  if (!ReadAttrUInt(node, name, value) || value > max) return false;
  out = value;
  return true;
}

CMXNode* Child(CMXNode* parent, const wchar_t* name) { return parent ? parent->FindChild(name) : nullptr; }

}  // namespace

void CAppSettings::LoadConfig(bool withUi) {
  _DOC_UPDATE_INFO batch(this, nullptr);
  CAppConfig config;
  config.Load(configPath.c_str());
  const UINT major = config.GetVersion() & 0xFF;
  const bool legacy = major < 2;
  SetConfigModified(false);
  CMXNode* configurator = config.GetConfigurator();

  if (withUi) {
    UpdateAllViews(HINT_MAIN_OPTIONS | HINT_CONFIRM_FLAGS);
    History = HISTORY_DEFAULT;
    ConfirmFlags = CONFIRM_DEFAULT;
    // With the switch on the flags are the registry's: the file's copy is for a switch that is off.
    if (!extEventsEnabled) ExternalEventFlags = 0;
    CMXNode* main = Child(configurator, L"Main");
    ReadAttrUInt(main, L"history", History, 16);
    if (legacy) {
      // The old single word: bit 0x1 delete, 0x2 load, 0x4 save.
      UINT confirm = 0;
      if (ReadAttrUInt(main, L"confirm", confirm, 16)) {
        const UINT map[][2] = {
            {0x1, CONFIRM_DELETE_ITEM}, {0x2, CONFIRM_LOAD_CONFIG}, {0x4, CONFIRM_SAVE_CONFIG}};
        for (const auto& bit : map) {
          ConfirmFlags = (confirm & bit[0]) ? (ConfirmFlags | bit[1]) : (ConfirmFlags & ~bit[1]);
        }
      }
    } else {
      CAppConfig::ReadConfirmFlags(main, ConfirmFlags);
    }
    if (!extEventsEnabled) ReadAttrUInt(main, L"advExtEvents", ExternalEventFlags, 16);

    UpdateAllViews(HINT_LAST_KEY);
    if (CMXNode* key = Child(configurator, L"LastKey")) {
      ReadRange(key, L"keyType", lastKeyType, KT_MIFARE_MINI);
      const std::wstring& number = key->GetAttribute(L"keyNumber");
      lastKey = {};
      lastKey.Length =
          BYTE(HexToBytesReversed(number.c_str(), int(number.size()), lastKey.Data, sizeof lastKey.Data));
    }

    AddViewDetail(VIEW_DETAIL_LOAD_CONFIG);
    UpdateAllViews(HINT_VIEW_OPTIONS);
    tableGrid = false;
    altListBkColor = true;
    noSortHeader = false;
    for (int i = 0; i < FORM_SLOT_COUNT; ++i) {
      if (History & HISTORY_POSITIONS) positions[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
      if (History & HISTORY_SIZES) sizes[i] = {FORM_POS_UNSET, FORM_POS_UNSET};
    }
    if (History & HISTORY_SHOW_STATE) showStates[0] = showStates[1] = 0;
    formatsViewFlags = FORMATS_VIEW_DEFAULT;
    formatsImportType = formatsExportType = keyFiltersImportType = keyFiltersExportType = 1;
    // The Formats columns and the column chooser's keep theirs unless the file has them.
    ResetTables();
    fmtFilter = 0;
    keyEditFormat = 3;

    CMXNode* ui = Child(configurator, L"UI");
    ReadAttrBool(ui, L"altListBkColor", altListBkColor);
    ReadAttrBool(ui, L"tableGrid", tableGrid);
    ReadAttrBool(ui, L"noSortHeader", noSortHeader);
    if (ReadAttrUInt(ui, L"keyEditFormat", keyEditFormat) && keyEditFormat > 4) keyEditFormat = 0;
    if (History & (HISTORY_POSITIONS | HISTORY_SIZES | HISTORY_SHOW_STATE)) {
      CAppConfig::ReadFormPos(ui, (History & HISTORY_POSITIONS) ? positions : nullptr,
                              (History & HISTORY_SIZES) ? sizes : nullptr,
                              (History & HISTORY_SHOW_STATE) ? showStates : nullptr);
    }
    if (!legacy) {
      // Files of 1.x kept these two elements in another layout.
      if (CMXNode* formatsUi = Child(ui, L"Formats")) {
        for (const auto& attribute : kFormatsViewAttributes) {
          ReadAttrFlag(formatsUi, attribute.name, formatsViewFlags, attribute.flag);
        }
        ReadAttrUInt(formatsUi, L"fmtFilter", fmtFilter);
        CAppConfig::ReadColumns(formatsUi, formatsColumns);
        ReadRange(formatsUi, L"import", formatsImportType, 3);
        ReadRange(formatsUi, L"export", formatsExportType, 6);
      }
      if (CMXNode* keyFiltersUi = Child(ui, L"KeyFilters")) {
        CAppConfig::ReadColumns(keyFiltersUi, keyFiltersColumns);
        ReadRange(keyFiltersUi, L"import", keyFiltersImportType, 3);
        ReadRange(keyFiltersUi, L"export", keyFiltersExportType, 6);
      }
    }
    for (const UiColumns& table : kSoundsAndEvents)
      CAppConfig::ReadColumns(Child(ui, table.element), this->*table.set);
    for (const auto& table : kSortedTables) {
      CMXNode* element = Child(ui, table.element);
      ReadAttrInt(element, L"sortColumn", this->*table.sortColumn);
      CAppConfig::ReadColumns(element, this->*table.set);
    }

    methodArgs.clear();
    if (CMXNode* methArgs = Child(configurator, L"MethArgs")) {
      for (const CMXNode* method : methArgs->GetChildren()) {
        METHOD_ARGS args;
        CAppConfig::ReadMethodArgs(methArgs, method->GetName().c_str(), args);
        methodArgs[method->GetName()] = std::move(args);
      }
    }
  }

  formatsEdited = false;
  UpdateAllViews(HINT_FORMATS);
  formats.clear();
  ClearFormatIndex();
  formatsSortColumn = 0;
  if (CMXNode* formatsElement = Child(configurator, L"Formats")) {
    ReadAttrInt(formatsElement, L"sortColumn", formatsSortColumn);
    ReadAttrUInt(formatsElement, L"newId", formatsNewId);
    for (const CMXNode* item : formatsElement->GetChildren()) {
      _FORMAT_INFO_EX format;
      if (!CAppConfig::ReadFormatItem(item, format)) continue;
      // A repeated ItemN (a file edited by hand) must not bring its id in twice.
      if (format.Id != 0 && FindFormatIndex(format.Id) >= 0) format.Id = 0;
      AppendFormat(std::move(format));
    }
    const LANGID language = PresetsLanguage();
    presetsLanguage = 0;
    UINT storedLanguage = 0;
    if (ReadAttrUInt(formatsElement, L"presetsLanguage", storedLanguage))
      presetsLanguage = LANGID(storedLanguage);
    UINT version = 0;
    ReadAttrUInt(formatsElement, L"presetsVersion", version);
    if (version < kPresetsVersion || presetsLanguage != language) LoadPresetFormats(language, major == 1);
    AssignMissingFormatIds();
  }
}

void CAppSettings::SaveConfig(bool withFormats, CONFIG_SAVE_MODE mode) {
  _DOC_UPDATE_INFO batch(this, nullptr);
  CAppConfig config;
  config.Load(configPath.c_str());
  if (config.GetVersion() != kConfigVersion) {
    // A missing file or one of another layout: only a whole new file will do.
    if (mode == CONFIG_SAVE_UPDATE_ONLY) return;
    config.Clear();
    withFormats = true;
  }
  config.InitRoot();
  CMXNode* configurator = config.GetConfigurator();

  CMXNode* main = FindOrAddChild(configurator, L"Main");
  config.WriteConfirmFlags(main, ConfirmFlags);
  std::wstring hex;
  StrFormat(hex, L"%x", ExternalEventFlags);
  main->SetAttribute(L"advExtEvents", hex.c_str());

  config.WriteLastKey(lastKeyType, lastKey);

  CMXNode* ui = FindOrAddChild(configurator, L"UI");
  WriteAttrBool(ui, L"altListBkColor", altListBkColor);
  WriteAttrBool(ui, L"tableGrid", tableGrid);
  WriteAttrBool(ui, L"noSortHeader", noSortHeader);
  WriteAttrUInt(ui, L"keyEditFormat", keyEditFormat);
  if (History & (HISTORY_POSITIONS | HISTORY_SIZES | HISTORY_SHOW_STATE)) {
    config.WriteFormPos(ui, (History & HISTORY_POSITIONS) ? positions : nullptr,
                        (History & HISTORY_SIZES) ? sizes : nullptr,
                        (History & HISTORY_SHOW_STATE) ? showStates : nullptr);
  }
  CMXNode* formatsUi = FindOrAddChild(ui, L"Formats");
  for (const auto& attribute : kFormatsViewAttributes) {
    WriteAttrBool(formatsUi, attribute.name, (formatsViewFlags & attribute.flag) != 0);
  }
  WriteAttrUInt(formatsUi, L"fmtFilter", fmtFilter);
  config.WriteColumns(formatsUi, formatsColumns);
  WriteAttrUInt(formatsUi, L"import", formatsImportType);
  WriteAttrUInt(formatsUi, L"export", formatsExportType);
  CMXNode* keyFiltersUi = FindOrAddChild(ui, L"KeyFilters");
  config.WriteColumns(keyFiltersUi, keyFiltersColumns);
  WriteAttrUInt(keyFiltersUi, L"import", keyFiltersImportType);
  WriteAttrUInt(keyFiltersUi, L"export", keyFiltersExportType);
  for (const UiColumns& table : kSoundsAndEvents)
    config.WriteColumns(FindOrAddChild(ui, table.element), this->*table.set);
  for (const auto& table : kSortedTables) {
    CMXNode* element = FindOrAddChild(ui, table.element);
    WriteAttrInt(element, L"sortColumn", this->*table.sortColumn);
    config.WriteColumns(element, this->*table.set);
  }

  CMXNode* methArgs = FindOrAddChild(configurator, L"MethArgs");
  methArgs->DeleteChildren();
  for (const auto& entry : methodArgs) config.WriteMethodArgs(methArgs, entry.first.c_str(), entry.second);

  if (withFormats) {
    CMXNode* formatsElement = FindOrAddChild(configurator, L"Formats");
    formatsElement->DeleteChildren();
    for (const _FORMAT_INFO_EX& format : formats) config.WriteFormatItem(formatsElement, format);
    WriteAttrUInt(formatsElement, L"newId", formatsNewId);
    WriteAttrInt(formatsElement, L"sortColumn", formatsSortColumn);
    WriteAttrUInt(formatsElement, L"presetsVersion", kPresetsVersion);
    WriteAttrUInt(formatsElement, L"presetsLanguage", presetsLanguage);
  }

  config.Save();
  if (withFormats) formatsEdited = false;
  SetConfigModified(false);
}
