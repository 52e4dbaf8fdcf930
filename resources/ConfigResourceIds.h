// Resource ids of ConfigVombra.exe, shared by the code and the resource scripts.
#pragma once

// Files (classlib/File.*): the resource exception's text and the file exception's texts, one per cause.
#define IDS_RESOURCE_UNAVAILABLE 164
#define IDS_FILE_CAUSE_BASE 300

// The engine's exception texts in the configurator (SetExceptionStringIds at start-up).
#define IDS_CONFIG_SYSTEM_ERROR 147  // "System error. Code: %d."
#define IDS_CONFIG_COM_ERROR    148  // "COM error %#.8x"

// The settings document's preset formats (configurator/Presets.cpp): the mark in a preset's name and the
// XML text of the presets.
#define IDS_PRESET_PREFIX  211  // "[P]"
#define IDR_PRESET_FORMATS 805

// Message boxes (classlib/MessageBox.*): the caption, the "Do not ask" box, and the button texts, each at
// IDS_BUTTON_BASE + the button's id (IDOK 1 .. IDIGNORE 7, IDTRYAGAIN 10, IDCONTINUE 11).
#define IDS_APP_CAPTION  102  // "Vombra Configurator"
#define IDS_DO_NOT_ASK   172  // "Do not ask"
#define IDS_BUTTON_BASE  172
