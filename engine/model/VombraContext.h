// The engine's view of the add-in object. Readers, ports, the reader search and the PC/SC watcher
// reach the object only through g_pVombra, so the engine never includes the add-in's headers and
// engine tests can install a small fake context of their own.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <vector>

#include "Settings.h"

class CCcidConnection;

class IVombraContext {
 public:
  // The add-in lock. Lock order: the add-in lock before a reader's lock; neither is held while the
  // host is called, and no reader thread is joined while it is held.
  virtual CRITICAL_SECTION* GetLock() = 0;

  // Log level 0 (off) to 6; each writer checks its own threshold before it writes.
  virtual UINT GetLogLevel() const = 0;
  // A string-table message (number id - 1000); the source may be null.
  virtual HRESULT Log(UINT level, const wchar_t* source, UINT id, ...) = 0;
  virtual HRESULT LogV(UINT level, const wchar_t* source, UINT id, va_list args) = 0;
  // A free text made with a printf format (number 0).
  virtual void LogPrintf(UINT level, const wchar_t* source, const wchar_t* format, ...) = 0;

  // Starts Windows Sockets once for the add-in; throws CComException 0x80040204 when it cannot.
  virtual void StartupWinsock() = 0;

  // Key-reading settings. The host's thread replaces them; reader threads read them at their next use.
  virtual UINT GetKeyTypes() const = 0;
  virtual UINT GetIdentKeyDelay() const = 0;
  virtual UINT GetDelayKeyTypes() const = 0;
  virtual const _MIFAREREAD_INFO& GetMifareC() const = 0;
  virtual const _MIFAREREAD_INFO& GetMifareP() const = 0;
  virtual const _ULREAD_INFO& GetMifareUL() const = 0;
  virtual const _TEMICREAD_INFO& GetTemic() const = 0;

  // The format choice of a key; read only while holding GetLock(). GetFormatIndex gives the index of
  // the format with that ID in GetFormats(), or -1.
  virtual const std::vector<_KEYFILTER_INFO>& GetKeyFilters() const = 0;
  virtual const std::vector<_FORMAT_INFO>& GetFormats() const = 0;
  virtual UINT GetDefaultFormatId() const = 0;
  virtual int GetFormatIndex(UINT id) = 0;

  // The PC/SC watcher that PC/SC readers and the reader search register with.
  virtual CCcidConnection* GetWatcher() = 0;

  // A reader thread left to end by itself (its device never returned) keeps the object alive until it
  // ends: the host's destroy then only lets go of the host's own hold. A context that outlives every
  // reader thread needs neither.
  virtual void HoldForThread() {}
  virtual void ReleaseForThread() {}

 protected:
  // The object behind the pointer is owned elsewhere and never deleted through it.
  ~IVombraContext() = default;
};

// Set by the add-in object's constructor and cleared by its destructor (when it still points to that
// object); written only while no reader or watcher thread of that object runs (a reader thread left
// to end by itself holds the object, so its destructor comes after that thread).
extern IVombraContext* g_pVombra;
