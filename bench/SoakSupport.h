// What the soaks measure of their own process: live threads, open handles and private bytes, and a
// watchdog that ends a run that stopped moving.
#pragma once

#include <windows.h>
#include <tlhelp32.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

inline long ProcessThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  long count = 0;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == self) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

// The process's open handles. Wine answers GetProcessHandleCount with 0, so where it does the handle
// table is probed instead: every valid handle value answers GetHandleInformation.
inline long ProcessHandles() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return long(count);
  long found = 0;
  DWORD misses = 0;
  for (ULONG_PTR value = 4; misses < 2048; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++found;
      misses = 0;
    } else {
      ++misses;
    }
  }
  return found;
}

// The open handles without the passing ones: the least of a few counts. Wine's sockets open and close
// handles of their own while a loopback simulator waits in select(); a handle left behind stays in
// every count.
inline long SettledHandles() {
  long least = ProcessHandles();
  for (int i = 0; i < 4; ++i) {
    Sleep(20);
    least = std::min(least, ProcessHandles());
  }
  return least;
}

// The values of the open handles (probed as above) and a handle's object type.
inline std::vector<ULONG_PTR> HandleValues() {
  std::vector<ULONG_PTR> values;
  DWORD misses = 0;
  for (ULONG_PTR value = 4; misses < 2048; value += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      values.push_back(value);
      misses = 0;
    } else {
      ++misses;
    }
  }
  return values;
}

inline std::wstring HandleType(ULONG_PTR value) {
  typedef LONG(WINAPI * QueryObject)(HANDLE, int, PVOID, ULONG, PULONG);
  static const QueryObject query =
      reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  struct TypeInformation {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
  };
  alignas(8) BYTE buffer[1024];
  ULONG length = 0;
  if (!query || query(reinterpret_cast<HANDLE>(value), 2, buffer, sizeof buffer, &length) != 0) return L"?";
  const TypeInformation* name = reinterpret_cast<const TypeInformation*>(buffer);
  return std::wstring(name->Buffer, name->Length / sizeof(wchar_t));
}

// The committed private memory of the process (what Windows calls private bytes), summed over its
// address space: Wine leaves PrivateUsage at 0.
inline size_t PrivateBytes() {
  size_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return total;
}

// The bytes of a heap's blocks in use: what its callers hold, without the heap's free space and
// overhead. The runtime's heap (_get_heap_handle) holds what new and malloc give, the engine's too.
inline size_t HeapBusyBytes(HANDLE heap) {
  if (!heap || !HeapLock(heap)) return 0;
  size_t busy = 0;
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
  }
  HeapUnlock(heap);
  return busy;
}

inline size_t RuntimeHeapBusyBytes() { return HeapBusyBytes(reinterpret_cast<HANDLE>(_get_heap_handle())); }

// A whole number from the environment, or fallback.
inline long EnvNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  return std::strtol(text, nullptr, 10);
}

// Polls a condition until it holds or the time runs out.
template <class F>
bool WaitFor(F done, DWORD timeout, DWORD step = 20) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= timeout) return false;
    Sleep(step);
  }
  return true;
}

// Ends the process with code 3 when Beat has not been called for the limit: a hang is a failure, and
// it must not wait for CTest's time-out to be seen.
class CWatchdog {
 public:
  explicit CWatchdog(DWORD limit) : m_limit(limit), m_last(GetTickCount()) {
    m_thread = std::thread([this] {
      while (!m_stop) {
        Sleep(200);
        if (GetTickCount() - m_last.load() > m_limit) {
          std::printf("FAIL: no progress for %lu ms (%s): a hang\n", m_limit, m_where.load());
          std::fflush(stdout);
          ExitProcess(3);
        }
      }
    });
  }
  ~CWatchdog() {
    m_stop = true;
    m_thread.join();
  }
  void Beat(const char* where) {
    m_where = where;
    m_last = GetTickCount();
  }

 private:
  DWORD m_limit;
  std::atomic<DWORD> m_last;
  std::atomic<const char*> m_where{"start"};
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};
