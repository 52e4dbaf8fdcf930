// The Native API as the 1C:Enterprise platform speaks it, declared by us in the platform's binary
// layout (Microsoft x64).
//
// The platform is built with Microsoft's compiler, which gives a virtual destructor ONE vtable slot
// (the scalar deleting destructor, taking a flag word: bit 0 = free the memory too). GCC would give a
// virtual destructor two slots and shift every later method by one, so the platform would call Init
// where setMemManager sits. Hence no interface here declares a virtual destructor: where the platform's
// interface has one, slot 0 is an explicit virtual with the Microsoft signature. The interfaces'
// own C++ destructors are protected and non-virtual; nothing is ever deleted through them.
#pragma once

#include <cstddef>

#include "Variant.h"

// The Native API's capability levels (SetPlatformCapabilities).
enum AppCapabilities : int {
  eAppCapabilitiesInvalid = -1,
  eAppCapabilities1 = 1,
  eAppCapabilitiesLast = eAppCapabilities1,
};

// The add-in's life-cycle calls. Slot order: 0 destructor, 1 Init, 2 setMemManager, 3 GetInfo, 4 Done.
class IInitDoneBase {
 public:
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual bool Init(void* connection) = 0;
  virtual bool setMemManager(void* memoryManager) = 0;
  virtual long GetInfo() = 0;
  virtual void Done() = 0;

 protected:
  ~IInitDoneBase() = default;
};

// Properties and methods by name and number. Slots 0 destructor to 16 CallAsFunc.
class ILanguageExtenderBase {
 public:
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual bool RegisterExtensionAs(WCHAR_T** name) = 0;
  virtual long GetNProps() = 0;
  virtual long FindProp(const WCHAR_T* name) = 0;
  virtual const WCHAR_T* GetPropName(long number, long alias) = 0;
  virtual bool GetPropVal(const long number, tVariant* value) = 0;
  virtual bool SetPropVal(const long number, tVariant* value) = 0;
  virtual bool IsPropReadable(const long number) = 0;
  virtual bool IsPropWritable(const long number) = 0;
  virtual long GetNMethods() = 0;
  virtual long FindMethod(const WCHAR_T* name) = 0;
  virtual const WCHAR_T* GetMethodName(const long number, const long alias) = 0;
  virtual long GetNParams(const long method) = 0;
  virtual bool GetParamDefValue(const long method, const long parameter, tVariant* value) = 0;
  virtual bool HasRetVal(const long method) = 0;
  virtual bool CallAsProc(const long method, tVariant* params, const long count) = 0;
  virtual bool CallAsFunc(const long method, tVariant* result, tVariant* params, const long count) = 0;

 protected:
  ~ILanguageExtenderBase() = default;
};

// Slots 0 destructor, 1 SetLocale.
class LocaleBase {
 public:
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual void SetLocale(const WCHAR_T* locale) = 0;

 protected:
  ~LocaleBase() = default;
};

// The component object: three interface parts at +0, +8 and +16, each with its own vtable pointer.
// A component overrides ScalarDeletingDestructor once; that one override serves all three slots 0.
class IComponentBase : public IInitDoneBase, public ILanguageExtenderBase, public LocaleBase {
 protected:
  ~IComponentBase() = default;
};

// The empty root of the interfaces the host hands out through GetInterface; it adds no slot.
class IInterface {};

// The host's memory for strings and blocks that cross the boundary. Slots 0 destructor,
// 1 AllocMemory, 2 FreeMemory.
class IMemoryManager {
 public:
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual bool AllocMemory(void** memory, unsigned long bytes) = 0;
  virtual void FreeMemory(void** memory) = 0;

 protected:
  ~IMemoryManager() = default;
};

// The host connection given to Init. Slots 0 destructor to 10 ResetStatusLine.
class IAddInDefBase {
 public:
  virtual void* ScalarDeletingDestructor(unsigned int flags) = 0;
  virtual bool AddError(unsigned short code, const WCHAR_T* source, const WCHAR_T* description, long scode) = 0;
  virtual bool Read(WCHAR_T* name, tVariant* value, long* error, WCHAR_T** errorDescription) = 0;
  virtual bool Write(WCHAR_T* name, tVariant* value) = 0;
  virtual bool RegisterProfileAs(WCHAR_T* profileName) = 0;
  virtual bool SetEventBufferDepth(long depth) = 0;
  virtual long GetEventBufferDepth() = 0;
  virtual bool ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) = 0;
  virtual void CleanEventBuffer() = 0;
  virtual bool SetStatusLine(WCHAR_T* text) = 0;
  virtual void ResetStatusLine() = 0;

 protected:
  ~IAddInDefBase() = default;
};

// Interface numbers of IAddInDefBaseEx::GetInterface.
enum Interfaces : int {
  eIMsgBox = 0,
  eIPlatformInfo = 1,
};

// Adds slot 11 GetInterface.
class IAddInDefBaseEx : public IAddInDefBase {
 public:
  virtual IInterface* GetInterface(Interfaces number) = 0;

 protected:
  ~IAddInDefBaseEx() = default;
};

// No destructor slot: slot 0 Confirm, slot 1 Alert.
class IMsgBox : public IInterface {
 public:
  virtual bool Confirm(const WCHAR_T* question, tVariant* answer) = 0;
  virtual bool Alert(const WCHAR_T* text) = 0;

 protected:
  ~IMsgBox() = default;
};

struct AppInfo {
  const WCHAR_T* AppVersion;
  const WCHAR_T* UserAgentInformation;
  int Application;  // application type; 1 for a thick or thin client
};

// No destructor slot: slot 0 GetPlatformInfo.
class IPlatformInfo : public IInterface {
 public:
  virtual const AppInfo* GetPlatformInfo() = 0;

 protected:
  ~IPlatformInfo() = default;
};

// The interface parts of a component sit one pointer apart, as the platform finds them.
static_assert(sizeof(void*) == 8, "the Native API layout here is the x64 one");
static_assert(sizeof(long) == 4, "long is 32-bit on Windows (LLP64)");
static_assert(sizeof(IInitDoneBase) == 8 && sizeof(ILanguageExtenderBase) == 8 && sizeof(LocaleBase) == 8,
              "each interface part is one vtable pointer");
static_assert(sizeof(IComponentBase) == 24, "three interface parts, one pointer each");
static_assert(sizeof(IMsgBox) == 8 && sizeof(IPlatformInfo) == 8, "one vtable pointer, IInterface adds nothing");
