#include "RegistryTestLock.h"

// A named mutex is seen by every process of the test run's Wine prefix.
RegistryTestLock::RegistryTestLock() : m_mutex(CreateMutexW(nullptr, FALSE, L"VombraRegistryTests")) {
  if (m_mutex) WaitForSingleObject(m_mutex, INFINITE);  // an abandoned mutex is still ours
}

RegistryTestLock::~RegistryTestLock() {
  if (m_mutex) {
    ReleaseMutex(m_mutex);
    CloseHandle(m_mutex);
  }
}
