// The four exports of the built Vombra.dll, looked up by name as a host does, and the DLL's export
// table itself: exactly those four names.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include "AddinModule.h"
#include "FakeHost.h"
#include "NativeApi.h"

namespace {

typedef const WCHAR_T* (*GetClassNamesFn)();
typedef long (*GetClassObjectFn)(const WCHAR_T*, IComponentBase**);
typedef long (*DestroyObjectFn)(IComponentBase**);
typedef AppCapabilities (*SetPlatformCapabilitiesFn)(AppCapabilities);

template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module = AddinModule();
    ASSERT_NE(module, nullptr);
    getClassNames = Export<GetClassNamesFn>(module, "GetClassNames");
    getClassObject = Export<GetClassObjectFn>(module, "GetClassObject");
    destroyObject = Export<DestroyObjectFn>(module, "DestroyObject");
    setCapabilities = Export<SetPlatformCapabilitiesFn>(module, "SetPlatformCapabilities");
    ASSERT_TRUE(getClassNames && getClassObject && destroyObject && setCapabilities);
  }

  HMODULE module = nullptr;
  GetClassNamesFn getClassNames = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  DestroyObjectFn destroyObject = nullptr;
  SetPlatformCapabilitiesFn setCapabilities = nullptr;
};

TEST_F(ExportsTest, ExactlyTheFourFunctionsAreExported) {
  const BYTE* base = reinterpret_cast<const BYTE*>(module);
  const IMAGE_NT_HEADERS* nt =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(directory.VirtualAddress, 0u);
  const IMAGE_EXPORT_DIRECTORY* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
  EXPECT_EQ(exports->NumberOfFunctions, 4u);
  const DWORD* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.insert(reinterpret_cast<const char*>(base + names[i]));
  EXPECT_EQ(found, (std::set<std::string>{"DestroyObject", "GetClassNames", "GetClassObject", "SetPlatformCapabilities"}));
}

TEST_F(ExportsTest, ClassNamesAreOneStableBlock) {
  const WCHAR_T* first = getClassNames();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::wstring(first), L"VombraExtension");
  EXPECT_EQ(getClassNames(), first);
}

TEST_F(ExportsTest, OnlyTheExactClassNameCreatesAnObject) {
  struct Case {
    const wchar_t* name;
    bool created;
  } cases[] = {
      {L"VombraExtension", true}, {L"vombraextension", false}, {L"VombraExtension ", false},
      {L"VombraExtensio", false}, {L"", false},                {L"Vombra", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    IComponentBase* object = nullptr;
    long answer = getClassObject(c.name, &object);
    EXPECT_EQ(answer != 0, c.created);
    EXPECT_EQ(object != nullptr, c.created);
    if (object) {
      EXPECT_EQ(destroyObject(&object), 0);
      EXPECT_EQ(object, nullptr);
    }
  }
}

TEST_F(ExportsTest, AnOccupiedOutPointerIsLeftAlone) {
  IComponentBase* object = nullptr;
  ASSERT_NE(getClassObject(L"VombraExtension", &object), 0);
  IComponentBase* held = object;
  EXPECT_EQ(getClassObject(L"VombraExtension", &object), 0);
  EXPECT_EQ(object, held);
  EXPECT_EQ(destroyObject(&object), 0);
}

TEST_F(ExportsTest, DestroyingNothingAnswersMinusOne) {
  IComponentBase* object = nullptr;
  EXPECT_EQ(destroyObject(&object), -1);
}

TEST_F(ExportsTest, CapabilitiesAnswerTheFirstLevelWhateverIsOffered) {
  for (int offered : {-1, 0, 1, 2, 100}) {
    SCOPED_TRACE(offered);
    EXPECT_EQ(setCapabilities(static_cast<AppCapabilities>(offered)), eAppCapabilities1);
  }
}

// The handles of the process that refer to the calling thread.
int HandlesOfThisThread() {
  int count = 0;
  DWORD misses = 0;
  for (ULONG_PTR value = 4; misses < 4096; value += 4) {
    DWORD flags;
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      ++misses;
      continue;
    }
    misses = 0;
    count += GetThreadId(reinterpret_cast<HANDLE>(value)) == GetCurrentThreadId();
  }
  return count;
}

struct ThreadUseCase {
  const char* name;
  // What a host thread does with a freshly loaded module.
  std::function<void(HMODULE)> use;
};

void PrintTo(const ThreadUseCase& c, std::ostream* os) { *os << c.name; }

class ExportsThreadUse : public ::testing::TestWithParam<ThreadUseCase> {};

// A host thread that calls into a freshly loaded copy of the module must not be left with a handle to
// itself: the threading runtime linked into the add-in keeps a record, such a handle among it, for a
// thread that touches it, and the record outlives the module once the host unloads it.
TEST_P(ExportsThreadUse, LeavesTheCallingThreadNoHandleToItself) {
  wchar_t folder[MAX_PATH], copy[MAX_PATH], original[MAX_PATH];
  ASSERT_NE(GetModuleFileNameW(AddinModule(), original, MAX_PATH), 0u);
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameW(folder, L"vmb", 0, copy), 0u);
  ASSERT_TRUE(CopyFileW(original, copy, FALSE));
  struct Run {
    const ThreadUseCase* c;
    const wchar_t* path;
    int before = -1, after = -1;
    bool loaded = false;
  } run{&GetParam(), copy};
  // A thread of the system's own, never known to the runtime before.
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* context) -> DWORD {
        Run& r = *static_cast<Run*>(context);
        HMODULE module = LoadLibraryW(r.path);
        r.loaded = module != nullptr;
        if (!module) return 0;
        r.before = HandlesOfThisThread();
        r.c->use(module);
        r.after = HandlesOfThisThread();
        FreeLibrary(module);
        return 0;
      },
      &run, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  DeleteFileW(copy);
  ASSERT_TRUE(run.loaded);
  EXPECT_EQ(run.before, run.after);
}

INSTANTIATE_TEST_SUITE_P(
    Uses, ExportsThreadUse,
    ::testing::Values(
        ThreadUseCase{"ClassNames", [](HMODULE module) { Export<GetClassNamesFn>(module, "GetClassNames")(); }},
        // Open starts a reader's thread and Close joins it, from the host's thread.
        ThreadUseCase{"ReaderStartedAndJoined",
                      [](HMODULE module) {
                        CFakeHost host;
                        IComponentBase* object = nullptr;
                        Export<GetClassObjectFn>(module, "GetClassObject")(L"VombraExtension", &object);
                        if (!object) return;
                        object->setMemManager(host.Memory());
                        std::wstring port = L"127.0.0.1:9";
                        tVariant value{};
                        value.vt = VTYPE_PWSTR;
                        value.pwstrVal = &port[0];
                        value.wstrLen = uint32_t(port.size());
                        object->SetPropVal(object->FindProp(L"Port"), &value);
                        tVariant id{}, result{};
                        object->CallAsFunc(object->FindMethod(L"Open"), &result, &id, 1);
                        Sleep(50);
                        object->CallAsFunc(object->FindMethod(L"Close"), &result, &id, 1);
                        host.FreeVariant(id);
                        Export<DestroyObjectFn>(module, "DestroyObject")(&object);
                      }}),
    [](const ::testing::TestParamInfo<ThreadUseCase>& info) { return std::string(info.param.name); });

}  // namespace
