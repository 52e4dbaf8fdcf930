#include "Exceptions.h"

#include "Core.h"
#include "ResourceIds.h"

namespace {

UINT g_systemErrorId = IDS_SYSTEM_ERROR;
UINT g_comErrorId = IDS_COM_ERROR;

std::string ToAnsi(const std::wstring& text) {
  std::string narrow;
  WideToAnsi(text.c_str(), int(text.size()), narrow);
  return narrow;
}

}  // namespace

void SetExceptionStringIds(UINT systemError, UINT comError) {
  g_systemErrorId = systemError;
  g_comErrorId = comError;
}

COSException::COSException(DWORD code) : m_code(code) {
  if (code == 0) {
    m_message = "A call to an OS function failed";
    return;
  }
  std::wstring message;
  LoadStrFormat(message, g_systemErrorId, int(code));
  std::wstring systemText;
  if (FormatMessageText(systemText, nullptr, code)) message += L"\r\n" + systemText;
  m_message = ToAnsi(message);
}

CComException::CComException(HRESULT hr, HMODULE messages) : m_hr(hr), m_messages(messages) {
  std::wstring message;
  LoadStrFormat(message, g_comErrorId, unsigned(hr));
  std::wstring codeText;
  if (hr != 0 && FormatMessageText(codeText, messages, DWORD(hr))) message += L"\r\n" + codeText;
  m_message = ToAnsi(message);
}

void ThrowOSException(DWORD code) { throw COSException(code); }

void ThrowComException(HRESULT hr) { throw CComException(hr, g_hResInstance); }
