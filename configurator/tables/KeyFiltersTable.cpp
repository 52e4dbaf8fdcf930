#include "KeyFiltersTable.h"

#include <unordered_map>

#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "KeyFiltersDialog.h"

namespace {

const LANGID kTableLanguages[] = {MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT)};
const int64_t kMaxKeyTypes = 0x3FFFFF;
const int64_t kMaxKeySize = 65535;

struct ImportedFilter {
  std::wstring name;
  UINT id = 0;
  bool hasShow = false, show = false;
  bool hasTypes = false;
  UINT keyTypes = 0;
  bool hasSize = false;
  UINT keySize = 0;
};

int TitleId(const std::wstring& text) {
  for (LANGID language : kTableLanguages) {
    for (int id = 0; id < KFCOL_COUNT; ++id) {
      if (text == LoadStrIn(IDS_KFCOL_VISIBLE + UINT(id), language)) return id;
    }
  }
  return -1;
}

void ReadRows(CBTableImport& reader, std::vector<ImportedFilter>& out) {
  std::vector<int> ids(size_t(reader.columnCount), -1);
  bool header = false;
  for (int c = 0; c < reader.columnCount; ++c) {
    if (c > 0 && !reader.MoveColumn(1)) break;
    std::wstring text;
    if (reader.GetString(text)) ids[size_t(c)] = TitleId(text);
    if (ids[size_t(c)] >= 0) header = true;
  }
  if (!header) {
    reader.MoveColumn(-reader.column);  // the first row is data
    for (int c = 0; c < reader.columnCount; ++c) ids[size_t(c)] = c < KFCOL_COUNT ? c : -1;
  }
  bool atRow = header ? reader.NextRow() : true;
  for (; atRow; atRow = reader.NextRow()) {
    ImportedFilter record;
    for (int c = 0; c < reader.columnCount; ++c) {
      if (c > 0 && !reader.MoveColumn(1)) break;
      std::wstring text;
      int64_t number = 0;
      switch (ids[size_t(c)]) {
        case KFCOL_VISIBLE:
          if (reader.GetString(text)) {
            record.hasShow = true;
            record.show = TableMarkSet(text);
          }
          break;
        case KFCOL_ID:
          if (reader.GetInt64(number) && number >= 1 && number <= kMaxKeyFilterId) record.id = UINT(number);
          break;
        case KFCOL_NAME:
          if (reader.GetString(text)) record.name = text;
          break;
        case KFCOL_KEY_TYPES:
          if (reader.GetInt64(number) && number >= 0 && number <= kMaxKeyTypes) {
            record.hasTypes = true;
            record.keyTypes = UINT(number);
          }
          break;
        case KFCOL_KEY_SIZE:
          if (reader.GetInt64(number) && number >= 0 && number <= kMaxKeySize) {
            record.hasSize = true;
            record.keySize = UINT(number);
          }
          break;
        default:
          break;
      }
    }
    if (!record.name.empty()) out.push_back(std::move(record));
  }
}

}  // namespace

TABLE_IMPORT_RESULT ImportKeyFilters(const KEY_FILTER_LIST& target, CBTableImport& reader, const wchar_t* path,
                                     bool replace, const TableRemovalQuestion& question, bool* limitReached) {
  if (limitReached) *limitReached = false;
  reader.Open(path);
  std::vector<ImportedFilter> records;
  if (reader.rowCount > 0) ReadRows(reader, records);
  if (records.empty()) return TABLE_NO_ROWS;

  std::vector<_KEYFILTER_INFO> list = *target.filters;
  std::unordered_map<std::wstring, size_t> byName;
  for (size_t i = 0; i < list.size(); ++i) byName.emplace(list[i].Name, i);
  // Filters a replace removes give their ids up before new rows take ids.
  std::vector<bool> kept(list.size(), !replace);
  for (const ImportedFilter& record : records) {
    auto found = byName.find(record.name);
    if (found != byName.end()) kept[found->second] = true;
  }
  bool used[kMaxKeyFilterId + 1] = {};
  for (size_t i = 0; i < list.size(); ++i) {
    if (kept[i] && list[i].Id <= kMaxKeyFilterId) used[list[i].Id] = true;
  }
  UINT cursor = *target.nextIdCursor;
  auto freshId = [&]() -> UINT {
    const UINT start = cursor < 1 || cursor > kMaxKeyFilterId ? 1 : cursor;
    for (UINT id = start; id <= kMaxKeyFilterId; ++id) {
      if (!used[id]) return cursor = id + 1, id;
    }
    for (UINT id = 1; id < start; ++id) {
      if (!used[id]) return cursor = id + 1, id;
    }
    return 0;
  };

  std::vector<size_t> order;
  std::vector<bool> named(list.size(), false);
  for (const ImportedFilter& record : records) {
    size_t index;
    auto found = byName.find(record.name);
    if (found != byName.end()) {
      index = found->second;
      _KEYFILTER_INFO& filter = list[index];
      if (record.hasShow) filter.Flags = record.show ? (filter.Flags | KEYFILTER_SHOW_TAB) : (filter.Flags & ~UINT(KEYFILTER_SHOW_TAB));
      if (record.hasTypes) filter.KeyTypes = record.keyTypes;
      if (record.hasSize) filter.KeySize = record.keySize;
    } else {
      UINT id = record.id && !used[record.id] ? record.id : freshId();
      if (id == 0) {
        if (limitReached) *limitReached = true;
        continue;
      }
      used[id] = true;
      _KEYFILTER_INFO filter;
      filter.Id = id;
      filter.Name = record.name;
      filter.KeyTypes = record.keyTypes;
      filter.KeySize = record.keySize;
      filter.Flags = !record.hasShow || record.show ? UINT(KEYFILTER_SHOW_TAB) : 0u;
      index = list.size();
      list.push_back(std::move(filter));
      named.push_back(false);
      kept.push_back(true);
      byName.emplace(list[index].Name, index);
    }
    if (!named[index]) {
      named[index] = true;
      order.push_back(index);
    }
  }
  if (order.empty()) return TABLE_NO_ROWS;

  int removed = 0;
  for (size_t i = 0; i < list.size(); ++i) removed += kept[i] ? 0 : 1;
  if (removed > 0 && question && !question(removed)) return TABLE_CANCELLED;

  std::vector<_KEYFILTER_INFO> placed;
  placed.reserve(list.size());
  for (size_t index : order) placed.push_back(std::move(list[index]));
  UINT formatsFilterId = *target.formatsFilterId;
  for (size_t i = 0; i < list.size(); ++i) {
    if (named[i]) continue;
    if (!kept[i]) {
      if (list[i].Id == formatsFilterId) formatsFilterId = 0;
      continue;
    }
    placed.push_back(std::move(list[i]));
  }
  for (_KEYFILTER_INFO& filter : placed) filter.Flags &= ~UINT(KEYFILTER_MARK);
  *target.filters = std::move(placed);
  *target.nextIdCursor = cursor;
  *target.formatsFilterId = formatsFilterId;
  return TABLE_IMPORTED;
}

void WriteKeyFiltersTable(const std::vector<_KEYFILTER_INFO>& filters, const std::vector<int>& columns,
                          CBTableExport& writer, const wchar_t* path) {
  writer.Create(int(columns.size()), int(filters.size()) + 1, path);
  for (int id : columns) {
    std::wstring title;
    LoadStr(IDS_KFCOL_VISIBLE + UINT(id), title);
    writer.PutString(title.c_str());
  }
  writer.NextRow();
  for (size_t r = 0; r < filters.size(); ++r) {
    const _KEYFILTER_INFO& filter = filters[r];
    for (int id : columns) {
      switch (id) {
        case KFCOL_VISIBLE: writer.PutString(filter.Flags & KEYFILTER_SHOW_TAB ? L"+" : L"-"); break;
        case KFCOL_NUMBER: writer.PutInteger(int(r + 1)); break;
        case KFCOL_ID: writer.PutInteger(int(filter.Id)); break;
        case KFCOL_NAME: writer.PutString(filter.Name.c_str()); break;
        case KFCOL_KEY_TYPES: writer.PutInteger(int(filter.KeyTypes)); break;
        case KFCOL_KEY_SIZE: writer.PutInteger(int(filter.KeySize)); break;
        default: writer.PutString(L""); break;
      }
    }
    writer.NextRow();
  }
  writer.Finish();
  writer.Close(false);
}
