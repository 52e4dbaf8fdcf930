// The module entry and the four functions through which a Native API host finds, creates and
// destroys the component. Exported by name through Vombra.def and nothing else.
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <exception>

#include "Core.h"
#include "NativeApi.h"
#include "Vombra.h"

// The statically linked C++ run-time keeps an emergency pool for exceptions (some 70 KB from the
// process heap) that nothing frees when the library is unloaded; a host that loads and unloads the
// add-in again and again would lose that much each time.
namespace __gnu_cxx {
void __freeres();
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_hInstance = module;
    g_hResInstance = module;
  }
  // FreeLibrary, not the process's end (the heap goes with the process then).
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
  return TRUE;
}

namespace {

const wchar_t CLASS_NAME[] = L"VombraExtension";
// Constant-initialised: no guard.
std::atomic<WCHAR_T*> g_ClassNames{nullptr};

}  // namespace

extern "C" {

// The list of class names; the same block on every call, never freed.
const WCHAR_T* GetClassNames() {
  // Not a function-local static: its guard takes the threading runtime linked into the add-in on the
  // host's thread, and the record that runtime keeps for the thread (a duplicate of its handle among
  // it) would outlive the module when the host unloads it.
  WCHAR_T* names = g_ClassNames.load();
  if (names) return names;
  const size_t length = wcslen(CLASS_NAME) + 1;
  WCHAR_T* copy = new WCHAR_T[length];
  wmemcpy(copy, CLASS_NAME, length);
  if (g_ClassNames.compare_exchange_strong(names, copy)) return copy;
  delete[] copy;  // another thread's copy came first
  return names;
}

long GetClassObject(const WCHAR_T* name, IComponentBase** object) {
  if (!object || *object) return 0;
  // Exact match: same length, same code units.
  if (!name || wcscmp(name, CLASS_NAME) != 0) {
    *object = nullptr;
    return 0;
  }
  // No exception may cross into the host.
  try {
    *object = new CVombra(name);
  } catch (const std::exception&) {
    *object = nullptr;
    return 0;
  }
  return 1;
}

long DestroyObject(IComponentBase** object) {
  if (!object || !*object) return -1;
  // Through slot 0, exactly as a host built with another compiler deletes the object.
  static_cast<IInitDoneBase*>(*object)->ScalarDeletingDestructor(1);
  *object = nullptr;
  return 0;
}

AppCapabilities SetPlatformCapabilities(const AppCapabilities) { return eAppCapabilities1; }

}  // extern "C"
