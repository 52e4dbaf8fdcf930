// Window tests need an X server under Wine: without one no ordinary window, hidden or not, is created.
// The test run starts Xvfb before the first Wine process; this fails when that wiring breaks.
#include <windows.h>

#include <gtest/gtest.h>

TEST(Display, HiddenTopLevelWindowCanBeCreated) {
  HWND window = CreateWindowExW(0, L"STATIC", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(window, nullptr) << "no display: run the tests through the project's test command";
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_TRUE(DestroyWindow(window));
}
