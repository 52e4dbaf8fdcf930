#include "FakeHost.h"

#include <cstdlib>
#include <cwchar>

namespace {

std::wstring Copy(const WCHAR_T* text) { return text ? std::wstring(text) : std::wstring(); }

}  // namespace

CFakeHost::~CFakeHost() {
  // Blocks the add-in never handed back would be the test's leak, not the host's.
  for (void* block : m_blocks) std::free(block);
}

// The host is never deleted through its interfaces; tests own it.
void* CFakeHost::ScalarDeletingDestructor(unsigned int) { return this; }

bool CFakeHost::AddError(unsigned short code, const WCHAR_T* source, const WCHAR_T* description, long scode) {
  std::lock_guard<CSectionLock> lock(m_lock);
  m_errors.push_back({code, Copy(source), Copy(description), scode});
  return true;
}

bool CFakeHost::Read(WCHAR_T*, tVariant*, long*, WCHAR_T**) { return false; }
bool CFakeHost::Write(WCHAR_T*, tVariant*) { return false; }
bool CFakeHost::RegisterProfileAs(WCHAR_T*) { return false; }

bool CFakeHost::SetEventBufferDepth(long depth) {
  std::lock_guard<CSectionLock> lock(m_lock);
  m_depthRequests.push_back(depth);
  if (!AcceptBufferDepth) return false;
  m_depth = depth;
  return true;
}

long CFakeHost::GetEventBufferDepth() {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_depth;
}

bool CFakeHost::ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) {
  std::lock_guard<CSectionLock> lock(m_lock);
  if (!AcceptEvents) return false;
  m_events.push_back({Copy(source), Copy(message), Copy(data)});
  return true;
}

void CFakeHost::CleanEventBuffer() {
  std::lock_guard<CSectionLock> lock(m_lock);
  m_events.clear();
}

bool CFakeHost::SetStatusLine(WCHAR_T*) { return true; }
void CFakeHost::ResetStatusLine() {}

IInterface* CFakeHost::GetInterface(Interfaces number) {
  switch (number) {
    case eIMsgBox:
      return static_cast<IMsgBox*>(this);
    case eIPlatformInfo:
      return static_cast<IPlatformInfo*>(this);
    default:
      return nullptr;
  }
}

bool CFakeHost::AllocMemory(void** memory, unsigned long bytes) {
  if (!memory || FailAllocations) return false;
  void* block = std::malloc(bytes ? bytes : 1);
  if (!block) return false;
  std::lock_guard<CSectionLock> lock(m_lock);
  m_blocks.insert(block);
  ++m_allocated;
  *memory = block;
  return true;
}

void CFakeHost::FreeMemory(void** memory) {
  if (!memory || !*memory) return;
  std::lock_guard<CSectionLock> lock(m_lock);
  // A block that this host did not hand out is left alone, so the count shows the fault.
  if (m_blocks.erase(*memory) != 0) {
    std::free(*memory);
  } else {
    ++m_strayFrees;
  }
  *memory = nullptr;
}

bool CFakeHost::Confirm(const WCHAR_T* question, tVariant* answer) {
  if (!question || !answer) return false;
  answer->bVal = true;
  answer->vt = VTYPE_BOOL;
  return true;
}

bool CFakeHost::Alert(const WCHAR_T* text) { return text != nullptr; }

const AppInfo* CFakeHost::GetPlatformInfo() { return &m_info; }

void CFakeHost::FreeVariant(tVariant& value) {
  uint16_t type = VariantType(&value);
  if (type == VTYPE_PWSTR) {
    void* block = value.pwstrVal;
    FreeMemory(&block);
  } else if (type == VTYPE_BLOB || type == VTYPE_PSTR) {
    void* block = value.pstrVal;
    FreeMemory(&block);
  }
  value = tVariant{};
}

std::wstring CFakeHost::Text(const tVariant& value) {
  if (VariantType(&value) != VTYPE_PWSTR || !value.pwstrVal) return std::wstring();
  return std::wstring(value.pwstrVal, value.wstrLen);
}

std::vector<FakeHostError> CFakeHost::Errors() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_errors;
}

std::vector<FakeHostEvent> CFakeHost::Events() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_events;
}

std::vector<long> CFakeHost::DepthRequests() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_depthRequests;
}

size_t CFakeHost::OutstandingBlocks() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_blocks.size();
}

size_t CFakeHost::AllocatedBlocks() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_allocated;
}

size_t CFakeHost::StrayFrees() const {
  std::lock_guard<CSectionLock> lock(m_lock);
  return m_strayFrees;
}
