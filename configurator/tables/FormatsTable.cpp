#include "FormatsTable.h"

#include <unordered_map>
#include <unordered_set>

#include "ConfigResourceIds.h"
#include "FormatsPage.h"
#include "Strings.h"

namespace {

const LANGID kTableLanguages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)};

// One data row as read: which fields the table has, and their values.
struct ImportedFormat {
  std::wstring name;
  std::wstring fields[3];  // Template, Parameters, Comment
  bool present[3] = {};
  UINT id = 0;
  bool preset = false;
  bool chosen = false;
  bool hasSave = false, save = false;
  bool hasVisible = false, visible = false;
};

// The kind of a header cell: a title of either language, exactly; -1 for none.
int TitleKind(const std::wstring& text) {
  for (LANGID language : kTableLanguages) {
    for (int kind = 0; kind < FMTCOL_COUNT; ++kind) {
      if (text == LoadStrIn(IDS_FMTCOL_CHOICE + UINT(kind), language)) return kind;
    }
  }
  return -1;
}

// The marks of a preset's name in both languages ("[P] ", "[П] ").
std::vector<std::wstring> PresetMarks() {
  std::vector<std::wstring> marks;
  for (LANGID language : kTableLanguages) {
    const std::wstring mark = LoadStrIn(IDS_PRESET_PREFIX, language);
    if (!mark.empty()) marks.push_back(mark + L" ");
  }
  return marks;
}

void ReadRows(CBTableImport& reader, std::vector<ImportedFormat>& out, bool& hasChoice) {
  std::vector<int> kinds(size_t(reader.columnCount), -1);
  bool header = false;
  for (int c = 0; c < reader.columnCount; ++c) {
    std::wstring text;
    if (c > 0 && !reader.MoveColumn(1)) break;
    if (reader.GetString(text)) kinds[size_t(c)] = TitleKind(text);
    if (kinds[size_t(c)] >= 0) header = true;
  }
  if (!header) {
    reader.MoveColumn(-reader.column);  // the first row is data: read it again from its first cell
    for (int c = 0; c < reader.columnCount; ++c) kinds[size_t(c)] = c < FMTCOL_COUNT ? c : -1;
  }
  hasChoice = false;
  for (int kind : kinds) hasChoice |= kind == FMTCOL_CHOICE;
  const std::vector<std::wstring> marks = PresetMarks();

  bool atRow = !header;
  if (header) atRow = reader.NextRow();
  for (; atRow; atRow = reader.NextRow()) {
    ImportedFormat record;
    for (int c = 0; c < reader.columnCount; ++c) {
      if (c > 0 && !reader.MoveColumn(1)) break;
      const int kind = kinds[size_t(c)];
      if (kind < 0 || kind == FMTCOL_NUMBER || kind == FMTCOL_SAMPLE) continue;
      std::wstring text;
      if (kind == FMTCOL_ID) {
        int64_t id = 0;
        // An id outside 1..kMaxFormatId is no id: its low bits would name another format.
        if (reader.GetInt64(id) && id >= 1 && id <= int64_t(kMaxFormatId)) record.id = UINT(id);
        continue;
      }
      if (!reader.GetString(text)) continue;
      switch (kind) {
        case FMTCOL_CHOICE: record.chosen = TableMarkSet(text); break;
        case FMTCOL_NAME: record.name = text; break;
        case FMTCOL_TEMPLATE:
        case FMTCOL_PARAMS:
        case FMTCOL_COMMENT:
          record.fields[kind - FMTCOL_TEMPLATE] = text;
          record.present[kind - FMTCOL_TEMPLATE] = true;
          break;
        case FMTCOL_SAVE: record.hasSave = true; record.save = TableMarkSet(text); break;
        case FMTCOL_VISIBLE: record.hasVisible = true; record.visible = TableMarkSet(text); break;
      }
    }
    if (record.name.empty()) continue;
    for (const std::wstring& mark : marks) {
      if (record.name.size() > mark.size() && record.name.compare(0, mark.size(), mark) == 0) {
        record.preset = true;
        break;
      }
    }
    out.push_back(std::move(record));
  }
}

// Copies the record's present fields into the format; a preset takes only Comment, Save and Visible.
// True when a Save or Visible bit changed.
bool ApplyImportedFields(_FORMAT_INFO_EX& format, const ImportedFormat& record, bool preset, UINT filterBit,
                         bool& changed) {
  std::wstring* targets[3] = {&format.Template, &format.Params, &format.Comment};
  for (int i = preset ? 2 : 0; i < 3; ++i) {
    if (record.present[i] && *targets[i] != record.fields[i]) {
      *targets[i] = record.fields[i];
      changed = true;
      if (i < 2) format.Flags &= ~FORMAT_SAMPLE_VALID;  // the last key renders anew
    }
  }
  const UINT before = format.Flags;
  const UINT filtersBefore = format.KeyFilters;
  if (record.hasSave) {
    format.Flags = record.save ? (format.Flags | FORMAT_SAVE_IN_VOMBRA) : (format.Flags & ~FORMAT_SAVE_IN_VOMBRA);
  }
  if (record.hasVisible) format.KeyFilters = record.visible ? (format.KeyFilters | filterBit) : (format.KeyFilters & ~filterBit);
  const bool bits = format.Flags != before || format.KeyFilters != filtersBefore;
  changed |= bits;
  return bits;
}

}  // namespace

TABLE_IMPORT_RESULT ImportFormats(CAppSettings& settings, UINT filter, CBTableImport& reader, const wchar_t* path,
                                  bool replace, const TableRemovalQuestion& question) {
  reader.Open(path);
  std::vector<ImportedFormat> records;
  bool hasChoice = false;
  if (reader.rowCount > 0) ReadRows(reader, records, hasChoice);
  if (records.empty()) return TABLE_NO_ROWS;

  // The new list is built aside; the document takes it only at the end.
  std::vector<_FORMAT_INFO_EX> list = settings.formats;
  std::unordered_map<std::wstring, size_t> byName;
  std::unordered_set<UINT> ids;
  for (size_t i = 0; i < list.size(); ++i) {
    byName.emplace(list[i].Name, i);  // the first of equal names, as a search from the front finds
    if (list[i].Id) ids.insert(list[i].Id);
  }
  const UINT filterBit = filter < 32 ? (1u << filter) : 0;
  const std::wstring presetPrefix = CAppSettings::PresetPrefix();
  std::vector<std::wstring> prefixes;
  for (const std::wstring& mark : PresetMarks()) prefixes.push_back(L"\n" + mark);
  UINT cursor = settings.formatsNewId;
  std::vector<size_t> order;  // the named formats, first place of each
  std::vector<bool> named(list.size(), false);
  bool settingsToo = false;
  bool changed = false;
  bool anyChosen = false;
  UINT chosenId = 0;

  auto freshId = [&]() -> UINT {
    const UINT start = (cursor == 0 || cursor > kMaxFormatId) ? 1 : cursor;
    for (UINT id = start;; ++id) {
      if (!ids.count(id)) return cursor = id + 1, id;
      if (id == kMaxFormatId) break;
    }
    for (UINT id = 1; id < start; ++id) {
      if (!ids.count(id)) return cursor = id + 1, id;
    }
    return 0;
  };

  for (const ImportedFormat& record : records) {
    size_t index = size_t(-1);
    bool asPreset = false;
    if (record.preset) {
      // A preset matches by its stored name (in either language's mark) and, where the table has
      // them, its template and parameters.
      const size_t markLength = record.name.find(L' ') + 1;
      const std::wstring bare = record.name.substr(markLength);
      for (const std::wstring& prefix : prefixes) {
        auto found = byName.find(prefix + bare);
        if (found == byName.end()) continue;
        const _FORMAT_INFO_EX& format = list[found->second];
        if (!(format.Flags & FORMAT_PRESET)) continue;
        if (record.present[0] && format.Template != record.fields[0]) continue;
        if (record.present[1] && format.Params != record.fields[1]) continue;
        index = found->second;
        asPreset = true;
        break;
      }
    }
    if (index == size_t(-1)) {
      auto found = byName.find(record.name);
      if (found != byName.end() && !(list[found->second].Flags & FORMAT_PRESET)) index = found->second;
    }
    if (index == size_t(-1)) {
      UINT id = record.id && !ids.count(record.id) ? record.id : freshId();
      if (id == 0) continue;  // no id is left for it
      _FORMAT_INFO_EX format;
      format.Id = id;
      format.Name = record.name;  // a mark that matched no preset stays part of a user name
      format.Template = record.fields[0];
      format.Params = record.fields[1];
      format.Comment = record.fields[2];
      if (record.hasSave && record.save) format.Flags |= FORMAT_SAVE_IN_VOMBRA;
      if (record.hasVisible && record.visible) format.KeyFilters |= filterBit;
      if (format.Flags & FORMAT_SAVE_IN_VOMBRA) settingsToo = true;
      ids.insert(id);
      index = list.size();
      list.push_back(std::move(format));
      named.push_back(false);
      byName.emplace(list[index].Name, index);
      changed = true;
    } else {
      _FORMAT_INFO_EX& format = list[index];
      // The registry part changes with a Save or Visible bit, and with any field of a format the
      // registry holds (saved in Vombra, or needed by the add-in, before or after).
      const bool storedBefore = (format.Flags & (FORMAT_SAVE_IN_VOMBRA | FORMAT_MUST_STORE)) != 0;
      bool rowChanged = false;
      if (ApplyImportedFields(format, record, asPreset, filterBit, rowChanged)) settingsToo = true;
      if (rowChanged && (storedBefore || (format.Flags & (FORMAT_SAVE_IN_VOMBRA | FORMAT_MUST_STORE)))) {
        settingsToo = true;
      }
      changed |= rowChanged;
    }
    if (!named[index]) {
      named[index] = true;
      order.push_back(index);
    }
    if (record.chosen) {
      anyChosen = true;
      chosenId = list[index].Id;
    }
  }
  if (order.empty()) return TABLE_NO_ROWS;

  int removed = 0;
  if (replace) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (!named[i] && !(list[i].Flags & FORMAT_PRESET)) ++removed;
    }
    if (removed > 0 && (settings.ConfirmFlags & CONFIRM_REPLACE_ITEM) && question && !question(removed)) {
      return TABLE_CANCELLED;
    }
  }

  // The table's formats first in its order, then the rest in their old order.
  std::vector<_FORMAT_INFO_EX> placed;
  placed.reserve(list.size());
  for (size_t index : order) placed.push_back(std::move(list[index]));
  for (size_t i = 0; i < list.size(); ++i) {
    if (named[i]) continue;
    if (replace && !(list[i].Flags & FORMAT_PRESET)) {
      if (list[i].Flags & (FORMAT_SAVE_IN_VOMBRA | FORMAT_MUST_STORE)) settingsToo = true;
      continue;
    }
    placed.push_back(std::move(list[i]));
  }
  for (_FORMAT_INFO_EX& format : placed) format.Flags &= ~FORMAT_DELETED;

  _DOC_UPDATE_INFO batch(&settings);
  settings.formats = std::move(placed);
  settings.formatsNewId = cursor;
  settings.ClearFormatIndex();
  settings.FormatsChanged(settingsToo || removed > 0);
  if (hasChoice) {
    const UINT id = anyChosen ? chosenId : 0;
    if (filter == 0) {
      settings.SetDefaultFormatId(id);
    } else {
      for (_KEYFILTER_INFO& keyFilter : settings.keyFilters) {
        if (keyFilter.Id == filter && keyFilter.FormatId != id) {
          keyFilter.FormatId = id;
          settings.FormatUsageChanged();
        }
      }
    }
  }
  settings.EndUpdate(batch);
  return TABLE_IMPORTED;
}

void WriteFormatsTable(CAppSettings& settings, UINT filter, UINT chosenId, const std::vector<int>& rows,
                       const std::vector<int>& kinds, const std::function<std::wstring(int row)>& sample,
                       CBTableExport& writer, const wchar_t* path) {
  writer.Create(int(kinds.size()), int(rows.size()) + 1, path);
  for (int kind : kinds) {
    std::wstring title;
    LoadStr(IDS_FMTCOL_CHOICE + UINT(kind), title);
    writer.PutString(title.c_str());
  }
  writer.NextRow();
  const UINT filterBit = filter < 32 ? (1u << filter) : 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const _FORMAT_INFO_EX& format = settings.formats[size_t(rows[r])];
    for (int kind : kinds) {
      switch (kind) {
        case FMTCOL_CHOICE: writer.PutString(format.Id == chosenId ? L"+" : L"-"); break;
        case FMTCOL_NUMBER: writer.PutInteger(int(r + 1)); break;
        case FMTCOL_ID: writer.PutString(std::to_wstring(format.Id).c_str()); break;
        case FMTCOL_NAME:
          // A preset's stored line feed is dropped: the name reads "[P] name".
          writer.PutString(format.Name.c_str() + (!format.Name.empty() && format.Name[0] == L'\n' ? 1 : 0));
          break;
        case FMTCOL_TEMPLATE: writer.PutString(format.Template.c_str()); break;
        case FMTCOL_PARAMS: writer.PutString(format.Params.c_str()); break;
        case FMTCOL_COMMENT: writer.PutString(format.Comment.c_str()); break;
        case FMTCOL_SAMPLE: writer.PutString(sample ? sample(int(r)).c_str() : L""); break;
        case FMTCOL_SAVE: writer.PutString(format.Flags & FORMAT_SAVE_IN_VOMBRA ? L"+" : L"-"); break;
        case FMTCOL_VISIBLE: writer.PutString(format.KeyFilters & filterBit ? L"+" : L"-"); break;
        default: writer.PutString(L""); break;
      }
    }
    writer.NextRow();
  }
  writer.Finish();
  writer.Close(false);
}
