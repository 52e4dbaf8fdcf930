// The key-number formats as a table: written from the Formats page's rows and columns, read back and
// merged into the settings document by name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "AppSettings.h"
#include "TableIO.h"

enum TABLE_IMPORT_RESULT {
  TABLE_IMPORTED,   // the list took the table
  TABLE_NO_ROWS,    // the table named no row: nothing changed
  TABLE_CANCELLED,  // the user refused the removal: nothing changed
};

// Asked before a replace removes `removed` (>= 1) items; true goes on. Null: never asked.
typedef std::function<bool(int removed)> TableRemovalQuestion;

// Reads the whole table first and changes the document in one batch only when all of it was read:
// named formats are updated or added and placed first in file order, the rest keep their order;
// `replace` removes the user formats the table does not name (asking first under CONFIRM_REPLACE_ITEM).
// `filter` is the key filter whose Visible bit and default format the table's columns address.
// Reader failures propagate and leave the document untouched.
TABLE_IMPORT_RESULT ImportFormats(CAppSettings& settings, UINT filter, CBTableImport& reader, const wchar_t* path,
                                  bool replace, const TableRemovalQuestion& question);

// Writes `rows` (indices into the format list) under the titles of `kinds` (FORMAT_COLUMN_KIND, in
// output order) in the current language. `sample` gives a row's "Last key" text, rendered when stale.
void WriteFormatsTable(CAppSettings& settings, UINT filter, UINT chosenId, const std::vector<int>& rows,
                       const std::vector<int>& kinds, const std::function<std::wstring(int row)>& sample,
                       CBTableExport& writer, const wchar_t* path);
