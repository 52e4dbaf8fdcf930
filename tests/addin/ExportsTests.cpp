// The four exports of the built Vombra.dll, looked up by name as a host does, and the DLL's export
// table itself: exactly those four names.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "AddinModule.h"
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

}  // namespace
