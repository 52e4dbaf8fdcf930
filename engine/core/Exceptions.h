// The error vocabulary of the engine: a narrow-message root and the OS and HRESULT exceptions.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "Object.h"

class CException : public std::exception {
 public:
  CException() = default;
  explicit CException(std::string message) : m_message(std::move(message)) {}
  const char* what() const noexcept override { return m_message.c_str(); }

 protected:
  std::string m_message;  // ANSI code page
};

// A failed Win32 call; the message carries the system's text for the code.
class COSException : public CException {
 public:
  explicit COSException(DWORD code);
  DWORD Code() const { return m_code; }

 private:
  DWORD m_code;
};

// An HRESULT; the add-in's own codes take their text from the given module's message table.
class CComException : public CException {
 public:
  CComException(HRESULT hr, HMODULE messages);
  HRESULT Code() const { return m_hr; }
  HMODULE Messages() const { return m_messages; }

 private:
  HRESULT m_hr;
  HMODULE m_messages;
};

// The string ids of COSException's ("System error. Code: %d.") and CComException's ("COM error %#.8x")
// texts: the add-in's by default. A deliverable with other ids sets them once at start-up, before any
// exception is made.
void SetExceptionStringIds(UINT systemError, UINT comError);

[[noreturn]] void ThrowOSException(DWORD code);
// Throws with the add-in's message table (g_hResInstance).
[[noreturn]] void ThrowComException(HRESULT hr);
