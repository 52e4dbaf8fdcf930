// Memory whose last byte sits right before a no-access page: a read or write one byte past the
// block is an access violation that fails the run.
#pragma once

#include <windows.h>

#include <cstddef>

class GuardedBlock {
 public:
  explicit GuardedBlock(size_t bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    const size_t pages = (bytes + page - 1) / page + 1;
    m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old = 0;
    if (m_base) VirtualProtect(m_base + (pages - 1) * page, page, PAGE_NOACCESS, &old);
    m_data = m_base ? m_base + (pages - 1) * page - bytes : nullptr;
  }
  ~GuardedBlock() {
    if (m_base) VirtualFree(m_base, 0, MEM_RELEASE);
  }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;
  void* Data() const { return m_data; }

 private:
  BYTE* m_base = nullptr;
  BYTE* m_data = nullptr;
};
