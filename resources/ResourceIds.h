// String-table ids shared by the code and the resource scripts.
#pragma once

#define IDS_SYSTEM_ERROR 104  // "System error. Code: %d."
#define IDS_COM_ERROR    123  // "COM error %#.8x"
