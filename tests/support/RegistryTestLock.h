// Test support: tests that touch the fixed settings key Software\Tarvelon\Vombra hold this lock for
// their whole run, so that test executables running side by side never see each other's values.
#pragma once

#include <windows.h>

class RegistryTestLock {
 public:
  RegistryTestLock();
  ~RegistryTestLock();
  RegistryTestLock(const RegistryTestLock&) = delete;
  RegistryTestLock& operator=(const RegistryTestLock&) = delete;

 private:
  HANDLE m_mutex;
};
