// What a reader reports to the add-in object. The reader calls these on the thread that drives it
// (its own, or the caller of a device test) and never while it holds its own lock, so an
// implementation may take the add-in lock and then the reader lock. The number text is not passed:
// the implementation reads it from the reader under the reader's lock.
#pragma once

#include <windows.h>

class CReader;
struct _KEYNUM_INFO;

class IReaderEvents {
 public:
  // A key's number text is ready: element index of the reader's key list (0 in converter mode, where
  // the text is the converter address record's).
  virtual void OnNumberTransfer(CReader* reader, INT64 index) = 0;
  virtual void OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) = 0;
  virtual void OnKeyFound(CReader* reader, INT64 index) = 0;
  // The key's record is already gone, so its data travel as arguments; number is uid again when no
  // number had been read.
  virtual void OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid, const _KEYNUM_INFO* number,
                         const wchar_t* text) = 0;
  virtual void OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) = 0;
  virtual void OnReaderConnect(CReader* reader) = 0;
  virtual void OnReaderDisconnect(CReader* reader) = 0;
  virtual void OnCommandDone(CReader* reader) = 0;
  virtual void OnTemicScanCycle(CReader* reader) = 0;

 protected:
  // Never deleted through this interface.
  ~IReaderEvents() = default;
};
