// The reader's way to its events: it forwards every event to the add-in's handler until it is shut,
// after which events go nowhere. A reader whose thread is left to end by itself shuts it, so that
// nothing of the thread reaches the add-in after the host's Close or Done.
#pragma once

#include <windows.h>

#include <atomic>

#include "ReaderEvents.h"

class CReaderEventsGate : public IReaderEvents {
 public:
  void SetTarget(IReaderEvents* target) { m_target = target; }
  // No event passes after this; waits up to limit ms for the ones passing now to return.
  void Shut(DWORD limit);

  void OnNumberTransfer(CReader* reader, INT64 index) override;
  void OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) override;
  void OnKeyFound(CReader* reader, INT64 index) override;
  void OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid, const _KEYNUM_INFO* number,
                 const wchar_t* text) override;
  void OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) override;
  void OnReaderConnect(CReader* reader) override;
  void OnReaderDisconnect(CReader* reader) override;
  void OnCommandDone(CReader* reader) override;
  void OnTemicScanCycle(CReader* reader) override;

 private:
  // Counts the event passing for the length of a scope; Target is null when the gate is shut.
  class CPass {
   public:
    explicit CPass(CReaderEventsGate& gate);
    ~CPass() { --m_gate.m_passing; }
    IReaderEvents* Target() const { return m_target; }

   private:
    CReaderEventsGate& m_gate;
    IReaderEvents* m_target;
  };

  std::atomic<IReaderEvents*> m_target{nullptr};
  std::atomic<bool> m_shut{false};
  std::atomic<int> m_passing{0};
};
