// The configurator's settings document: the add-in's registry settings, the formats and key filters,
// and the configurator's own state kept in ConfigVombra.xml, with the hints that tell the pages and
// dialogs what changed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "ColumnSettings.h"
#include "Document.h"
#include "KeyModel.h"
#include "Settings.h"

// Hint bits of the settings document.
enum : uint64_t {
  HINT_CONFIG_PATH = 0x0001,
  HINT_CONFIG_MODIFIED = 0x0002,
  HINT_SETTINGS_MODIFIED = 0x0004,
  HINT_MAIN_OPTIONS = 0x0008,
  HINT_CONFIRM_FLAGS = 0x0010,
  HINT_VIEW_OPTIONS = 0x0020,  // which options: the detail word (VIEW_DETAIL_*)
  HINT_SOUND_ENABLED = 0x0040,
  HINT_SOUND_FILES = 0x0080,
  HINT_CONNECTION = 0x0100,
  HINT_FORMATS = 0x0200,
  HINT_FORMAT_STORE = 0x0400,
  HINT_KEY_FILTERS = 0x0800,
  HINT_FORMAT_USAGE = 0x1000,
  HINT_LAST_KEY = 0x2000,
  HINT_SOUND_PLAYING = 0x4000,
  HINT_READ_ENABLED = 0x8000,
};

// The detail word of HINT_VIEW_OPTIONS.
enum : UINT {
  VIEW_DETAIL_ALT_LIST_BK_COLOR = 0x2,
  VIEW_DETAIL_TABLE_GRID = 0x4,
  VIEW_DETAIL_NO_SORT_HEADER = 0x8,
  VIEW_DETAIL_SOUNDS_COLUMNS = 0x40,
  VIEW_DETAIL_FORMATS_COLUMNS = 0x80,
  VIEW_DETAIL_FORMATS_VIEW_FLAGS = 0x100,
  VIEW_DETAIL_FMT_FILTER = 0x200,
  VIEW_DETAIL_KEY_FILTERS_COLUMNS = 0x400,
  VIEW_DETAIL_EVENTS_COLUMNS = 0x800,
  VIEW_DETAIL_PROPERTIES_COLUMNS = 0x1000,
  VIEW_DETAIL_METHODS_COLUMNS = 0x2000,
  VIEW_DETAIL_LOAD_CONFIG = 0x3FDE,  // everything a configuration load may have changed
};

// Document-only bits of a format's Flags, beside the stored FORMAT_PRESET and FORMAT_SAVE_IN_VOMBRA.
enum : UINT {
  FORMAT_FROM_RESOURCE = 0x1000,  // working mark while the presets are merged
  FORMAT_SELECTED = 0x4000,
  FORMAT_DELETED = 0x8000,        // removed by PurgeDeletedFormats
  FORMAT_SAMPLE_VALID = 0x10000,  // Sample is the last key formatted with this format
  FORMAT_MUST_STORE = 0x20000,    // the add-in needs it: SaveSettings writes it to the registry
};

// The History word: which layout state is remembered across runs.
enum : UINT {
  HISTORY_POSITIONS = 0x1,
  HISTORY_SIZES = 0x2,
  HISTORY_SHOW_STATE = 0x200,
  HISTORY_SORT_COLUMNS = 0x1000,
  HISTORY_DEFAULT = 0x1003,
};

// ConfirmFlags: the questions asked before an action.
enum : UINT {
  CONFIRM_DELETE_ITEM = 0x1,
  CONFIRM_REPLACE_ITEM = 0x2,
  CONFIRM_LOAD_CONFIG = 0x4,
  CONFIRM_SAVE_CONFIG = 0x8,
  CONFIRM_RESET_TO_DEFAULT = 0x10,
  CONFIRM_DEFAULT = 0x17,
};

// formatsViewFlags of the Formats page.
enum : UINT {
  FORMATS_VIEW_PRESETS = 0x1,
  FORMATS_VIEW_HIDDEN = 0x2,
  FORMATS_VIEW_UNSAVED_VOMBRA = 0x4,
  FORMATS_VIEW_DEFAULT = 0x5,
};

// Window placement slots.
enum : int {
  FORM_APP_WIN = 0,
  FORM_COLUMNS = 1,
  FORM_KEY_FILTERS = 2,
  FORM_FORMAT = 3,
  FORM_DEV_OPEN = 4,
  FORM_METHOD = 5,
  FORM_KEY = 6,
  FORM_SLOT_COUNT = 7,
  SHOW_STATE_COUNT = 2,  // 0 the main window, 1 the format dialog
};
constexpr int FORM_POS_UNSET = int(0x80000000);
// Show-state bits.
enum : int {
  SHOW_STATE_MINIMIZED = 0x1,
  SHOW_STATE_MAXIMIZED = 0x2,
};

// The stored form of a table column (COLUMN_VISIBLE, COLUMN_AUTOSIZE, _COLUMN_SETTINGS_INFO, COLUMN_SET) is
// the class library's (ColumnSettings.h): the table control keeps the same fields.

// The document's column sets.
enum COLUMN_SET_KIND {
  CS_CHOOSER,  // the column chooser's own list
  CS_SOUNDS,
  CS_FORMATS,
  CS_KEY_FILTERS,
  CS_EVENTS,
  CS_PROPERTIES,
  CS_METHODS,
};
COLUMN_SET DefaultColumnSet(COLUMN_SET_KIND kind);

// One remembered argument of an add-in method (the method dialog's history).
struct _METHOD_ARG_INFO {
  WORD Vt = 0;                      // tVariant type
  std::vector<std::wstring> Items;  // the current value first, then earlier ones, newest first
  WORD DefaultVt = 0;               // the parameter's default as the add-in reports it; not stored
  std::wstring DefaultText;
  int Width = 75;  // column width in pixels; -1 sizes it to its contents
};
typedef std::vector<_METHOD_ARG_INFO> METHOD_ARGS;

// A format of the document: the stored record and the last key formatted with it.
struct _FORMAT_INFO_EX : _FORMAT_INFO {
  std::wstring Sample;
};

constexpr UINT kMaxFormatId = 0xFFFFFFFE;
constexpr UINT kMaxKeyFilterId = 31;

// The first free key-filter id from cursor up to 31, else from 1 up to cursor - 1; 0 when all 31 are
// taken. The cursor becomes the id + 1. A cursor below 1 starts at 1.
UINT NextFreeKeyFilterId(const std::vector<_KEYFILTER_INFO>& filters, UINT& cursor);
// Whether Software\Tarvelon\Vombra under root holds a value or a subkey (false when it is missing).
// Throws COSException on any other registry error.
bool SettingsKeyHasData(HKEY root);
// Deletes Software\Tarvelon\Vombra with its tree under root; a missing key is fine. Throws COSException.
void DeleteSettingsTree(HKEY root);
// The five key filters the configurator starts with, and which a registry without key filters gives.
std::vector<_KEYFILTER_INFO> DefaultKeyFilters();

// How SaveConfig treats a file it cannot update in place (missing, or written by another version).
enum CONFIG_SAVE_MODE {
  CONFIG_SAVE_REWRITE,      // writes the whole file, formats included
  CONFIG_SAVE_UPDATE_ONLY,  // writes nothing to such a file; a current file gets what was asked
};

class CAppSettings : public CDocument {
 public:
  // Every field at its default: ResetConfig(false) and ResetSettings().
  CAppSettings();
  ~CAppSettings() override;

  // Also gathers the bits for the repairs of DeliverHints.
  void UpdateAllViews(uint64_t hints) override;
  // Repairs what the pending bits invalidate (format references, FORMAT_MUST_STORE, samples), then
  // delivers, with the view-options detail published for the views of the delivery.
  void DeliverHints() override;

  // --- Operations. Each runs in an update batch that keeps the current sender.
  void SetConfigPath(const wchar_t* path);
  void SetConfigModified(bool modified);
  void SetSettingsModified(bool modified);
  void SetFormatId(UINT id);
  bool SetKeyTypes(UINT keyTypes);
  void SetMifareCMask(UINT mask);
  void SetMifarePMask(UINT mask);
  void SetSoundFile(int slot, const wchar_t* file);
  void SetDefaultFormatId(UINT id);
  // After key filters' FormatId changed.
  void FormatUsageChanged();
  // After the format list changed (the id index is emptied); settingsToo when the registry part
  // changed with it.
  void FormatsChanged(bool settingsToo);
  void KeyFiltersChanged();
  void SetFormatsFilter(UINT keyFilterId);
  void SetFormatsViewFlags(UINT mask, bool set);
  void SetFormatsExportType(UINT type);
  void SetKeyFiltersExportType(UINT type);
  void SetConfirmFlags(UINT mask, bool set);
  void SetLastKey(UINT keyType, const _KEYNUM_INFO& key);
  // No hint and no flag: the caller marks the configuration modified.
  void SetMethodArgs(const wchar_t* name, const METHOD_ARGS& args);
  // ORs VIEW_DETAIL_* bits into the detail of the next HINT_VIEW_OPTIONS delivery.
  void AddViewDetail(UINT detail) { m_viewDetail |= detail; }
  // During a delivery, the detail of the HINT_VIEW_OPTIONS being delivered; 0 outside one.
  UINT GetViewDetail() const { return m_deliveredDetail ? *m_deliveredDetail : 0; }

  // The index of the first format with that id, or -1.
  int FindFormatIndex(UINT id);
  // Empties the id index; call it after adding, removing, reordering or renumbering formats directly.
  void ClearFormatIndex() { m_idIndex.clear(); }
  // An id that no format has, from formatsNewId on (wrapping to 1); 0 when none is left.
  UINT NewFormatId();
  // Removes the formats marked FORMAT_DELETED; the number removed.
  size_t PurgeDeletedFormats();

  void ResetConfig(bool keepLayout);
  void ResetSettings();
  // The registry part, from and to Software\Tarvelon\Vombra (main values and lists, never the ports).
  // Registry errors propagate as COSException.
  void LoadSettings();
  void SaveSettings();

  // ConfigVombra.xml at configPath. LoadConfig throws CFileException when the file cannot be read;
  // SaveConfig when it cannot be written, leaving the flags and the old file as they were.
  void LoadConfig(bool withUi);
  void SaveConfig(bool withFormats, CONFIG_SAVE_MODE mode = CONFIG_SAVE_REWRITE);

  // Merges the preset formats of RCDATA 805 into the list. Language 0 stands for the current
  // user-interface language. Throws COSException when the resource cannot be loaded.
  void LoadPresetFormats(LANGID language, bool adopt);
  // The merge itself, over a presets text in the layout of RCDATA 805.
  void MergePresetFormats(const std::wstring& presetsText, LANGID language, bool adopt);
  // The prefix of a preset's name in this language: a line feed, "[P]" and a space.
  static std::wstring PresetPrefix();
  // The user-interface language the presets are recorded for: 1033 without RCDATA 805.
  static LANGID PresetsLanguage();

  // --- Configuration part.
  std::wstring configPath;
  bool configModified = false;
  bool formatsEdited = false;  // the formats changed since the configuration file last got them
  bool settingsModified = false;
  bool legacyNames = false;
  BYTE hive = 0;  // 0 HKEY_CURRENT_USER, 1 HKEY_LOCAL_MACHINE
  UINT History = HISTORY_DEFAULT;
  POINT positions[FORM_SLOT_COUNT];
  SIZE sizes[FORM_SLOT_COUNT];
  int showStates[SHOW_STATE_COUNT];
  bool tableGrid = false;
  bool altListBkColor = true;
  bool noSortHeader = false;
  COLUMN_SET chooserColumns;
  COLUMN_SET soundsColumns;
  COLUMN_SET formatsColumns;
  COLUMN_SET keyFiltersColumns;
  COLUMN_SET eventsColumns;
  COLUMN_SET propertiesColumns;
  COLUMN_SET methodsColumns;
  // 0 unsorted, else column kind + 1, negative for descending.
  int formatsSortColumn = 0;
  int propertiesSortColumn = 0;
  int methodsSortColumn = 0;
  UINT formatsViewFlags = FORMATS_VIEW_DEFAULT;
  UINT fmtFilter = 0;  // key-filter id, 0 = none
  UINT formatsImportType = 1;
  UINT formatsExportType = 1;
  UINT keyFiltersImportType = 1;
  UINT keyFiltersExportType = 1;
  UINT keyEditFormat = 0;
  UINT ConfirmFlags = CONFIRM_DEFAULT;
  UINT lastKeyType = 0;
  _KEYNUM_INFO lastKey = {};
  std::map<std::wstring, METHOD_ARGS> methodArgs;

  // --- Registry part: the fields of the settings record.
  std::wstring Portname = L"Auto";
  UINT Model = 0;
  UINT Speed = 0;
  UINT StopBits = 0;
  UINT ReaderFlags = RDF_BINARY | RDF_DIFFERENT_CODES | RDF_NVT;
  UINT LogLevel = 0;
  UINT LogMaxSize = 0xFFFFFFFF;
  // The registry holds only the flags: non-zero there turns the switch on. Off, the flags stay here
  // (and in the configuration file) but the registry gets 0.
  bool extEventsEnabled = false;
  UINT ExternalEventFlags = 0;
  UINT ConnectTimeout = 10000;
  UINT ReqTimeout = 3000;
  UINT ReqTries = 2;
  UINT ConnectPeriod = 3000;
  UINT RxPeriod = 0xFFFFFFFF;
  UINT FormatId = 0;
  UINT Prefix = 0xFFFFFFFF;
  UINT Suffix = 13;
  UINT SettingFlags = STF_LOAD_AT_START;
  UINT SearchFlags = 0x2E;
  UINT FindIpTimeout = 3000;
  UINT FindIpTries = 1;
  std::vector<std::wstring> AdditionalPorts;
  UINT KeyTypes = KEY_TYPES_ALL;
  UINT IdentKeyDelay = 1000;
  UINT DelayKeyTypes = 0;
  _MIFAREREAD_INFO MifareC;
  _MIFAREREAD_INFO MifareP;
  _ULREAD_INFO MifareUL;
  _TEMICREAD_INFO Temic;
  bool SoundEnabled = false;
  std::wstring SoundFiles[SOUND_COUNT];
  UINT DefaultFormatId = 0;

  // --- Formats and key filters.
  std::vector<_FORMAT_INFO_EX> formats;  // display order
  UINT formatsNewId = 1;
  LANGID presetsLanguage = 0;
  std::vector<_KEYFILTER_INFO> keyFilters;  // priority order; Flags 0x1 = shown as a tab
  UINT KeyFilterNewId = 1;
  UINT KeyFilterSortCol = 0;

 private:
  struct IdHash {
    size_t operator()(UINT id) const;
  };

  void MarkSettingsModified();
  void MarkConfigModified();
  // Recomputes FORMAT_MUST_STORE of every format; HINT_FORMAT_STORE when a bit changed.
  void UpdateMustStore();
  UINT TakeFreeId(UINT id);
  // Appends a format; its id must be free (or 0 for one to be given later).
  void AppendFormat(_FORMAT_INFO_EX format);
  // The registry part to and from a settings record.
  void TakeRegistryValues(const _SETTINGS_INFO& record);
  void GiveRegistryValues(_SETTINGS_INFO& record) const;
  void MergeRegistryFormats(std::vector<_FORMAT_INFO>& records);
  void ResetUiDefaults();
  // The column sets but the Formats page's and the column chooser's, and the sort columns of the
  // Test page's tables.
  void ResetTables();
  void AssignMissingFormatIds();

  uint64_t m_pending = 0;  // hint bits since the last delivery, for its repairs
  UINT m_viewDetail = 0;
  const UINT* m_deliveredDetail = nullptr;
  std::unordered_map<UINT, int, IdHash> m_idIndex;  // format id -> index in formats, -1 = none
};
