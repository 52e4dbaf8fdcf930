// The key filters as a table: the key filters dialog's working list written under its visible columns,
// and read back by name into that list (the document sees it only at the dialog's Apply).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "FormatsTable.h"
#include "KeyFiltersDialog.h"  // KFCOL_* column ids, KEYFILTER_* bits
#include "Settings.h"
#include "TableIO.h"

// The dialog's working state an import changes.
struct KEY_FILTER_LIST {
  std::vector<_KEYFILTER_INFO>* filters;
  UINT* nextIdCursor;
  UINT* formatsFilterId;  // 0 when the import removes that filter
};

// Reads the whole table first and changes the list only when all of it was read: named filters are
// updated or added and placed first in file order, the rest keep their order; `replace` removes the
// filters the table does not name (asking first through `question`). `limitReached` is set when rows
// were skipped for want of a free id. Reader failures propagate with the list untouched.
TABLE_IMPORT_RESULT ImportKeyFilters(const KEY_FILTER_LIST& list, CBTableImport& reader, const wchar_t* path,
                                     bool replace, const TableRemovalQuestion& question, bool* limitReached);

// Writes the filters under the titles of `columns` (column ids in output order), current language.
void WriteKeyFiltersTable(const std::vector<_KEYFILTER_INFO>& filters, const std::vector<int>& columns,
                          CBTableExport& writer, const wchar_t* path);
