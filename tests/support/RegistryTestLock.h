// Test support: tests that touch the fixed settings key Software\Tarvelon\Vombra, or the add-in's log
// file in the user's profile, hold this lock for their whole run, so that test executables running side
// by side never see each other's values. It may be taken again by the thread that holds it.
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
