// The settings record's persistent form: the key Software\Tarvelon\Vombra per user or, failing that,
// per machine, loaded and saved in parts. Its names, types and item numbering are shared with the
// configurator and with settings already stored on users' machines.
#pragma once

#include <windows.h>

#include <string>

#include "Settings.h"

// The two hives the settings key lives under. The product always uses HKCU and HKLM; tests hand in
// keys of their own, since Wine cannot redirect the predefined keys.
struct SETTINGS_ROOTS {
  HKEY User = HKEY_CURRENT_USER;
  HKEY Machine = HKEY_LOCAL_MACHINE;
};

extern const wchar_t kSettingsKeyPath[];  // L"Software\\Tarvelon\\Vombra"

// Fills the given SETTINGS_PARTS of a freshly constructed record (a missing value keeps the
// record's value) and sets its Hive. Throws COSException.
void RegLoadSettings(_SETTINGS_INFO& record, UINT parts);
void RegLoadSettings(_SETTINGS_INFO& record, UINT parts, const SETTINGS_ROOTS& roots);

// Writes the given parts into the record's Hive, removes older names when the load met any, and
// removes the copy in the other hive. Throws COSException.
void RegSaveSettings(const _SETTINGS_INFO& record, UINT parts);
void RegSaveSettings(const _SETTINGS_INFO& record, UINT parts, const SETTINGS_ROOTS& roots);

// A REG_SZ value without its terminating NUL; false when absent or of another type.
bool RegReadString(HKEY key, const wchar_t* name, std::wstring& out);
// Reads a value of up to four bytes into *out whatever its type; true only when it is a REG_DWORD.
// False when absent; a larger value throws COSException(ERROR_MORE_DATA).
bool RegReadDword(HKEY key, const wchar_t* name, DWORD* out);
