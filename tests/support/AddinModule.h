// Test support: the built Vombra.dll (beside the test executable) as the module of the string and
// message tables, the way the add-in sets itself up when it is loaded.
#pragma once

#include <windows.h>

HMODULE AddinModule();

// Switches the calling thread's language (resources follow the thread locale under Wine) and back.
class ScopedThreadLanguage {
 public:
  explicit ScopedThreadLanguage(LANGID language);
  ~ScopedThreadLanguage();
  ScopedThreadLanguage(const ScopedThreadLanguage&) = delete;
  ScopedThreadLanguage& operator=(const ScopedThreadLanguage&) = delete;

 private:
  LCID m_lcid;
  LANGID m_ui;
};

constexpr LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
constexpr LANGID kRussian = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
