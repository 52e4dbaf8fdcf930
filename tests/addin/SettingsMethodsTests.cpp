// LoadSettings and SaveSettings by parts, the modified-parts mask, and the one start of Windows
// Sockets.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "FakeHost.h"
#include "SettingsFixture.h"
#include "Vombra.h"

namespace {

class SettingsMethodsTest : public SettingsKeyTest {
 protected:
  void SetUp() override {
    SettingsKeyTest::SetUp();
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);
  }

  // Calls method 10 or 11 as a function with one argument; the answer and the BOOL result.
  bool Call(long method, const tVariant& parts, bool* result) {
    tVariant param = parts;
    tVariant value{};
    bool answer = addin.CallAsFunc(method, &value, &param, 1);
    *result = value.vt == VTYPE_BOOL && value.bVal;
    return answer;
  }

  static tVariant Parts(UINT parts) {
    tVariant value{};
    value.ulVal = parts;
    value.vt = VTYPE_UI4;
    return value;
  }

  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

TEST_F(SettingsMethodsTest, LoadingAPartClearsItsBitAndReplacesItsValues) {
  PutSettingsDword(HKEY_CURRENT_USER, L"Speed", 38400);
  addin.SavedParams.Speed = 1200;  // as a property would have changed it
  addin.FindIpTries = 9;
  addin.ModifiedParts = SP_MAIN | SP_LISTS;
  bool result = false;
  ASSERT_TRUE(Call(10, Parts(SP_MAIN), &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(addin.SavedParams.Speed, 38400u) << "the registry's value";
  EXPECT_EQ(addin.LiveParams.Speed, 38400u) << "the live copy follows a load of part 1";
  EXPECT_EQ(addin.FindIpTries, 1u) << "a value the registry lacks returns to its default";
  EXPECT_EQ(addin.ModifiedParts, UINT(SP_LISTS));
}

TEST_F(SettingsMethodsTest, LoadingWithNoKeyGivesDefaultsAndThePerUserHive) {
  addin.Hive = 1;
  addin.KeyTypes = 5;
  bool result = false;
  ASSERT_TRUE(Call(10, Parts(SP_ALL), &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(addin.Hive, 0);
  EXPECT_EQ(addin.KeyTypes, 0x3FFFFFu);
}

TEST_F(SettingsMethodsTest, SavingPartsZeroSavesTheModifiedOnes) {
  addin.SavedParams.Speed = 57600;
  addin.ModifiedParts = SP_MAIN;
  bool result = false;
  ASSERT_TRUE(Call(11, Parts(0), &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(addin.ModifiedParts, 0u);
  CVombra reader(L"VombraExtension");
  reader.ReadSettings(SP_MAIN);
  EXPECT_EQ(reader.SavedParams.Speed, 57600u);
}

TEST_F(SettingsMethodsTest, SaveStoresTheSavedParametersNotTheLiveOnes) {
  tVariant params[2] = {};
  params[0].pwstrVal = const_cast<WCHAR_T*>(L"Speed");
  params[0].wstrLen = 5;
  params[0].vt = VTYPE_PWSTR;
  params[1].lVal = 115200;
  params[1].vt = VTYPE_I4;
  tVariant value{};
  ASSERT_TRUE(addin.CallAsFunc(4, &value, params, 2));
  ASSERT_EQ(addin.LiveParams.Speed, 115200u);
  bool result = false;
  ASSERT_TRUE(Call(11, Parts(SP_MAIN), &result));
  CVombra reader(L"VombraExtension");
  reader.ReadSettings(SP_MAIN);
  EXPECT_EQ(reader.SavedParams.Speed, 0u);
}

TEST_F(SettingsMethodsTest, SavingAnUnmodifiedPartLeavesTheMaskAlone) {
  addin.ModifiedParts = SP_LISTS;
  bool result = false;
  ASSERT_TRUE(Call(11, Parts(SP_PORTS), &result));
  EXPECT_TRUE(result);
  EXPECT_EQ(addin.ModifiedParts, UINT(SP_LISTS));
  EXPECT_TRUE(SettingsKeyExists(HKEY_CURRENT_USER));
}

TEST_F(SettingsMethodsTest, ArgumentsAreCheckedAndCallsWithoutThemRefused) {
  struct Case {
    const char* name;
    uint16_t type;
  } refusedTypes[] = {{"empty", VTYPE_EMPTY}, {"null", VTYPE_NULL}, {"text", VTYPE_PWSTR}, {"blob", VTYPE_BLOB}};
  for (long method : {10L, 11L}) {
    for (const Case& c : refusedTypes) {
      SCOPED_TRACE(testing::Message() << method << " " << c.name);
      tVariant parts{};
      parts.vt = c.type;
      bool result = true;
      EXPECT_TRUE(Call(method, parts, &result)) << "the call itself succeeds";
      EXPECT_FALSE(result);
      EXPECT_EQ(addin.LastError, HRESULT(0x80040202));
    }
    SCOPED_TRACE(method);
    tVariant parts = Parts(SP_MAIN);
    EXPECT_FALSE(addin.CallAsProc(method, &parts, 1)) << "no place for the result";
    EXPECT_EQ(addin.LastError, E_INVALIDARG);
    tVariant value{};
    EXPECT_FALSE(addin.CallAsFunc(method, &value, nullptr, 0));
  }
  EXPECT_FALSE(SettingsKeyExists(HKEY_CURRENT_USER));
  EXPECT_TRUE(host.Errors().empty());
}

TEST_F(SettingsMethodsTest, NumbersOfEveryKindAreAccepted) {
  for (uint16_t type : {VTYPE_I2, VTYPE_I4, VTYPE_R8, VTYPE_BOOL, VTYPE_I1, VTYPE_UI1, VTYPE_UI4, VTYPE_UINT}) {
    SCOPED_TRACE(type);
    tVariant parts{};
    parts.ulVal = SP_PORTS;
    parts.vt = type;
    bool result = false;
    EXPECT_TRUE(Call(10, parts, &result));
    EXPECT_TRUE(result);
  }
}

TEST(StartupWinsock, StartsOnceForAllThreads) {
  CVombra addin(L"VombraExtension");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      try {
        addin.StartupWinsock();
      } catch (...) {
        ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(addin.WinsockStarted);
}

}  // namespace
