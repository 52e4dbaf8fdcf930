// The hidden message window of the add-in in a GUI host (this is a GUI-subsystem program): made by
// Init on the calling thread, never shown, gone after Done, after a failed Init and after the object,
// whichever comes first.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "Core.h"
#include "FakeHost.h"
#include "Vombra.h"
#include "addin/SettingsFixture.h"

namespace {

bool ClassRegistered(HINSTANCE instance) {
  WNDCLASSEXW info{};
  info.cbSize = sizeof info;
  return GetClassInfoExW(instance, L"Vombra", &info) != FALSE;
}

class AddinWindowTest : public SettingsKeyTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(FindWindowW(L"Vombra", nullptr), nullptr) << "a window outlived its object";
    EXPECT_FALSE(ClassRegistered(g_hInstance)) << "the window class outlived its object";
    SettingsKeyTest::TearDown();
  }

  CFakeHost host;
};

TEST_F(AddinWindowTest, InitMakesAHiddenWindowOnTheCallingThreadAndDoneDestroysIt) {
  CVombra addin(L"VombraExtension");
  ASSERT_TRUE(addin.Init(host.Connection()));
  HWND window = addin.Window;
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(FindWindowW(L"Vombra", nullptr), window);
  EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetWindowLongPtrW(window, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&addin));
  EXPECT_EQ(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW, LONG_PTR(WS_EX_APPWINDOW));
  EXPECT_TRUE(ClassRegistered(g_hInstance));
  EXPECT_NE(addin.CommandEvent, nullptr);

  addin.Done();
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(addin.Window, nullptr);
  EXPECT_EQ(addin.WindowClass, 0);
}

TEST_F(AddinWindowTest, WindowAnswersItsOwnMessagesAndReceivesTheListChange) {
  CVombra addin(L"VombraExtension");
  ASSERT_TRUE(addin.Init(host.Connection()));
  ASSERT_NE(addin.Window, nullptr);
  EXPECT_EQ(SendMessageW(addin.Window, WM_USER + 2, 0, 0), 0);
  EXPECT_EQ(SendMessageW(addin.Window, WM_USER + 1, 0, 0), 0);

  MSG message;
  while (PeekMessageW(&message, addin.Window, 0, 0, PM_REMOVE)) {
  }
  addin.PostCcidChange();
  ASSERT_TRUE(PeekMessageW(&message, addin.Window, WM_USER + 2, WM_USER + 2, PM_REMOVE));
  EXPECT_EQ(message.wParam, 0u);
  EXPECT_EQ(message.lParam, 0);
  addin.Done();
}

TEST_F(AddinWindowTest, NoWindowWithoutAHostOrItsBuffer) {
  CVombra withoutHost(L"VombraExtension");
  EXPECT_TRUE(withoutHost.Init(nullptr));
  EXPECT_EQ(withoutHost.Window, nullptr);

  host.AcceptBufferDepth = false;
  CVombra refused(L"VombraExtension");
  EXPECT_TRUE(refused.Init(host.Connection()));
  EXPECT_EQ(refused.Window, nullptr);
}

TEST_F(AddinWindowTest, FailedInitTakesItsWindowAndClassAway) {
  const unsigned long long wide = 1;  // eight bytes where a DWORD is read: the registry read fails
  PutSettingsValue(HKEY_CURRENT_USER, L"SettingFlags", REG_DWORD, &wide, sizeof wide);
  CVombra addin(L"VombraExtension");
  EXPECT_FALSE(addin.Init(host.Connection()));
  EXPECT_EQ(addin.Window, nullptr);
  EXPECT_EQ(addin.WindowClass, 0);
  EXPECT_EQ(addin.CommandEvent, nullptr);
  EXPECT_EQ(FindWindowW(L"Vombra", nullptr), nullptr);
  EXPECT_EQ(host.Errors().size(), 1u);
}

TEST_F(AddinWindowTest, DestroyingTheObjectWithoutDoneReleasesTheWindow) {
  auto addin = std::make_unique<CVombra>(L"VombraExtension");
  ASSERT_TRUE(addin->Init(host.Connection()));
  HWND window = addin->Window;
  ASSERT_NE(window, nullptr);
  addin.reset();
  EXPECT_FALSE(IsWindow(window));
}

TEST_F(AddinWindowTest, ATakenClassNameMeansNoWindowButInitSucceeds) {
  WNDCLASSW other{};
  other.lpfnWndProc = DefWindowProcW;
  other.hInstance = g_hInstance;
  other.lpszClassName = L"Vombra";
  ASSERT_NE(RegisterClassW(&other), 0);
  {
    CVombra addin(L"VombraExtension");
    EXPECT_TRUE(addin.Init(host.Connection()));
    EXPECT_EQ(addin.Window, nullptr);
    EXPECT_EQ(addin.WindowClass, 0);
    EXPECT_NE(addin.CommandEvent, nullptr);
    addin.Done();
  }
  EXPECT_TRUE(ClassRegistered(g_hInstance)) << "a class the add-in did not register is not its to remove";
  UnregisterClassW(L"Vombra", g_hInstance);
}

}  // namespace
