#include "ReaderEventsGate.h"

CReaderEventsGate::CPass::CPass(CReaderEventsGate& gate) : m_gate(gate) {
  // Counted before the flag is read: Shut sets the flag before it looks at the count, so an event
  // either sees the gate shut or is waited for.
  ++m_gate.m_passing;
  m_target = m_gate.m_shut ? nullptr : m_gate.m_target.load();
}

void CReaderEventsGate::Shut(DWORD limit) {
  m_shut = true;
  const DWORD start = GetTickCount();
  while (m_passing > 0 && GetTickCount() - start < limit) Sleep(1);
}

void CReaderEventsGate::OnNumberTransfer(CReader* reader, INT64 index) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnNumberTransfer(reader, index);
}

void CReaderEventsGate::OnNumberTransferError(CReader* reader, INT64 index, HRESULT code, const wchar_t* text) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnNumberTransferError(reader, index, code, text);
}

void CReaderEventsGate::OnKeyFound(CReader* reader, INT64 index) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnKeyFound(reader, index);
}

void CReaderEventsGate::OnKeyLost(CReader* reader, UINT keyType, const _KEYNUM_INFO* uid,
                                  const _KEYNUM_INFO* number, const wchar_t* text) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnKeyLost(reader, keyType, uid, number, text);
}

void CReaderEventsGate::OnReaderError(CReader* reader, HRESULT code, const wchar_t* text) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnReaderError(reader, code, text);
}

void CReaderEventsGate::OnReaderConnect(CReader* reader) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnReaderConnect(reader);
}

void CReaderEventsGate::OnReaderDisconnect(CReader* reader) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnReaderDisconnect(reader);
}

void CReaderEventsGate::OnCommandDone(CReader* reader) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnCommandDone(reader);
}

void CReaderEventsGate::OnTemicScanCycle(CReader* reader) {
  CPass pass(*this);
  if (pass.Target()) pass.Target()->OnTemicScanCycle(reader);
}
