// The winscard.dll double's start-up readers: a program that cannot drive the double (the configurator in
// the screen tour) finds the readers WINSCARD_DOUBLE_READERS names. The double reads the variable once,
// when it is loaded, so the check runs in a child copy of this program started with it set, which
// answers through its exit code before any test runs.
#include <windows.h>
#include <winscard.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "doubles/winscard/WinscardDouble.h"

namespace {

constexpr wchar_t kVariable[] = L"WINSCARD_DOUBLE_READERS";
constexpr wchar_t kChildSwitch[] = L"--list-double-readers";
constexpr DWORD kChildListed = 0, kChildNoDouble = 2, kChildOtherReaders = 3;

std::vector<std::wstring> ListReaders() {
  std::vector<std::wstring> names;
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return names;
  wchar_t buffer[1024] = L"";
  DWORD chars = 1024;
  if (SCardListReadersW(context, nullptr, buffer, &chars) == SCARD_S_SUCCESS) {
    for (const wchar_t* name = buffer; *name; name += wcslen(name) + 1) names.emplace_back(name);
  }
  SCardReleaseContext(context);
  return names;
}

// The child copy answers before any test runs: its exit code tells what it found. Empty names and
// repeats are dropped; the order is kept.
const DWORD g_child = [] {
  if (!wcsstr(GetCommandLineW(), kChildSwitch)) return kChildListed;
  if (!CWinscardDouble().Loaded()) ExitProcess(kChildNoDouble);
  const bool listed = ListReaders() == std::vector<std::wstring>{L"Reader B 0", L"Reader A 0"};
  ExitProcess(listed ? kChildListed : kChildOtherReaders);
}();

TEST(WinscardDoubleReaders, PlugsTheReadersItsEnvironmentNames) {
  wchar_t self[MAX_PATH] = L"";
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + kChildSwitch;
  ASSERT_TRUE(SetEnvironmentVariableW(kVariable, L"Reader B 0;;Reader A 0;Reader B 0"));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                      &startup, &process);
  SetEnvironmentVariableW(kVariable, nullptr);
  ASSERT_TRUE(started) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exitCode, kChildListed) << "2: Wine's stub was loaded; 3: the child found other readers";
  // This process started without the variable: no reader.
  ASSERT_TRUE(CWinscardDouble().Loaded());
  EXPECT_TRUE(ListReaders().empty());
}

}  // namespace
