// Test support: a Native API host that plays the platform's part towards the add-in object. It
// records what the add-in reports (AddError, ExternalEvent, SetEventBufferDepth), hands out memory
// and counts the blocks, so a test can check that every block the add-in handed over was freed.
#pragma once

#include <windows.h>

#include "SectionLock.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "NativeApi.h"

struct FakeHostError {
  unsigned short Code;
  std::wstring Source;
  std::wstring Description;
  long Scode;
};

struct FakeHostEvent {
  std::wstring Source;
  std::wstring Message;
  std::wstring Data;
};

class CFakeHost : public IAddInDefBaseEx, public IMemoryManager, public IMsgBox, public IPlatformInfo {
 public:
  CFakeHost() = default;
  ~CFakeHost();
  CFakeHost(const CFakeHost&) = delete;
  CFakeHost& operator=(const CFakeHost&) = delete;

  // What Init receives as its connection, and setMemManager as the memory manager.
  void* Connection() { return static_cast<IAddInDefBase*>(this); }
  void* Memory() { return static_cast<IMemoryManager*>(this); }

  // --- IAddInDefBaseEx
  void* ScalarDeletingDestructor(unsigned int flags) override;
  bool AddError(unsigned short code, const WCHAR_T* source, const WCHAR_T* description, long scode) override;
  bool Read(WCHAR_T* name, tVariant* value, long* error, WCHAR_T** errorDescription) override;
  bool Write(WCHAR_T* name, tVariant* value) override;
  bool RegisterProfileAs(WCHAR_T* profileName) override;
  bool SetEventBufferDepth(long depth) override;
  long GetEventBufferDepth() override;
  bool ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) override;
  void CleanEventBuffer() override;
  bool SetStatusLine(WCHAR_T* text) override;
  void ResetStatusLine() override;
  IInterface* GetInterface(Interfaces number) override;

  // --- IMemoryManager
  bool AllocMemory(void** memory, unsigned long bytes) override;
  void FreeMemory(void** memory) override;

  // --- IMsgBox, IPlatformInfo
  bool Confirm(const WCHAR_T* question, tVariant* answer) override;
  bool Alert(const WCHAR_T* text) override;
  const AppInfo* GetPlatformInfo() override;

  // Frees a string or blob the add-in put into a value and empties the value, as the platform does.
  void FreeVariant(tVariant& value);
  // The text of a PWSTR value (the empty text for any other type).
  static std::wstring Text(const tVariant& value);

  // Settings of the fake.
  bool AcceptBufferDepth = true;    // the answer to SetEventBufferDepth
  bool FailAllocations = false;     // AllocMemory answers false
  bool AcceptEvents = true;         // the answer to ExternalEvent

  // What the add-in did; the lock makes them safe to read while reader threads call in.
  std::vector<FakeHostError> Errors() const;
  std::vector<FakeHostEvent> Events() const;
  std::vector<long> DepthRequests() const;
  size_t OutstandingBlocks() const;  // blocks allocated and not yet freed
  size_t AllocatedBlocks() const;    // blocks allocated in all
  size_t StrayFrees() const;         // frees of a block not handed out or already freed

 private:
  mutable CSectionLock m_lock;
  std::vector<FakeHostError> m_errors;
  std::vector<FakeHostEvent> m_events;
  std::vector<long> m_depthRequests;
  long m_depth = 32;
  std::set<void*> m_blocks;
  size_t m_allocated = 0;
  size_t m_strayFrees = 0;
  AppInfo m_info{L"8.3.3", L"", 1};
};
