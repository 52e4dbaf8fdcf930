#include "ComKeeper.h"

#include <algorithm>

#include "Thread.h"

bool CKdComRecords::Contains(const void* address) const {
  auto* at = static_cast<const char*>(address);
  auto* begin = reinterpret_cast<const char*>(this);
  if (at >= begin && at < begin + sizeof(*this)) return true;
  return at >= WriteBuffer.data() && at < WriteBuffer.data() + WriteBuffer.capacity();
}

CKdComKeeper& CKdComKeeper::Instance() {
  static CKdComKeeper keeper;
  return keeper;
}

CKdComKeeper::CKdComKeeper() { InitializeCriticalSection(&m_lock); }

CKdComKeeper::~CKdComKeeper() {
  ReleaseAll();
  DeleteCriticalSection(&m_lock);
}

void CKdComKeeper::Keep(const std::wstring& port, std::unique_ptr<CKdComRecords> records) {
  if (!records) return;
  CCriticalSectionLock lock(&m_lock);
  SweepLocked();
  m_kept.push_back(Entry{port, std::move(records)});
}

void CKdComKeeper::SweepLocked() {
  m_kept.erase(std::remove_if(m_kept.begin(), m_kept.end(),
                              [](const Entry& entry) { return entry.Records->AllCompleted(); }),
               m_kept.end());
}

void CKdComKeeper::Sweep() {
  CCriticalSectionLock lock(&m_lock);
  SweepLocked();
}

size_t CKdComKeeper::KeptFor(const std::wstring& port) {
  CCriticalSectionLock lock(&m_lock);
  SweepLocked();
  return size_t(std::count_if(m_kept.begin(), m_kept.end(), [&port](const Entry& entry) {
    return CompareStringOrdinal(entry.Port.c_str(), -1, port.c_str(), -1, TRUE) == CSTR_EQUAL;
  }));
}

size_t CKdComKeeper::Count() {
  CCriticalSectionLock lock(&m_lock);
  SweepLocked();
  return m_kept.size();
}

bool CKdComKeeper::Holds(const void* address) {
  CCriticalSectionLock lock(&m_lock);
  return std::any_of(m_kept.begin(), m_kept.end(),
                     [address](const Entry& entry) { return entry.Records->Contains(address); });
}

void CKdComKeeper::ReleaseAll() {
  CCriticalSectionLock lock(&m_lock);
  m_kept.clear();
}
