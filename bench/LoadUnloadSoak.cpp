// Load and unload: cycles of what a host does with Vombra.dll (LoadLibrary, GetClassNames,
// GetClassObject, Init, readers opened over loopback with keys arriving, Done, DestroyObject,
// FreeLibrary). After each cycle the module must be gone from the process, the host's memory blocks
// all handed back, and the threads and handles as they were after the warm-up; the private bytes may
// not grow beyond noise from the end of the warm-up to the last cycle.
//
//   SOAK_CYCLES       the cycles after the warm-up (default 15)
//   SOAK_GROWTH_KB    the private bytes' allowed growth (default 1024)
// Exit code 0 when nothing was left behind; 1 on a finding; 3 on a hang (watchdog).
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "RegistryTestLock.h"
#include "SoakSupport.h"
#include "sim/TextReaderSim.h"

namespace {

typedef const WCHAR_T* (*GetClassNamesFn)();
typedef long (*GetClassObjectFn)(const WCHAR_T*, IComponentBase**);
typedef long (*DestroyObjectFn)(IComponentBase**);
typedef AppCapabilities (*SetPlatformCapabilitiesFn)(const AppCapabilities);

long g_failures = 0;

void Fail(const std::string& what) {
  std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
  ++g_failures;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

template <class F>
F Export(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::wstring ModulePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text(path, length);
  return text.substr(0, text.find_last_of(L"\\/") + 1) + L"Vombra.dll";
}

tVariant Text(std::wstring& text) {
  tVariant value{};
  value.vt = VTYPE_PWSTR;
  value.pwstrVal = &text[0];
  value.wstrLen = uint32_t(text.size());
  return value;
}

tVariant Number(int32_t number) {
  tVariant value{};
  value.vt = VTYPE_I4;
  value.lVal = number;
  return value;
}

tVariant Truth(bool truth) {
  tVariant value{};
  value.vt = VTYPE_BOOL;
  value.bVal = truth;
  return value;
}

bool SetProp(IComponentBase* object, const wchar_t* name, tVariant value) {
  return object->SetPropVal(object->FindProp(name), &value);
}

// The method's result; blocks the add-in put into the values go back to the host, a text left in the
// first parameter into out.
tVariant Call(IComponentBase* object, CFakeHost& host, const wchar_t* name, std::vector<tVariant> params,
              std::wstring* out = nullptr) {
  std::vector<tVariant> given = params;
  tVariant result{};
  if (!object->CallAsFunc(object->FindMethod(name), &result, params.data(), long(params.size()))) {
    result = tVariant{};
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].pstrVal == given[i].pstrVal) continue;
    if (i == 0 && out) *out = CFakeHost::Text(params[i]);
    host.FreeVariant(params[i]);
  }
  return result;
}

struct SimReader {
  std::unique_ptr<CTextReaderSim> sim;
  bool nvt;
};

size_t KeyEvents(CFakeHost& host) {
  size_t count = 0;
  for (const FakeHostEvent& event : host.Events()) count += event.Message == L"TracksData";
  return count;
}

// One cycle; the keys that reached the host.
size_t Cycle(int number, std::vector<SimReader>& readers, CWatchdog& watchdog) {
  const std::wstring path = ModulePath();
  HMODULE module = LoadLibraryW(path.c_str());
  if (!module) {
    Fail("LoadLibrary " + Narrow(path) + " failed, error " + std::to_string(GetLastError()));
    return 0;
  }
  auto getClassNames = Export<GetClassNamesFn>(module, "GetClassNames");
  auto getClassObject = Export<GetClassObjectFn>(module, "GetClassObject");
  auto destroyObject = Export<DestroyObjectFn>(module, "DestroyObject");
  auto setCapabilities = Export<SetPlatformCapabilitiesFn>(module, "SetPlatformCapabilities");
  if (!getClassNames || !getClassObject || !destroyObject || !setCapabilities) {
    Fail("an export is missing");
    FreeLibrary(module);
    return 0;
  }
  setCapabilities(eAppCapabilities1);
  std::wstring name = getClassNames();
  name = name.substr(0, name.find(L'|'));
  size_t keys = 0;
  {
    CFakeHost host;
    IComponentBase* object = nullptr;
    if (getClassObject(name.c_str(), &object) != 1 || !object) {
      Fail("GetClassObject gave no object");
      FreeLibrary(module);
      return 0;
    }
    object->setMemManager(host.Memory());
    bool initialised;
    {
      // Init reads the settings key.
      RegistryTestLock registry;
      initialised = object->Init(host.Connection());
    }
    if (!initialised) Fail("Init failed in cycle " + std::to_string(number));
    // Series and number: each key's text is the key line's own numbers.
    std::wstring formatName = L"Soak", formatTemplate = L"%.3u,%.5u", formatParams = L"b2 w01";
    tVariant format[6] = {Number(-1), Text(formatName), Text(formatTemplate), Text(formatParams), tVariant{},
                          tVariant{}};
    format[5].vt = VTYPE_UI4;  // the new format's ID comes back here
    tVariant inserted{};
    if (!object->CallAsFunc(object->FindMethod(L"InsertFormat"), &inserted, format, 6) || inserted.vt != VTYPE_BOOL ||
        !inserted.bVal) {
      Fail("InsertFormat failed");
    }
    SetProp(object, L"DefaultFormatID", Number(int32_t(format[5].ulVal)));
    SetProp(object, L"ConnectPeriod", Number(300));
    SetProp(object, L"RequestTimeout", Number(800));
    std::vector<std::wstring> ids;
    for (SimReader& reader : readers) {
      std::wstring port = reader.sim->PortName();
      SetProp(object, L"Port", Text(port));
      SetProp(object, L"NVT", Truth(reader.nvt));
      std::wstring id;
      tVariant opened = Call(object, host, L"Open", {tVariant{}}, &id);
      if (opened.vt != VTYPE_BOOL || !opened.bVal) Fail("Open " + Narrow(port) + " failed");
      ids.push_back(id);
    }
    auto allConnected = [&] {
      for (std::wstring& id : ids) {
        tVariant state = Call(object, host, L"GetStatus", {Text(id)});
        if (state.lVal != 3) return false;
      }
      return true;
    };
    if (!WaitFor(allConnected, 15000, 20)) Fail("readers not connected in cycle " + std::to_string(number));
    watchdog.Beat("connected");
    // Live traffic: five new keys on every reader, each of which must reach the host once.
    std::multiset<std::wstring> sent;
    for (int k = 0; k < 5; ++k) {
      for (size_t r = 0; r < readers.size(); ++r) {
        const int series = number & 0xFF, key = int(r * 100 + k);
        char line[64];
        snprintf(line, sizeof line, "Em-Marine[0000] %.3d,%.5d", series, key);
        readers[r].sim->SendLine(line);
        wchar_t text[32];
        swprintf(text, 32, L"%.3d,%.5d", series, key);
        sent.insert(ids[r] + L" " + text);
      }
      Sleep(30);
    }
    WaitFor([&] { return KeyEvents(host) >= sent.size(); }, 5000, 20);
    Sleep(100);
    std::multiset<std::wstring> arrived;
    for (const FakeHostEvent& event : host.Events()) {
      if (event.Message == L"TracksData") arrived.insert(event.Source + L" " + event.Data);
    }
    keys = arrived.size();
    if (arrived != sent) {
      Fail("cycle " + std::to_string(number) + ": " + std::to_string(keys) + " keys reached the host of " +
           std::to_string(sent.size()) + " sent");
    }
    // Nothing to save: Done must not write the settings key.
    SetProp(object, L"SettingsModified", Truth(false));
    {
      RegistryTestLock registry;
      object->Done();
    }
    if (destroyObject(&object) != 0 || object) Fail("DestroyObject failed");
    if (host.OutstandingBlocks() != 0) {
      Fail("cycle " + std::to_string(number) + ": host blocks left " + std::to_string(host.OutstandingBlocks()));
    }
    if (host.StrayFrees() != 0) Fail("cycle " + std::to_string(number) + ": stray frees");
  }
  if (!FreeLibrary(module)) Fail("FreeLibrary failed");
  // A reader thread left to end by itself holds the module until it ends.
  if (!WaitFor([] { return GetModuleHandleW(L"Vombra.dll") == nullptr; }, 5000)) {
    Fail("cycle " + std::to_string(number) + ": Vombra.dll still loaded after FreeLibrary");
  }
  return keys;
}

}  // namespace

int main() {
  const long cycles = EnvNumber("SOAK_CYCLES", 15);
  const long allowedGrowth = EnvNumber("SOAK_GROWTH_KB", 1024) * 1024;
  const int kWarmUp = 3;
  std::printf("load/unload soak: %ld cycles after %d of warm-up\n", cycles, kWarmUp);
  std::fflush(stdout);
  CWatchdog watchdog(60000);

  // The system libraries the add-in imports stay loaded, as they are in any host: what they make once
  // when they load would otherwise come back with every cycle and look like the add-in's.
  for (const wchar_t* library : {L"advapi32.dll", L"oleaut32.dll", L"setupapi.dll", L"shell32.dll", L"user32.dll",
                                 L"version.dll", L"winmm.dll", L"winscard.dll", L"ws2_32.dll"}) {
    if (!LoadLibraryW(library)) Fail("cannot load " + Narrow(library));
  }

  // Readers over Telnet and over a raw link; the simulators stay for every cycle.
  std::vector<SimReader> readers;
  for (int i = 0; i < 4; ++i) {
    SimIdentity identity;
    identity.Serial = 500 + unsigned(i);
    const bool nvt = i % 2 == 0;
    readers.push_back({std::unique_ptr<CTextReaderSim>(new CTextReaderSim(identity, nvt)), nvt});
  }
  auto linksClosed = [&] {
    for (SimReader& reader : readers) {
      if (reader.sim->Connected()) return false;
    }
    return true;
  };

  // The threading runtime makes its record of this thread (a handle to it among it) at the first
  // ask: made before the starting figures.
  (void)pthread_self();

  const DWORD began = GetTickCount();
  long startThreads = 0, startHandles = 0;
  size_t startBytes = 0, lastBytes = 0, keys = 0;
  std::vector<ULONG_PTR> startValues;
  for (int cycle = 0; cycle < kWarmUp + cycles; ++cycle) {
    watchdog.Beat("cycle");
    keys += Cycle(cycle, readers, watchdog);
    if (!WaitFor(linksClosed, 5000)) Fail("a simulator's link outlived Done");
    if (cycle + 1 == kWarmUp) {
      startThreads = ProcessThreads();
      startHandles = SettledHandles();
      startBytes = PrivateBytes();
      startValues = HandleValues();
      std::printf("after the warm-up: threads %ld, handles %ld, private bytes %zu\n", startThreads, startHandles,
                  startBytes);
    } else if (cycle >= kWarmUp) {
      // Threads and handles come back once every reader thread has ended.
      WaitFor([&] { return ProcessThreads() <= startThreads && SettledHandles() <= startHandles; }, 5000, 50);
      const long threads = ProcessThreads(), handles = SettledHandles();
      lastBytes = PrivateBytes();
      // Fewer is Wine's own coming and going; more is something left behind.
      if (threads > startThreads) Fail("cycle " + std::to_string(cycle) + ": threads " + std::to_string(threads));
      if (handles > startHandles) {
        Fail("cycle " + std::to_string(cycle) + ": handles " + std::to_string(handles));
        for (ULONG_PTR value : HandleValues()) {
          if (std::binary_search(startValues.begin(), startValues.end(), value)) continue;
          const DWORD thread = GetThreadId(reinterpret_cast<HANDLE>(value));
          std::printf("  new handle %llx: %s%s\n", static_cast<unsigned long long>(value), Narrow(HandleType(value)).c_str(),
                      thread == GetCurrentThreadId() ? " (of this thread)" : "");
        }
      }
      if ((cycle - kWarmUp + 1) % 10 == 0 || cycle + 1 == kWarmUp + cycles) {
        std::printf("cycle %d: threads %ld, handles %ld, private bytes %zu\n", cycle - kWarmUp + 1, threads, handles,
                    lastBytes);
      }
    }
    std::fflush(stdout);
  }
  const long growth = long(lastBytes) - long(startBytes);
  std::printf("duration %.1f s, keys %zu, private bytes first %zu, last %zu, growth %ld\n",
              (GetTickCount() - began) / 1000.0, keys, startBytes, lastBytes, growth);
  if (cycles > 0 && growth > allowedGrowth) {
    Fail("private bytes grew by " + std::to_string(growth) + " over " + std::to_string(cycles) + " cycles");
  }
  std::printf("%s\n", g_failures ? "FAILED" : "PASSED");
  std::fflush(stdout);
  return g_failures ? 1 : 0;
}
