// Init and Done in a console host (this test program): the event buffer, the completion event, the
// settings chosen by the stored SettingFlags, a failing Init that leaves nothing behind, and the
// process-wide pointer to the object.
#include <windows.h>

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AddinModule.h"
#include "Core.h"
#include "FakeHost.h"
#include "SettingsFixture.h"
#include "Vombra.h"

namespace {

using InitTest = SettingsKeyTest;

struct RegistryCase {
  const char* name;
  std::function<void()> fixture;
  bool loaded;          // the stored settings were read (Speed 9600 below)
  bool defaultFormat;   // the built-in format was installed instead
  BYTE hive;            // where the next save goes: 0 per user, 1 per machine
};

// Speed is a part-1 value the object shows; its stored 9600 tells a load from no load.
void StoreSpeed(HKEY hive) { PutSettingsDword(hive, L"Speed", 9600); }

TEST_F(InitTest, SettingFlagsDecideBetweenStoredSettingsAndTheBuiltInFormat) {
  const RegistryCase cases[] = {
      {"no key in either hive", [] {}, false, false, 0},
      {"flags 1 per user", [] { StoreSpeed(HKEY_CURRENT_USER); PutSettingsDword(HKEY_CURRENT_USER, L"SettingFlags", 1); },
       true, false, 0},
      {"flags missing per user", [] { StoreSpeed(HKEY_CURRENT_USER); }, true, false, 0},
      {"flags 0 per user", [] { StoreSpeed(HKEY_CURRENT_USER); PutSettingsDword(HKEY_CURRENT_USER, L"SettingFlags", 0); },
       false, true, 0},
      {"flags 2 per user", [] { StoreSpeed(HKEY_CURRENT_USER); PutSettingsDword(HKEY_CURRENT_USER, L"SettingFlags", 2); },
       false, true, 0},
      {"flags as a short text", [] { StoreSpeed(HKEY_CURRENT_USER); PutSettingsText(HKEY_CURRENT_USER, L"SettingFlags", L"0"); },
       true, false, 0},
      {"flags 1 only per machine",
       [] { StoreSpeed(HKEY_LOCAL_MACHINE); PutSettingsDword(HKEY_LOCAL_MACHINE, L"SettingFlags", 1); }, true, false, 1},
      {"flags 0 only per machine",
       [] { StoreSpeed(HKEY_LOCAL_MACHINE); PutSettingsDword(HKEY_LOCAL_MACHINE, L"SettingFlags", 0); }, false, true, 1},
  };
  for (const RegistryCase& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteSettingsKeys();
    c.fixture();
    CFakeHost host;
    CVombra addin(L"VombraExtension");
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    ASSERT_TRUE(addin.Init(host.Connection()));

    EXPECT_EQ(addin.SavedParams.Speed, c.loaded ? 9600u : 0u);
    EXPECT_EQ(addin.LiveParams.Speed, addin.SavedParams.Speed) << "Init copies the saved parameters";
    EXPECT_EQ(addin.Hive, c.hive);
    EXPECT_EQ(addin.ModifiedParts, 0u);
    if (c.defaultFormat) {
      ASSERT_EQ(addin.Formats.size(), 1u);
      const _FORMAT_INFO& format = addin.Formats[0];
      EXPECT_EQ(format.Id, 1u);
      EXPECT_EQ(format.Name, L"SentrelSaaS");
      EXPECT_EQ(format.Template, L"%.3u,%.5u");
      EXPECT_EQ(format.Params, L"b2 w01");
      EXPECT_EQ(format.Comment, L"");
      EXPECT_EQ(format.KeyFilters, 1u);
      EXPECT_EQ(format.Flags, 0u);
      EXPECT_EQ(addin.DefaultFormatId, 1u);
      EXPECT_EQ(addin.SettingFlags, 1u) << "the constructor's value stays";
      EXPECT_EQ(addin.GetFormatIndex(1), 0);
    } else {
      EXPECT_TRUE(addin.Formats.empty());
      EXPECT_EQ(addin.DefaultFormatId, 0u);
    }
    EXPECT_TRUE(host.Errors().empty());
    addin.Done();
  }
}

TEST_F(InitTest, ConsoleHostGetsTheEventAndTheBufferButNoWindow) {
  CFakeHost host;
  CVombra addin(L"VombraExtension");
  ASSERT_TRUE(addin.Init(host.Connection()));
  EXPECT_EQ(host.DepthRequests(), std::vector<long>{4096});
  EXPECT_EQ(host.GetEventBufferDepth(), 4096);
  EXPECT_EQ(addin.Window, nullptr);
  EXPECT_EQ(addin.WindowClass, 0);
  ASSERT_NE(addin.CommandEvent, nullptr);
  EXPECT_EQ(WaitForSingleObject(addin.CommandEvent, 0), DWORD(WAIT_TIMEOUT)) << "created not signalled";
  addin.Done();
  EXPECT_EQ(addin.CommandEvent, nullptr);
}

TEST_F(InitTest, WithoutAHostOrItsBufferInitRunsOnDefaults) {
  // Stored settings that would show if Init read them.
  StoreSpeed(HKEY_CURRENT_USER);
  PutSettingsDword(HKEY_CURRENT_USER, L"SettingFlags", 1);
  struct Case {
    const char* name;
    bool connect;
    bool acceptDepth;
  } cases[] = {{"null connection", false, true}, {"buffer depth refused", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFakeHost host;
    host.AcceptBufferDepth = c.acceptDepth;
    CVombra addin(L"VombraExtension");
    EXPECT_TRUE(addin.Init(c.connect ? host.Connection() : nullptr));
    EXPECT_EQ(addin.CommandEvent, nullptr);
    EXPECT_EQ(addin.Window, nullptr);
    const _READERPARAMS_INFO defaults;
    EXPECT_EQ(addin.LiveParams.Port, defaults.Port);
    EXPECT_EQ(addin.LiveParams.Speed, defaults.Speed);
    EXPECT_EQ(addin.LiveParams.Flags, defaults.Flags);
    EXPECT_EQ(addin.LiveParams.Suffix, defaults.Suffix);
    EXPECT_TRUE(addin.Formats.empty());
    EXPECT_TRUE(host.Errors().empty());
    addin.Done();
  }
}

TEST_F(InitTest, RegistryFailureEndsInitWithTheErrorReportedAndNothingLeft) {
  // A DWORD value eight bytes long cannot be read into a DWORD: a registry error other than
  // "not found".
  const unsigned long long wide = 1;
  PutSettingsValue(HKEY_CURRENT_USER, L"SettingFlags", REG_DWORD, &wide, sizeof wide);
  CFakeHost host;
  CVombra addin(L"VombraExtension");
  EXPECT_FALSE(addin.Init(host.Connection()));
  auto errors = host.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Code, 1004);
  EXPECT_EQ(errors[0].Source, L"Vombra");
  EXPECT_FALSE(errors[0].Description.empty());
  EXPECT_EQ(errors[0].Description, addin.LastErrorText);
  EXPECT_EQ(errors[0].Scode, long(0x80004005));
  EXPECT_EQ(addin.LastError, HRESULT(0x80004005));
  EXPECT_EQ(addin.CommandEvent, nullptr) << "the event made before the failure is closed";
  EXPECT_EQ(addin.Window, nullptr);
  EXPECT_EQ(addin.WindowClass, 0);
}

TEST_F(InitTest, DoneSavesOnlyWhenAskedAndSomethingChanged) {
  struct Case {
    const char* name;
    UINT settingFlags;
    UINT modified;
    bool saved;
  } cases[] = {
      {"bit 1, nothing modified", 3, 0, false},
      {"bit 1, main part modified", 3, SP_MAIN, true},
      {"no bit 1, main part modified", 1, SP_MAIN, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteSettingsKeys();
    CFakeHost host;
    CVombra addin(L"VombraExtension");
    ASSERT_TRUE(addin.Init(host.Connection()));
    addin.SettingFlags = c.settingFlags;
    addin.ModifiedParts = c.modified;
    addin.SavedParams.Speed = 19200;
    addin.Done();
    EXPECT_EQ(SettingsKeyExists(HKEY_CURRENT_USER), c.saved);
    if (c.saved) {
      CVombra reader(L"VombraExtension");
      reader.ReadSettings(SP_MAIN);
      EXPECT_EQ(reader.SavedParams.Speed, 19200u);
      EXPECT_EQ(addin.ModifiedParts, 0u);
    }
  }
}

TEST(VombraPointer, ConstructorSetsItAndTheLastObjectsDestructorClearsIt) {
  EXPECT_EQ(g_pVombra, nullptr);
  auto first = std::make_unique<CVombra>(L"VombraExtension");
  EXPECT_EQ(g_pVombra, static_cast<IVombraContext*>(first.get()));
  auto second = std::make_unique<CVombra>(L"VombraExtension");
  EXPECT_EQ(g_pVombra, static_cast<IVombraContext*>(second.get())) << "a second object takes the pointer over";
  first.reset();
  EXPECT_EQ(g_pVombra, static_cast<IVombraContext*>(second.get())) << "not cleared by an object it does not name";
  second.reset();
  EXPECT_EQ(g_pVombra, nullptr) << "never left dangling";
}

TEST(VombraObject, InterfacePartsSitWhereThePlatformLooksForThem) {
  CVombra addin(L"VombraExtension");
  const char* base = reinterpret_cast<const char*>(static_cast<IComponentBase*>(&addin));
  EXPECT_EQ(reinterpret_cast<const char*>(static_cast<IInitDoneBase*>(&addin)) - base, 0);
  EXPECT_EQ(reinterpret_cast<const char*>(static_cast<ILanguageExtenderBase*>(&addin)) - base, 8);
  EXPECT_EQ(reinterpret_cast<const char*>(static_cast<LocaleBase*>(&addin)) - base, 16);
  EXPECT_EQ(addin.GetInfo(), 2000);
  EXPECT_FALSE(addin.setMemManager(nullptr));
}

TEST(VombraObject, StartsWithTheDocumentedDefaults) {
  CVombra addin(L"VombraExtension");
  EXPECT_EQ(addin.ClassName, L"VombraExtension");
  EXPECT_EQ(addin.LastError, S_OK);
  EXPECT_EQ(addin.SettingFlags, 1u);
  EXPECT_EQ(addin.SearchFlags, 0x2Eu);
  EXPECT_EQ(addin.LogLevel, 0u);
  EXPECT_EQ(addin.LogMaxSize, 0xFFFFFFFFu);
  EXPECT_EQ(addin.KeyTypes, 0x3FFFFFu);
  EXPECT_EQ(addin.IdentKeyDelay, 1000u);
  EXPECT_EQ(addin.AuthKeyMC.Length, 6);
  EXPECT_EQ(addin.AuthKeyMP.Length, 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(addin.AuthKeyMP.Data[i], 0xFF) << i;
  EXPECT_EQ(addin.MifareC.AuthKey.Length, 6);
  EXPECT_EQ(addin.MifareC.Block, 1u);
  EXPECT_EQ(addin.MifareP.AuthKey.Length, 16);
  EXPECT_EQ(addin.MifareUL.Page, 4u);
  EXPECT_EQ(addin.Temic.ScanParams,
            (std::vector<UINT>{0x00000002, 0x00000101, 0x00000102, 0x00000001, 0x03E800FF}));
  EXPECT_EQ(addin.LiveParams.Port, L"Auto");
  EXPECT_EQ(addin.LiveParams.Prefix, 0xFFFFFFFFu);
  EXPECT_EQ(addin.LiveParams.Suffix, 13u);
}

TEST(VombraObject, SetLocaleChoosesTheEventLanguageFromTheThread) {
  const LCID saved = g_lcid;
  struct Case {
    LANGID language;
    const wchar_t* locale;
    bool russian;
  } cases[] = {{kRussian, L"Russian_Russia", true}, {kEnglish, L"English_United States", false}};
  CVombra addin(L"VombraExtension");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.russian);
    ScopedThreadLanguage language(c.language);
    addin.SetLocale(c.locale);
    EXPECT_EQ(addin.RussianNames, c.russian);
    EXPECT_EQ(LANGIDFROMLCID(g_lcid), c.language);
  }
  g_lcid = saved;
  _wsetlocale(LC_ALL, L"C");
}

TEST(VombraObject, NextFormatIdSkipsTakenIdsAndWrapsAround) {
  CVombra addin(L"VombraExtension");
  auto add = [&](UINT id) {
    _FORMAT_INFO format;
    format.Id = id;
    addin.Formats.push_back(format);
    addin.FormatIndexCache.clear();
  };
  add(1);
  add(2);
  EXPECT_EQ(addin.NextFormatId(), 3u);
  EXPECT_EQ(addin.FormatNewId, 4u);
  addin.FormatNewId = 0xFFFFFFFE;
  add(0xFFFFFFFE);
  EXPECT_EQ(addin.NextFormatId(), 3u) << "0xFFFFFFFF is never given out; the search starts again at 1";
  EXPECT_EQ(addin.GetFormatIndex(2), 1);
  EXPECT_EQ(addin.GetFormatIndex(77), -1);
}

}  // namespace
