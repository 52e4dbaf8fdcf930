// What the add-in object writes into its log around host calls and its own life: the call lines at
// level 6 only, the Init and Done lines from level 5, the closing line of the object at level 6.
#include <windows.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "AddinLog.h"
#include "AddinModule.h"
#include "FakeHost.h"
#include "Vombra.h"

namespace {

// One log line split after its stamp: "[I00041]" and the text that follows "] ".
struct LogLine {
  std::string tag;
  std::string text;
};

class CallLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"VombraCallLog" + std::to_wstring(GetCurrentProcessId());
    g_logFolder = folder;
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
  }
  void TearDown() override {
    DeleteFileW((folder + L"\\Vombra.log").c_str());
    RemoveDirectoryW(folder.c_str());
    g_logFolder.clear();
  }

  std::vector<LogLine> Lines() {
    std::vector<LogLine> lines;
    std::string content;
    HANDLE file = CreateFileW((folder + L"\\Vombra.log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      char buffer[4096];
      DWORD read = 0;
      while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) content.append(buffer, read);
      CloseHandle(file);
    }
    std::istringstream stream(content);
    std::string line;
    while (std::getline(stream, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t open = line.find('[');
      size_t close = line.find("] ");
      if (open == std::string::npos || close == std::string::npos) continue;
      lines.push_back({line.substr(open, close - open + 1), line.substr(close + 2)});
    }
    return lines;
  }

  ScopedThreadLanguage english{kEnglish};
  std::wstring folder;
  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

TEST_F(CallLogTest, LevelSixWritesAFunctionCallBeforeAndAfter) {
  addin.LogLevel = 6;
  tVariant result{};
  ASSERT_TRUE(addin.CallAsFunc(0, &result, nullptr, 0));
  host.FreeVariant(result);
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].tag, "[I01001]") << "the header opens the log";
  EXPECT_EQ(lines[1].tag, "[I00041]");
  EXPECT_EQ(lines[1].text, "Calling function GetVersion()...");
  EXPECT_EQ(lines[2].tag, "[I00042]");
  EXPECT_EQ(lines[2].text.rfind("Function returned ", 0), 0u);
  EXPECT_NE(lines[2].text.find("1.9.5.7"), std::string::npos);
  const std::string tail = ", parameters ().";
  ASSERT_GE(lines[2].text.size(), tail.size());
  EXPECT_EQ(lines[2].text.substr(lines[2].text.size() - tail.size()), tail);
}

TEST_F(CallLogTest, LevelSixWritesAFailedProcedureAndItsReport) {
  addin.LogLevel = 6;
  tVariant param{};
  EXPECT_FALSE(addin.CallAsProc(addin.FindMethod(L"DoAdditionalAction"), &param, 1));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].tag, "[I00038]");
  EXPECT_EQ(lines[1].text.rfind("Call procedure DoAdditionalAction(", 0), 0u);
  EXPECT_EQ(lines[2].tag, "[E00040]");
  EXPECT_EQ(lines[2].text.rfind("Procedure error (code 0x00000000)", 0), 0u)
      << "a refusing body leaves the last error as it was";
}

TEST_F(CallLogTest, LevelSixWritesTheErrorReportToTheHost) {
  addin.LogLevel = 6;
  addin.AddError(L"reader gone", HRESULT(0x80040232));
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].tag, "[I00036]");
  EXPECT_EQ(lines[1].text, "Calling AddError(1004, \"Vombra\", \"reader gone\", -2147220942)...");
  EXPECT_EQ(lines[2].tag, "[I00037]");
  EXPECT_EQ(lines[2].text, "The AddError function returned true.");
  ASSERT_EQ(host.Errors().size(), 1u);
}

TEST_F(CallLogTest, BelowLevelSixCallsAreNotLogged) {
  for (UINT level : {0u, 5u}) {
    SCOPED_TRACE(level);
    addin.LogLevel = level;
    tVariant result{};
    ASSERT_TRUE(addin.CallAsFunc(0, &result, nullptr, 0));
    host.FreeVariant(result);
    EXPECT_TRUE(Lines().empty());
  }
}

TEST_F(CallLogTest, InitAndDoneAreLoggedFromLevelFive) {
  struct Case {
    UINT level;
    std::vector<std::string> tags;
  } cases[] = {
      {4, {}},
      {5, {"[I01001]", "[I00000]", "[I00000]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    DeleteFileW((folder + L"\\Vombra.log").c_str());
    CVombra object(L"VombraExtension");
    object.LogLevel = c.level;
    ASSERT_TRUE(object.Init(nullptr));  // no host: the registry is not read, LogLevel stays
    object.Done();
    auto lines = Lines();
    ASSERT_EQ(lines.size(), c.tags.size());
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].tag, c.tags[i]) << i;
    if (lines.size() == 3) {
      EXPECT_EQ(lines[1].text, "CVombra::Init()");
      EXPECT_EQ(lines[2].text, "CVombra::Done()");
    }
  }
}

TEST_F(CallLogTest, TheObjectsEndIsLoggedAtLevelSix) {
  {
    CVombra object(L"VombraExtension");
    object.LogLevel = 6;
  }
  auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].tag, "[I00051]");
  EXPECT_EQ(lines[1].text, "Finish");
}

}  // namespace
