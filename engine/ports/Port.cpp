// Winsock 2 before anything that includes windows.h.
#include <winsock2.h>

#include "Port.h"

#include "Core.h"
#include "Messages.h"
#include "Settings.h"
#include "VombraContext.h"

HRESULT STDMETHODCALLTYPE CKdPort::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown)) {
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CKdPort::AddRef() { return ++m_refs; }

ULONG STDMETHODCALLTYPE CKdPort::Release() {
  ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

void CKdPort::SetParams(const wchar_t* name, HANDLE stopEvent, HANDLE writeEvent, HANDLE readEvent,
                        HANDLE rxEvent) {
  Name = name ? name : L"";
  StopEvent = stopEvent;
  WriteEvent = writeEvent;
  ReadEvent = readEvent;
  RxEvent = rxEvent;
}

HRESULT CKdPort::SetConfig(UINT baud, BYTE stopBits, BYTE eventChar) {
  Baud = baud;
  StopBits = stopBits;
  EventChar = eventChar;
  return S_OK;
}

HRESULT CKdPort::GetConfig(UINT* baud, BYTE* stopBits, BYTE* eventChar) {
  if (baud) *baud = Baud;
  if (stopBits) *stopBits = StopBits;
  if (eventChar) *eventChar = EventChar;
  return S_OK;
}

HRESULT CKdPort::SetDTR(bool) { return S_OK; }

HRESULT CKdPort::SetRTS(bool) { return S_OK; }

void CKdPort::LogPort(UINT level, const wchar_t* format, ...) {
  IVombraContext* context = g_pVombra;
  if (!context || context->GetLogLevel() < kPortLogThreshold) return;
  va_list args;
  va_start(args, format);
  std::wstring text;
  StrFormatV(text, format, args);
  va_end(args);
  context->LogPrintf(level, Name.c_str(), L"%s", text.c_str());
}

CKdPortException::CKdPortException(HRESULT code, const wchar_t* text) : m_code(code) {
  if (text) m_text = text;
  std::wstring message;
  FormatMessageText(message, g_hResInstance, DWORD(code));
  WideToAnsi(message.c_str(), int(message.size()), m_message);
}

void ThrowPortException(HRESULT code, const wchar_t* text) { throw CKdPortException(code, text); }

HRESULT PortErrorFromWin32(DWORD error) {
  return error == ERROR_OPERATION_ABORTED ? VOMBRA_E_PORT_DISCONNECTED : HRESULT_FROM_WIN32(error);
}

HRESULT PortErrorFromWinsock(int error) {
  return (error == WSAECONNABORTED || error == WSAECONNRESET) ? VOMBRA_E_PORT_DISCONNECTED
                                                               : HRESULT_FROM_WIN32(DWORD(error));
}
