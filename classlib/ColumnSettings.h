// The stored form of a table column, as the settings document and the configuration file keep it; the
// table control holds the same fields with a title (TableCtrl.h).
#pragma once

#include <windows.h>

#include <vector>

enum : UINT {
  COLUMN_VISIBLE = 0x1,
  COLUMN_AUTOSIZE = 0x2,
};
struct _COLUMN_SETTINGS_INFO {
  int width;
  int order;
  int align;  // 0 left, 1 right, 2 centre
  UINT flags;
};
typedef std::vector<_COLUMN_SETTINGS_INFO> COLUMN_SET;
