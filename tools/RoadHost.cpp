// The road of a key, shown: starts a simulated text-protocol reader on
// loopback, loads Vombra.dll from beside this program through its exports as
// the platform does, opens the simulated reader and prints every external event
// the add-in raises while the reader presents a few keys. (The C library printf
// here is MinGW's ISO one: %ls for wide text.)
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NativeApi.h"
#include "sim/TextReaderSim.h"

namespace {

// The host side the add-in talks to: events are printed, memory comes from the
// C heap.
class CRoadHost : public IAddInDefBase, public IMemoryManager {
public:
  void *ScalarDeletingDestructor(unsigned int) override { return this; }
  bool AddError(unsigned short, const WCHAR_T *source,
                const WCHAR_T *description, long scode) override {
    std::wprintf(L"  error 0x%08lX from %ls: %ls\n",
                 static_cast<unsigned long>(scode), source ? source : L"",
                 description ? description : L"");
    return true;
  }
  bool Read(WCHAR_T *, tVariant *, long *, WCHAR_T **) override {
    return false;
  }
  bool Write(WCHAR_T *, tVariant *) override { return false; }
  bool RegisterProfileAs(WCHAR_T *) override { return false; }
  bool SetEventBufferDepth(long) override { return true; }
  long GetEventBufferDepth() override { return 4096; }
  bool ExternalEvent(WCHAR_T *source, WCHAR_T *message,
                     WCHAR_T *data) override {
    std::wprintf(L"  event  %-16ls source %ls  data \"%ls\"\n", message, source,
                 data);
    std::fflush(stdout);
    return true;
  }
  void CleanEventBuffer() override {}
  bool SetStatusLine(WCHAR_T *) override { return true; }
  void ResetStatusLine() override {}
  bool AllocMemory(void **memory, unsigned long bytes) override {
    *memory = std::malloc(bytes ? bytes : 1);
    return *memory != nullptr;
  }
  void FreeMemory(void **memory) override {
    std::free(*memory);
    *memory = nullptr;
  }
};

// The value only points at the text, which must outlive the call.
tVariant Text(const wchar_t *text) {
  tVariant value{};
  value.pwstrVal = const_cast<WCHAR_T *>(text);
  value.wstrLen = uint32_t(wcslen(text));
  value.vt = VTYPE_PWSTR;
  return value;
}

tVariant Number(int32_t number) {
  tVariant value{};
  value.lVal = number;
  value.vt = VTYPE_I4;
  return value;
}

// Calls a method by name; the result comes back in result.
bool Call(IComponentBase *addin, const wchar_t *name,
          std::vector<tVariant> &params, tVariant *result) {
  long number = addin->FindMethod(name);
  if (number < 0)
    return false;
  return addin->CallAsFunc(number, result,
                           params.empty() ? nullptr : params.data(),
                           long(params.size()));
}

bool SetProp(IComponentBase *addin, const wchar_t *name, tVariant value) {
  long number = addin->FindProp(name);
  return number >= 0 && addin->SetPropVal(number, &value);
}

void Free(CRoadHost &host, tVariant &value) {
  if (value.vt == VTYPE_PWSTR && value.pwstrVal)
    host.FreeMemory(reinterpret_cast<void **>(&value.pwstrVal));
  value.vt = VTYPE_EMPTY;
}

std::wstring TextOf(const tVariant &value) {
  return value.vt == VTYPE_PWSTR && value.pwstrVal
             ? std::wstring(value.pwstrVal, value.wstrLen)
             : std::wstring();
}

// The number format the demo's keys are shown in, made the reader's format:
// series and number of an Em-Marine key, as "012,12345".
bool UseDemoFormat(CRoadHost &host, IComponentBase *addin) {
  const std::wstring name = L"Road demo";
  tVariant result{};
  std::vector<tVariant> find = {Text(name.c_str())};
  if (!Call(addin, L"FindFormat", find, &result))
    return false;
  if (result.lVal < 0) {
    std::vector<tVariant> insert = {Number(0),          Text(name.c_str()),
                                    Text(L"%.3u,%.5u"), Text(L"b2 w01"),
                                    tVariant{},         tVariant{}};
    if (!Call(addin, L"InsertFormat", insert, &result) || !result.bVal)
      return false;
    if (!Call(addin, L"FindFormat", find, &result) || result.lVal < 0)
      return false;
  }
  std::vector<tVariant> get(6);
  get[0] = Number(result.lVal);
  if (!Call(addin, L"GetFormat", get, &result) || !result.bVal)
    return false;
  const uint32_t id = get[5].ulVal;
  for (int i = 1; i < 5; ++i)
    Free(host, get[size_t(i)]);
  tVariant format{};
  format.ulVal = id;
  format.vt = VTYPE_UI4;
  return SetProp(addin, L"ReaderFormatID", format);
}

} // namespace

int wmain() {
  typedef long (*GetClassObjectFn)(const WCHAR_T *, IComponentBase **);
  typedef long (*DestroyObjectFn)(IComponentBase **);

  CTextReaderSim sim(SimIdentity(), true);
  if (!sim.Listening()) {
    std::fwprintf(stderr, L"cannot start the reader simulator on loopback\n");
    return 1;
  }
  std::wprintf(L"simulated reader listening on %ls\n", sim.PortName().c_str());

  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dll(path, length);
  dll = dll.substr(0, dll.rfind(L'\\') + 1) + L"Vombra.dll";
  HMODULE module = LoadLibraryW(dll.c_str());
  if (!module) {
    std::fwprintf(stderr, L"cannot load %ls (error %lu)\n", dll.c_str(),
                  GetLastError());
    return 1;
  }
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void *>(GetProcAddress(module, "GetClassObject")));
  auto destroyObject = reinterpret_cast<DestroyObjectFn>(
      reinterpret_cast<void *>(GetProcAddress(module, "DestroyObject")));
  IComponentBase *addin = nullptr;
  if (!getClassObject || !destroyObject ||
      !getClassObject(L"VombraExtension", &addin) || !addin) {
    std::fwprintf(stderr, L"%ls does not create the add-in object\n",
                  dll.c_str());
    return 1;
  }

  CRoadHost host;
  const std::wstring port = sim.PortName();
  int status = 1;
  addin->setMemManager(static_cast<IMemoryManager *>(&host));
  if (addin->Init(static_cast<IAddInDefBase *>(&host)) &&
      UseDemoFormat(host, addin) &&
      SetProp(addin, L"Port", Text(port.c_str()))) {
    tVariant result{};
    std::vector<tVariant> open(1);
    if (Call(addin, L"Open", open, &result) && result.bVal) {
      const std::wstring id = TextOf(open[0]);
      Free(host, open[0]);
      std::wprintf(L"Open gave the device ID %ls; the reader connects on its "
                   L"own thread\n",
                   id.c_str());
      sim.WaitConnections(1, 10000);
      Sleep(1500); // identification and set-up
      const char *keys[] = {"Em-Marine[0000] 012,12345",
                            "Em-Marine[0000] 045,00777",
                            "Em-Marine[0000] 255,65535"};
      for (const char *key : keys) {
        std::wprintf(L"reader presents %hs\n", key);
        std::fflush(stdout);
        sim.SendLine(key);
        Sleep(400);
        sim.SendLine("No card");
        Sleep(400);
      }
      std::wprintf(L"reader sends a line it should not\n");
      std::fflush(stdout);
      sim.SendLine("#garbage#");
      Sleep(500);
      std::vector<tVariant> close = {Text(id.c_str())};
      Call(addin, L"Close", close, &result);
      std::wprintf(L"Close: %ls\n", result.bVal ? L"done" : L"failed");
      status = 0;
    } else {
      std::wprintf(L"Open failed\n");
    }
  } else {
    std::wprintf(L"the add-in did not initialise\n");
  }
  addin->Done();
  destroyObject(&addin);
  FreeLibrary(module);
  return status;
}
