// Exception messages, the throwing helpers and the scoped critical-section lock.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "AddinModule.h"
#include "Core.h"
#include "Exceptions.h"
#include "Thread.h"

namespace {

std::string Ansi(const std::wstring& text) {
  std::string narrow;
  WideToAnsi(text.c_str(), int(text.size()), narrow);
  return narrow;
}

TEST(ExceptionMessage, ExactTexts) {
  ScopedThreadLanguage language(kEnglish);
  const struct {
    CException exception;
    std::string message;
  } cases[] = {
      {COSException(0), "A call to an OS function failed"},
      {CComException(0x80040211, AddinModule()), "COM error 0x80040211\r\nPort not exists."},
      {CComException(0x8004021C, AddinModule()), "COM error 0x8004021c\r\nError accessing key data."},
      {CComException(0x8004021A, nullptr), "COM error 0x8004021a"},
      {CComException(0x80040207, AddinModule()), "COM error 0x80040207"},  // a gap in the table
      {CComException(0, AddinModule()), "COM error 00000000"},  // "#" adds no prefix to 0
  };
  for (const auto& c : cases) EXPECT_EQ(std::string(c.exception.what()), c.message);
}

TEST(ExceptionMessage, RussianTwin) {
  ScopedThreadLanguage language(kRussian);
  CComException exception(0x80040211, AddinModule());
  EXPECT_EQ(std::string(exception.what()), Ansi(L"Ошибка COM 0x80040211\r\nПорт не существует."));
}

TEST(ExceptionMessage, OSErrorCarriesTheSystemText) {
  ScopedThreadLanguage language(kEnglish);
  COSException exception(ERROR_FILE_NOT_FOUND);
  const std::string head = "System error. Code: 2.\r\n";
  std::string message = exception.what();
  ASSERT_GT(message.size(), head.size());
  EXPECT_EQ(message.substr(0, head.size()), head);
  EXPECT_EQ(exception.Code(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(ExceptionMessage, CopiesKeepMessageAndCode) {
  ScopedThreadLanguage language(kEnglish);
  CComException original(0x8004021A, AddinModule());
  CComException copy = original;
  EXPECT_STREQ(copy.what(), "COM error 0x8004021a\r\nNo key.");
  EXPECT_EQ(copy.Code(), HRESULT(0x8004021A));
  EXPECT_EQ(copy.Messages(), AddinModule());
}

TEST(Throwing, HelpersThrowTheirKinds) {
  try {
    ThrowOSException(ERROR_ACCESS_DENIED);
    FAIL() << "no exception";
  } catch (const COSException& e) {
    EXPECT_EQ(e.Code(), DWORD(ERROR_ACCESS_DENIED));
  }
  try {
    ThrowComException(0x80040203);
    FAIL() << "no exception";
  } catch (const CComException& e) {
    EXPECT_EQ(e.Code(), HRESULT(0x80040203));
    EXPECT_EQ(e.Messages(), g_hResInstance);
  }
  // Both are caught as the root and as std::exception, as every boundary catches them.
  EXPECT_THROW(ThrowOSException(5), CException);
  EXPECT_THROW(ThrowComException(0x80040204), std::exception);
}

// ---- Scoped lock ----

class LockTest : public testing::Test {
 protected:
  void SetUp() override { InitializeCriticalSection(&m_section); }
  void TearDown() override { DeleteCriticalSection(&m_section); }
  // Whether another thread could take the section right now.
  bool FreeForOthers() {
    bool entered = false;
    std::thread other([&] {
      entered = TryEnterCriticalSection(&m_section) != FALSE;
      if (entered) LeaveCriticalSection(&m_section);
    });
    other.join();
    return entered;
  }
  CRITICAL_SECTION m_section;
};

TEST_F(LockTest, HeldForTheScopeAndReleasedEarlyOnce) {
  {
    CCriticalSectionLock lock(&m_section);
    EXPECT_TRUE(lock.IsHeld());
    EXPECT_FALSE(FreeForOthers());
    lock.Release();
    EXPECT_FALSE(lock.IsHeld());
    EXPECT_TRUE(FreeForOthers());
    lock.Release();  // a second release leaves nothing
  }
  EXPECT_TRUE(FreeForOthers());
  EXPECT_EQ(m_section.RecursionCount, 0);
}

TEST_F(LockTest, AnExceptionLeavesNoSectionEntered) {
  try {
    CCriticalSectionLock lock(&m_section);
    ThrowOSException(ERROR_INVALID_HANDLE);
  } catch (const COSException&) {
  }
  EXPECT_TRUE(FreeForOthers());
}

}  // namespace
