// The configurator links the engine's lower wings (core, model, format, ports) without the reader wing.
// This program links exactly that set: it fails to link when one of those wings comes to need the
// reader, and each test touches one wing so none is dropped as unused.
#include <gtest/gtest.h>

#include <string>

#include "Core.h"
#include "FormatApply.h"
#include "KeyModel.h"
#include "Port.h"
#include "PortFactory.h"
#include "Settings.h"

TEST(ConfiguratorWings, CoreFormatsText) {
  std::wstring text;
  StrFormat(text, L"%s-%u", L"COM", 3u);
  EXPECT_EQ(text, L"COM-3");
}

TEST(ConfiguratorWings, ModelKnowsPortKindsAndDefaults) {
  EXPECT_EQ(GetPortKind(L"127.0.0.1:4001"), PK_TCP);
  EXPECT_EQ(GetPortKind(L"COM7"), PK_COM);
  _SETTINGS_INFO settings;
  EXPECT_TRUE(settings.Formats.empty());
}

TEST(ConfiguratorWings, FormatTurnsAKeyIntoText) {
  const BYTE bytes[] = {0x39, 0x30, 0x7B};
  _KEYNUM_INFO key;
  MakeKeyNum(bytes, 3, key);
  std::wstring text;
  FormatKeyNumber(text, L"%.3u,%.5u", L"b2, w01", &key);
  EXPECT_EQ(text, L"123,12345");
}

TEST(ConfiguratorWings, PortsMakeAPortObjectForAName) {
  IKdPort* port = CreateKdPort(L"127.0.0.1:4001", false);
  ASSERT_NE(port, nullptr);
  port->AddRef();
  EXPECT_EQ(port->Release(), 0u);
}
