// The records of serial-port operations a driver never let go of, kept until the system is done
// with them.
//
// A cancelled operation normally completes at once. Some USB-serial drivers (and Wine at times) never
// complete it, and the system may still write into its OVERLAPPED record and buffer later. A port that
// gives up waiting hands its records here, so that the memory outlives the port object: it is freed
// when every operation on it has completed, or when the module goes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

constexpr DWORD kComReadChunkSize = 1024;

// Everything of one open serial port that the system writes into while an operation is in flight.
struct CKdComRecords {
  OVERLAPPED WriteOv{};
  OVERLAPPED ReadOv{};
  OVERLAPPED CommOv{};
  DWORD CommEventMask = 0;  // WaitCommEvent's result
  char ReadChunk[kComReadChunkSize] = {};
  std::string WriteBuffer;

  bool AllCompleted() const {
    return HasOverlappedIoCompleted(&WriteOv) && HasOverlappedIoCompleted(&ReadOv) &&
           HasOverlappedIoCompleted(&CommOv);
  }
  // Whether address lies inside this block (the write buffer's heap storage included).
  bool Contains(const void* address) const;
};

// A port whose driver holds this many abandoned record blocks is not opened again: its driver is
// stuck, and each further close would keep another block.
constexpr size_t kMaxKeptComRecords = 4;

class CKdComKeeper {
 public:
  // The one keeper of the module; destroyed (freeing what it still holds) when the module unloads.
  static CKdComKeeper& Instance();

  CKdComKeeper();
  ~CKdComKeeper();
  CKdComKeeper(const CKdComKeeper&) = delete;
  CKdComKeeper& operator=(const CKdComKeeper&) = delete;

  void Keep(const std::wstring& port, std::unique_ptr<CKdComRecords> records);
  // Frees the blocks whose operations have all completed.
  void Sweep();
  // The blocks still kept for a port (after a sweep).
  size_t KeptFor(const std::wstring& port);
  size_t Count();
  // Whether address lies inside a kept block.
  bool Holds(const void* address);
  // Frees every block: only when no operation can still write into one (the module unloads).
  void ReleaseAll();

 private:
  struct Entry {
    std::wstring Port;
    std::unique_ptr<CKdComRecords> Records;
  };
  void SweepLocked();

  CRITICAL_SECTION m_lock;
  std::vector<Entry> m_kept;
};
