// The handle owners: each kind's empty value is the one its opening call answers on failure, and every
// owner closes what it holds once, hands it over on a move and gives it up on Detach. Real handles are
// observed after closing through a call that refuses a closed handle; address and device lists leave
// nothing a public call could look at once freed, so their closing is covered by the counting owner.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Handles.h"

namespace {

// ---- the owner itself, with a handle kind that records every close ----

struct CountingTraits {
  using Handle = int;
  static int Empty() noexcept { return -1; }
  static void Close(int handle) noexcept { Closed.push_back(handle); }
  static inline std::vector<int> Closed;
};
using CCountingOwner = CHandleOwner<CountingTraits>;

static_assert(!std::is_copy_constructible<CCountingOwner>::value &&
                  !std::is_copy_assignable<CCountingOwner>::value,
              "an owner never copies");
static_assert(std::is_nothrow_move_constructible<CCountingOwner>::value &&
                  std::is_nothrow_move_assignable<CCountingOwner>::value,
              "an owner moves without throwing");
// The old registry owner converted to HKEY silently; an owner must be asked for its handle.
static_assert(!std::is_convertible<CRegKey, HKEY>::value && !std::is_convertible<CKernelHandle, bool>::value,
              "no implicit conversions");

struct OwnerSequence {
  const char* Name;
  void (*Run)();
  std::vector<int> Closed;  // in order, once the owners of Run have gone
};

const OwnerSequence kOwnerSequences[] = {
    {"an empty owner closes nothing", [] { CCountingOwner owner; }, {}},
    {"the destructor closes the handle", [] { CCountingOwner owner(7); }, {7}},
    {"Close and then the destructor close once",
     [] {
       CCountingOwner owner(7);
       owner.Close();
       EXPECT_FALSE(owner.Valid());
       owner.Close();
     },
     {7}},
    {"Reset closes the old handle and keeps the new one",
     [] {
       CCountingOwner owner(7);
       owner.Reset(8);
       EXPECT_EQ(owner.Get(), 8);
     },
     {7, 8}},
    {"Reset without a handle empties the owner",
     [] {
       CCountingOwner owner(7);
       owner.Reset();
       EXPECT_FALSE(owner);
     },
     {7}},
    {"a moved-from owner closes nothing",
     [] {
       CCountingOwner source(7);
       CCountingOwner target(std::move(source));
       EXPECT_EQ(source.Get(), -1);
       EXPECT_EQ(target.Get(), 7);
     },
     {7}},
    {"move assignment closes the target's handle first",
     [] {
       CCountingOwner source(7);
       CCountingOwner target(8);
       target = std::move(source);
       EXPECT_EQ(source.Get(), -1);
       EXPECT_EQ(target.Get(), 7);
       EXPECT_EQ(CountingTraits::Closed, std::vector<int>{8});
     },
     {8, 7}},
    {"moving an owner onto itself keeps the handle",
     [] {
       CCountingOwner owner(7);
       CCountingOwner& same = owner;
       owner = std::move(same);
       EXPECT_EQ(owner.Get(), 7);
     },
     {7}},
    {"Detach gives the handle up unclosed",
     [] {
       CCountingOwner owner(7);
       EXPECT_EQ(owner.Detach(), 7);
       EXPECT_FALSE(owner.Valid());
     },
     {}},
    {"Receive closes the handle held and hands out an empty slot",
     [] {
       CCountingOwner owner(7);
       int* slot = owner.Receive();
       EXPECT_EQ(CountingTraits::Closed, std::vector<int>{7});
       EXPECT_EQ(*slot, -1);
       *slot = 9;
       EXPECT_EQ(owner.Get(), 9);
     },
     {7, 9}},
};

TEST(HandleOwner, ClosesEachHandleOnce) {
  for (const OwnerSequence& sequence : kOwnerSequences) {
    SCOPED_TRACE(sequence.Name);
    CountingTraits::Closed.clear();
    sequence.Run();
    EXPECT_EQ(CountingTraits::Closed, sequence.Closed);
  }
}

// ---- real handles of every kind ----

std::wstring ScratchKeyPath() {
  return L"Software\\Tarvelon\\VombraTest\\Handles" + std::to_wstring(GetCurrentProcessId());
}

// A system DLL that nothing in this process holds, so that its unloading can be seen.
const wchar_t* const kModuleCandidates[] = {L"msimg32.dll", L"wtsapi32.dll", L"credui.dll", L"dwmapi.dll"};
const wchar_t* g_unloadableModule = nullptr;

class CHandlesEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    for (const wchar_t* name : kModuleCandidates) {
      if (GetModuleHandleW(name)) continue;
      HMODULE module = LoadLibraryW(name);
      if (!module) continue;
      FreeLibrary(module);
      if (!GetModuleHandleW(name)) {
        g_unloadableModule = name;
        break;
      }
    }
  }
  void TearDown() override {
    const std::wstring path = ScratchKeyPath();
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    // Only when no other test process has a scratch key there.
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Tarvelon\\VombraTest");
    WSACleanup();
  }
};

testing::Environment* const g_environment = testing::AddGlobalTestEnvironment(new CHandlesEnvironment);

// Each kind: the owner, its empty value as a literal, an opening call writing into a slot, the same
// call failing, and (for those that can be observed) a probe answering 0 while the handle is open
// and the error of a closed handle after.
struct EventKind {
  using Owner = CKernelHandle;
  static HANDLE EmptyValue() { return nullptr; }
  static void OpenInto(HANDLE* slot) { *slot = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  // A backslash outside a namespace prefix is refused.
  static void FailInto(HANDLE* slot) { *slot = CreateEventW(nullptr, TRUE, FALSE, L"No\\Such\\Namespace"); }
  static void CloseRaw(HANDLE handle) { CloseHandle(handle); }
  static DWORD Probe(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) ? 0 : GetLastError();
  }
  static constexpr DWORD kClosedError = ERROR_INVALID_HANDLE;
  static const char* Unavailable() { return nullptr; }
};

struct FileKind {
  using Owner = CFileHandle;
  static HANDLE EmptyValue() { return INVALID_HANDLE_VALUE; }
  static void OpenInto(HANDLE* slot) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    static UINT s_serial = 0;
    const std::wstring name = L"VombraHandles" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++s_serial) + L".tmp";
    const std::wstring path = folder + name;
    *slot = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  }
  static void FailInto(HANDLE* slot) {
    *slot = CreateFileW(L"C:\\VombraNoSuchFolder\\none.tmp", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
  }
  static void CloseRaw(HANDLE handle) { CloseHandle(handle); }
  static DWORD Probe(HANDLE handle) { return EventKind::Probe(handle); }
  static constexpr DWORD kClosedError = ERROR_INVALID_HANDLE;
  static const char* Unavailable() { return nullptr; }
};

struct RegKeyKind {
  using Owner = CRegKey;
  static HKEY EmptyValue() { return nullptr; }
  static void OpenInto(HKEY* slot) {
    RegCreateKeyExW(HKEY_CURRENT_USER, ScratchKeyPath().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                    KEY_READ, nullptr, slot, nullptr);
  }
  static void FailInto(HKEY* slot) {
    const std::wstring missing = ScratchKeyPath() + L"\\Missing";
    RegOpenKeyExW(HKEY_CURRENT_USER, missing.c_str(), 0, KEY_READ, slot);
  }
  static void CloseRaw(HKEY key) { RegCloseKey(key); }
  static DWORD Probe(HKEY key) {
    return DWORD(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr));
  }
  static constexpr DWORD kClosedError = ERROR_INVALID_HANDLE;
  static const char* Unavailable() { return nullptr; }
};

struct SocketKind {
  using Owner = CSocket;
  static SOCKET EmptyValue() { return INVALID_SOCKET; }
  static void OpenInto(SOCKET* slot) { *slot = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP); }
  static void FailInto(SOCKET* slot) { *slot = socket(-1, SOCK_DGRAM, 0); }
  static void CloseRaw(SOCKET socket) { closesocket(socket); }
  static DWORD Probe(SOCKET socket) {
    int type = 0;
    int size = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0
               ? 0
               : DWORD(WSAGetLastError());
  }
  static constexpr DWORD kClosedError = WSAENOTSOCK;
  static const char* Unavailable() { return nullptr; }
};

struct ModuleKind {
  using Owner = CModule;
  static HMODULE EmptyValue() { return nullptr; }
  static void OpenInto(HMODULE* slot) { *slot = LoadLibraryW(g_unloadableModule); }
  static void FailInto(HMODULE* slot) { *slot = LoadLibraryW(L"VombraNoSuchModule.dll"); }
  static void CloseRaw(HMODULE module) { FreeLibrary(module); }
  static DWORD Probe(HMODULE module) {
    wchar_t path[MAX_PATH];
    return GetModuleFileNameW(module, path, MAX_PATH) ? 0 : GetLastError();
  }
  static constexpr DWORD kClosedError = ERROR_MOD_NOT_FOUND;
  static const char* Unavailable() {
    return g_unloadableModule ? nullptr : "every candidate DLL is already loaded or never unloads";
  }
};

// A search of the system folder, which always holds something.
struct FindKind {
  using Owner = CFindHandle;
  static HANDLE EmptyValue() { return INVALID_HANDLE_VALUE; }
  static void OpenInto(HANDLE* slot) {
    WIN32_FIND_DATAW data;
    wchar_t pattern[MAX_PATH] = {};
    GetSystemDirectoryW(pattern, MAX_PATH - 4);
    wcscat(pattern, L"\\*");
    *slot = FindFirstFileW(pattern, &data);
  }
  static void FailInto(HANDLE* slot) {
    WIN32_FIND_DATAW data;
    *slot = FindFirstFileW(L"C:\\VombraNoSuchFolder\\*", &data);
  }
  static void CloseRaw(HANDLE find) { FindClose(find); }
  static const char* Unavailable() { return nullptr; }
};

struct DevInfoSetKind {
  using Owner = CDevInfoSet;
  static HDEVINFO EmptyValue() { return INVALID_HANDLE_VALUE; }
  static void OpenInto(HDEVINFO* slot) { *slot = SetupDiCreateDeviceInfoList(nullptr, nullptr); }
  // Neither a class nor DIGCF_ALLCLASSES is refused.
  static void FailInto(HDEVINFO* slot) { *slot = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0); }
  static void CloseRaw(HDEVINFO set) { SetupDiDestroyDeviceInfoList(set); }
  static const char* Unavailable() { return nullptr; }
};

// Loopback only, and numeric, so that nothing is ever looked up.
struct AddrInfoKind {
  using Owner = CAddrInfo;
  static ADDRINFOW* EmptyValue() { return nullptr; }
  static int Lookup(const wchar_t* host, ADDRINFOW** slot) {
    ADDRINFOW hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    return GetAddrInfoW(host, L"9", &hints, slot);
  }
  static void OpenInto(ADDRINFOW** slot) { Lookup(L"127.0.0.1", slot); }
  static void FailInto(ADDRINFOW** slot) { Lookup(L"not-a-number", slot); }
  static void CloseRaw(ADDRINFOW* list) { FreeAddrInfoW(list); }
  static const char* Unavailable() { return nullptr; }
};

struct AnsiAddrInfoKind {
  using Owner = CAnsiAddrInfo;
  static addrinfo* EmptyValue() { return nullptr; }
  static int Lookup(const char* host, addrinfo** slot) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    return getaddrinfo(host, "9", &hints, slot);
  }
  static void OpenInto(addrinfo** slot) { Lookup("127.0.0.1", slot); }
  static void FailInto(addrinfo** slot) { Lookup("not-a-number", slot); }
  static void CloseRaw(addrinfo* list) { freeaddrinfo(list); }
  static const char* Unavailable() { return nullptr; }
};

template <class Kind>
typename Kind::Owner::Handle Open() {
  typename Kind::Owner::Handle handle = Kind::EmptyValue();
  Kind::OpenInto(&handle);
  return handle;
}

template <class Kind>
class HandleKinds : public testing::Test {
 protected:
  void SetUp() override {
    if (const char* reason = Kind::Unavailable()) GTEST_SKIP() << reason;
  }
};

using AllKinds = testing::Types<EventKind, FileKind, FindKind, RegKeyKind, SocketKind, ModuleKind, DevInfoSetKind,
                                AddrInfoKind, AnsiAddrInfoKind>;
TYPED_TEST_SUITE(HandleKinds, AllKinds);

TYPED_TEST(HandleKinds, EmptyValueIsWhatAFailedOpenAnswers) {
  typename TypeParam::Owner none;
  EXPECT_EQ(none.Get(), TypeParam::EmptyValue());
  EXPECT_FALSE(none.Valid());

  typename TypeParam::Owner failed;
  TypeParam::FailInto(failed.Receive());
  EXPECT_FALSE(failed.Valid());
  EXPECT_FALSE(static_cast<bool>(failed));
}

TYPED_TEST(HandleKinds, MoveLeavesTheSourceEmpty) {
  typename TypeParam::Owner source(Open<TypeParam>());
  const auto handle = source.Get();
  ASSERT_TRUE(source.Valid());

  typename TypeParam::Owner constructed(std::move(source));
  EXPECT_EQ(source.Get(), TypeParam::EmptyValue());
  EXPECT_EQ(constructed.Get(), handle);

  typename TypeParam::Owner assigned;
  assigned = std::move(constructed);
  EXPECT_FALSE(constructed.Valid());
  EXPECT_EQ(assigned.Get(), handle);
}

TYPED_TEST(HandleKinds, DetachGivesTheHandleUp) {
  typename TypeParam::Owner owner(Open<TypeParam>());
  const auto handle = owner.Get();
  ASSERT_TRUE(owner.Valid());
  EXPECT_EQ(owner.Detach(), handle);
  EXPECT_EQ(owner.Get(), TypeParam::EmptyValue());
  TypeParam::CloseRaw(handle);
}

TYPED_TEST(HandleKinds, ReceiveFillsAnEmptySlot) {
  typename TypeParam::Owner owner(Open<TypeParam>());
  ASSERT_TRUE(owner.Valid());
  auto* slot = owner.Receive();
  EXPECT_EQ(*slot, TypeParam::EmptyValue());
  TypeParam::OpenInto(slot);
  EXPECT_TRUE(owner.Valid());
  EXPECT_EQ(owner.Get(), *slot);
}

// The kinds whose closing can be seen from outside and whose every opening gives a handle of its own (a
// module loaded twice is one handle counted twice: see ModuleOwner).
template <class Kind>
class ObservedHandleKinds : public HandleKinds<Kind> {};

using ObservedKinds = testing::Types<EventKind, FileKind, RegKeyKind, SocketKind>;
TYPED_TEST_SUITE(ObservedHandleKinds, ObservedKinds);

TYPED_TEST(ObservedHandleKinds, DestructorClosesTheHandle) {
  const auto handle = Open<TypeParam>();
  ASSERT_EQ(TypeParam::Probe(handle), 0u);
  { typename TypeParam::Owner owner(handle); }
  EXPECT_EQ(TypeParam::Probe(handle), TypeParam::kClosedError);
}

TYPED_TEST(ObservedHandleKinds, ResetClosesOnlyTheOldHandle) {
  typename TypeParam::Owner owner(Open<TypeParam>());
  const auto first = owner.Get();
  const auto second = Open<TypeParam>();
  ASSERT_EQ(TypeParam::Probe(second), 0u);
  owner.Reset(second);
  EXPECT_EQ(TypeParam::Probe(first), TypeParam::kClosedError);
  EXPECT_EQ(TypeParam::Probe(second), 0u);
  owner.Close();
  EXPECT_EQ(TypeParam::Probe(second), TypeParam::kClosedError);
  EXPECT_FALSE(owner.Valid());
}

TYPED_TEST(ObservedHandleKinds, MovedHandleClosesWithItsNewOwner) {
  const auto handle = Open<TypeParam>();
  typename TypeParam::Owner target;
  {
    typename TypeParam::Owner source(handle);
    target = std::move(source);
  }
  EXPECT_EQ(TypeParam::Probe(handle), 0u);
  target.Close();
  EXPECT_EQ(TypeParam::Probe(handle), TypeParam::kClosedError);
}

TYPED_TEST(ObservedHandleKinds, MoveAssignmentClosesTheTargetsHandle) {
  typename TypeParam::Owner target(Open<TypeParam>());
  const auto replaced = target.Get();
  typename TypeParam::Owner source(Open<TypeParam>());
  const auto kept = source.Get();
  target = std::move(source);
  EXPECT_EQ(TypeParam::Probe(replaced), TypeParam::kClosedError);
  EXPECT_EQ(TypeParam::Probe(kept), 0u);
}

TYPED_TEST(ObservedHandleKinds, DetachLeavesTheHandleOpen) {
  const auto handle = Open<TypeParam>();
  {
    typename TypeParam::Owner owner(handle);
    EXPECT_EQ(owner.Detach(), handle);
  }
  EXPECT_EQ(TypeParam::Probe(handle), 0u);
  TypeParam::CloseRaw(handle);
  EXPECT_EQ(TypeParam::Probe(handle), TypeParam::kClosedError);
}

TYPED_TEST(ObservedHandleKinds, ReceiveClosesTheHandleHeld) {
  typename TypeParam::Owner owner(Open<TypeParam>());
  const auto first = owner.Get();
  owner.Receive();
  EXPECT_EQ(TypeParam::Probe(first), TypeParam::kClosedError);
}

// A module is counted, not closed: an owner gives back exactly the one reference it holds.
class ModuleOwner : public HandleKinds<ModuleKind> {};

TEST_F(ModuleOwner, DestructorUnloadsTheModule) {
  const HMODULE module = Open<ModuleKind>();
  ASSERT_EQ(ModuleKind::Probe(module), 0u);
  { CModule owner(module); }
  EXPECT_EQ(ModuleKind::Probe(module), ModuleKind::kClosedError);
}

// A second reference keeps the module loaded, so a reference freed twice would unload it.
TEST_F(ModuleOwner, FreesItsReferenceOnce) {
  const HMODULE kept = Open<ModuleKind>();
  ASSERT_EQ(ModuleKind::Probe(kept), 0u);
  {
    CModule owner(Open<ModuleKind>());
    owner.Close();
  }
  EXPECT_EQ(ModuleKind::Probe(kept), 0u);
  {
    CModule target;
    CModule source(Open<ModuleKind>());
    target = std::move(source);
  }
  EXPECT_EQ(ModuleKind::Probe(kept), 0u);
  FreeLibrary(kept);
  EXPECT_EQ(ModuleKind::Probe(kept), ModuleKind::kClosedError);
}

TEST_F(ModuleOwner, DetachKeepsTheModuleLoaded) {
  const HMODULE module = Open<ModuleKind>();
  {
    CModule owner(module);
    EXPECT_EQ(owner.Detach(), module);
  }
  EXPECT_EQ(ModuleKind::Probe(module), 0u);
  FreeLibrary(module);
  EXPECT_EQ(ModuleKind::Probe(module), ModuleKind::kClosedError);
}

// The field helper for raw HANDLE fields: closes once, leaves NULL, and lets NULL be.
TEST(CloseHandleField, ClosesOnceAndLeavesNull) {
  HANDLE field = Open<EventKind>();
  const HANDLE event = field;
  ASSERT_EQ(EventKind::Probe(event), 0u);
  CloseHandleField(field);
  EXPECT_EQ(field, nullptr);
  EXPECT_EQ(EventKind::Probe(event), EventKind::kClosedError);
  CloseHandleField(field);
  EXPECT_EQ(field, nullptr);
}

}  // namespace
