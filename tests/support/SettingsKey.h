// Test support for the settings key Software\Tarvelon\Vombra: a scope that holds the registry test
// lock and keeps the key absent in both hives before and after a test, and a dump of a key tree.
#pragma once

#include <windows.h>

#include <string>

#include "RegistryTestLock.h"

class CleanSettingsKeys {
 public:
  CleanSettingsKeys();
  ~CleanSettingsKeys();
  CleanSettingsKeys(const CleanSettingsKeys&) = delete;
  CleanSettingsKeys& operator=(const CleanSettingsKeys&) = delete;

  // Removes the settings key with its tree, and the maker's key when nothing else is left in it.
  static void Remove(HKEY hive);

 private:
  RegistryTestLock m_lock;
};

// The tree below root\path as text, one key per "[path]" line followed by its values sorted by name,
// each as "name = TYPE value": DWORD and QWORD in hex, strings quoted with every stored character
// (NULs as \0, a last odd byte as \xNN), other types as hex bytes. Subkeys follow in name order.
// "<absent>" when the key does not exist.
std::wstring DumpRegistryTree(HKEY root, const wchar_t* path);
