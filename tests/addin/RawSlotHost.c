/* A host that knows the Native API only as the platform does: four exports looked up by name and the
   component's methods called by their vtable slot, with a host object whose vtable is built here by
   hand. It includes none of the project's headers, so a slot shifted by a compiler difference (a
   destructor taking two slots, a base out of place) fails here even though every C++ test passes.
   Exits 0 when every check holds; each failure prints a line starting with FAIL. */
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

/* The platform's value type: 48 bytes, the value union at 0 (a string pointer at 0 and its length at
   8), the element count at 40 and the type code at 44. */
typedef struct {
  union {
    struct {
      wchar_t* pwstr;
      unsigned int len;
    } s;
    int i4;
    unsigned char b;
    unsigned char raw[40];
  } u;
  unsigned int cbElements;
  unsigned short vt;
  unsigned short pad;
} RawVariant;

#define VT_PWSTR 22

typedef unsigned char (*Fn_Init)(void* self, void* connection);
typedef unsigned char (*Fn_SetMem)(void* self, void* memory);
typedef long (*Fn_GetInfo)(void* self);
typedef void (*Fn_Done)(void* self);
typedef long (*Fn_Count)(void* self);
typedef long (*Fn_Find)(void* self, const wchar_t* name);
typedef const wchar_t* (*Fn_GetName)(void* self, long number, long alias);
typedef long (*Fn_GetNParams)(void* self, long method);
typedef unsigned char (*Fn_HasRetVal)(void* self, long method);
typedef unsigned char (*Fn_CallAsFunc)(void* self, long method, RawVariant* result, RawVariant* params, long count);
typedef void (*Fn_SetLocale)(void* self, const wchar_t* locale);

typedef const wchar_t* (*Fn_GetClassNames)(void);
typedef long (*Fn_GetClassObject)(const wchar_t* name, void** object);
typedef long (*Fn_DestroyObject)(void** object);
typedef int (*Fn_SetPlatformCapabilities)(int capabilities);

static int failures = 0;

static void Check(int condition, const char* what) {
  if (!condition) {
    printf("FAIL: %s\n", what);
    ++failures;
  }
}

/* Slot n of the vtable whose pointer sits at the given address. */
static void* Slot(void* part, int n) { return (*(void***)part)[n]; }

/* ---- the host connection: IAddInDefBase's eleven slots and GetInterface, built by hand ---- */
static long depthAsked = 0;
static int addErrors = 0;

static void* H_Destructor(void* self, unsigned int flags) { (void)flags; return self; }
static unsigned char H_AddError(void* self, unsigned short code, const wchar_t* source, const wchar_t* text, long scode) {
  (void)self; (void)code; (void)source; (void)text; (void)scode;
  ++addErrors;
  return 1;
}
static unsigned char H_Read(void* self, wchar_t* n, void* v, long* e, wchar_t** d) { (void)self; (void)n; (void)v; (void)e; (void)d; return 0; }
static unsigned char H_Write(void* self, wchar_t* n, void* v) { (void)self; (void)n; (void)v; return 0; }
static unsigned char H_RegisterProfileAs(void* self, wchar_t* n) { (void)self; (void)n; return 0; }
static unsigned char H_SetEventBufferDepth(void* self, long depth) { (void)self; depthAsked = depth; return 1; }
static long H_GetEventBufferDepth(void* self) { (void)self; return depthAsked; }
static unsigned char H_ExternalEvent(void* self, wchar_t* s, wchar_t* m, wchar_t* d) { (void)self; (void)s; (void)m; (void)d; return 1; }
static void H_CleanEventBuffer(void* self) { (void)self; }
static unsigned char H_SetStatusLine(void* self, wchar_t* t) { (void)self; (void)t; return 1; }
static void H_ResetStatusLine(void* self) { (void)self; }
static void* H_GetInterface(void* self, int n) { (void)self; (void)n; return NULL; }

static void* hostVtable[12] = {
    (void*)H_Destructor,     (void*)H_AddError,           (void*)H_Read,
    (void*)H_Write,          (void*)H_RegisterProfileAs,  (void*)H_SetEventBufferDepth,
    (void*)H_GetEventBufferDepth, (void*)H_ExternalEvent, (void*)H_CleanEventBuffer,
    (void*)H_SetStatusLine,  (void*)H_ResetStatusLine,    (void*)H_GetInterface,
};
static struct { void** vtable; } host = {hostVtable};

/* ---- the memory manager: destructor, AllocMemory, FreeMemory ---- */
static int blocksOut = 0;
static int blocksGiven = 0;

static void* M_Destructor(void* self, unsigned int flags) { (void)flags; return self; }
static unsigned char M_Alloc(void* self, void** memory, unsigned long bytes) {
  (void)self;
  *memory = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
  if (!*memory) return 0;
  ++blocksOut;
  ++blocksGiven;
  return 1;
}
static void M_Free(void* self, void** memory) {
  (void)self;
  if (memory && *memory) {
    HeapFree(GetProcessHeap(), 0, *memory);
    *memory = NULL;
    --blocksOut;
  }
}
static void* memoryVtable[3] = {(void*)M_Destructor, (void*)M_Alloc, (void*)M_Free};
static struct { void** vtable; } memory = {memoryVtable};

static void FreeText(const wchar_t* text) {
  void* block = (void*)text;
  ((void (*)(void*, void**))memoryVtable[2])(&memory, &block);
}

int main(void) {
  /* The registry fixtures of the other suites must not change what Init reads under us. */
  HANDLE registryLock = CreateMutexW(NULL, FALSE, L"VombraRegistryTests");
  if (registryLock) WaitForSingleObject(registryLock, INFINITE);

  HMODULE module = LoadLibraryW(L"Vombra.dll");
  Check(module != NULL, "Vombra.dll loads");
  if (!module) return 1;

  Fn_GetClassNames getClassNames = (Fn_GetClassNames)GetProcAddress(module, "GetClassNames");
  Fn_GetClassObject getClassObject = (Fn_GetClassObject)GetProcAddress(module, "GetClassObject");
  Fn_DestroyObject destroyObject = (Fn_DestroyObject)GetProcAddress(module, "DestroyObject");
  Fn_SetPlatformCapabilities setCapabilities =
      (Fn_SetPlatformCapabilities)GetProcAddress(module, "SetPlatformCapabilities");
  Check(getClassNames && getClassObject && destroyObject && setCapabilities, "the four exports are found by name");
  if (!getClassNames || !getClassObject || !destroyObject || !setCapabilities) return 1;

  Check(setCapabilities(1) == 1, "SetPlatformCapabilities answers 1");
  Check(wcscmp(getClassNames(), L"VombraExtension") == 0, "GetClassNames lists VombraExtension");

  void* object = NULL;
  Check(getClassObject(L"VombraExtension", &object) != 0 && object != NULL, "GetClassObject creates the object");
  if (!object) return 1;

  /* The three interface parts, each with its own vtable pointer, one pointer apart. */
  void* initDone = object;
  void* extender = (char*)object + 8;
  void* locale = (char*)object + 16;

  Check(((Fn_SetMem)Slot(initDone, 2))(initDone, &memory) == 1, "setMemManager (slot 2) answers true");
  Check(((Fn_Init)Slot(initDone, 1))(initDone, &host) == 1, "Init (slot 1) answers true");
  Check(depthAsked == 4096, "Init asked the host (its slot 5) for an event buffer depth of 4096");
  Check(((Fn_GetInfo)Slot(initDone, 3))(initDone) == 2000, "GetInfo (slot 3) is 2000");

  Check(((Fn_Count)Slot(extender, 2))(extender) == 48, "GetNProps (slot 2) is 48");
  Check(((Fn_Count)Slot(extender, 9))(extender) == 53, "GetNMethods (slot 9) is 53");
  Check(((Fn_Find)Slot(extender, 3))(extender, L"Port") == 6, "FindProp (slot 3) finds Port as 6");
  long method = ((Fn_Find)Slot(extender, 10))(extender, L"GetVersion");
  Check(method == 0, "FindMethod (slot 10) finds GetVersion as 0");
  Check(((Fn_Find)Slot(extender, 10))(extender, L"\x041F\x043E\x043B\x0443\x0447\x0438\x0442\x044C\x041D\x043E"
                                                 L"\x043C\x0435\x0440\x0412\x0435\x0440\x0441\x0438\x0438") == 0,
        "FindMethod finds the Russian name of GetVersion as 0");
  Check(((Fn_GetNParams)Slot(extender, 12))(extender, 1) == 7, "GetNParams (slot 12) of GetDescription is 7");
  Check(((Fn_HasRetVal)Slot(extender, 14))(extender, 0) == 1, "HasRetVal (slot 14) of GetVersion is true");

  const wchar_t* name = ((Fn_GetName)Slot(extender, 11))(extender, 52, 0);
  Check(name != NULL && wcscmp(name, L"ClearLog") == 0, "GetMethodName (slot 11) of 52 is ClearLog");
  if (name) FreeText(name);
  name = ((Fn_GetName)Slot(extender, 4))(extender, 22, 0);
  Check(name != NULL && wcscmp(name, L"LogLevel") == 0, "GetPropName (slot 4) of 22 is LogLevel");
  if (name) FreeText(name);

  RawVariant result;
  memset(&result, 0, sizeof result);
  Check(sizeof result == 48, "the value type here is 48 bytes");
  Check(((Fn_CallAsFunc)Slot(extender, 16))(extender, method, &result, NULL, 0) == 1,
        "CallAsFunc (slot 16) of GetVersion answers true");
  Check(result.vt == VT_PWSTR && result.u.s.len == 7 && result.u.s.pwstr != NULL &&
            wcsncmp(result.u.s.pwstr, L"1.9.5.7", 7) == 0,
        "GetVersion returns the text 1.9.5.7");
  if (result.vt == VT_PWSTR) FreeText(result.u.s.pwstr);

  ((Fn_SetLocale)Slot(locale, 1))(locale, L"English");
  Check(((Fn_Count)Slot(extender, 9))(extender) == 53, "the object still answers after SetLocale (slot 1 at +16)");

  ((Fn_Done)Slot(initDone, 4))(initDone);
  Check(addErrors == 0, "no error was reported to the host");
  Check(destroyObject(&object) == 0 && object == NULL, "DestroyObject answers 0 and clears the pointer");
  Check(destroyObject(&object) == -1, "DestroyObject of a null object answers -1");
  Check(blocksGiven > 0 && blocksOut == 0, "every block the add-in took from the host was freed");

  Check(FreeLibrary(module) != 0, "Vombra.dll unloads");
  if (registryLock) {
    ReleaseMutex(registryLock);
    CloseHandle(registryLock);
  }
  printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
