// Settings record: the port-name kinds, the connection parameters' defaults and the key-filter finders.
#include <gtest/gtest.h>

#include "Settings.h"

namespace {

TEST(PortKind, TellsTheTransportFromTheName) {
  const struct {
    const wchar_t* port;
    PORT_KIND kind;
  } cases[] = {
      {L"", PK_NONE},       {nullptr, PK_NONE},          {L"com2", PK_COM12}, {L"COM1", PK_COM12}, {L"COM3", PK_COM},
      {L"COM15", PK_COM},   {L"Com 7", PK_COM},  // blanks before the number are accepted
      {L"COM4\\5", PK_COM}, {L"127.0.0.1:1000", PK_TCP}, {L"COM0", PK_CCID},  {L"COMX", PK_CCID},  {L"COM-3", PK_CCID},
      {L"CO", PK_CCID},     {L"ACS ACR122 0", PK_CCID},  {L"Auto", PK_CCID},
  };
  for (const auto& c : cases) EXPECT_EQ(GetPortKind(c.port), c.kind) << (c.port ? c.port : L"(null)");
}

// The add-in copies the connection parameters field by field from the settings record; both must
// start from the same defaults.
TEST(ReaderParams, DefaultsMatchTheSettingsRecord) {
  _SETTINGS_INFO s;
  _READERPARAMS_INFO p;
  EXPECT_EQ(p.Port, s.Portname);
  EXPECT_EQ(p.Model, s.Model);
  EXPECT_EQ(p.Speed, s.Speed);
  EXPECT_EQ(p.StopBits, s.StopBits);
  EXPECT_EQ(p.Flags, s.Flags);
  EXPECT_EQ(p.ConnectTimeout, s.ConnectTimeout);
  EXPECT_EQ(p.RequestTimeout, s.ReqTimeout);
  EXPECT_EQ(p.RequestTries, s.ReqTries);
  EXPECT_EQ(p.ConnectPeriod, s.ConnectPeriod);
  EXPECT_EQ(p.RxPeriod, s.RxPeriod);
  EXPECT_EQ(p.FormatId, s.FormatId);
  EXPECT_EQ(p.Prefix, s.Prefix);
  EXPECT_EQ(p.Suffix, s.Suffix);
  EXPECT_EQ(s.Flags, 0x16u);  // binary, different codes, NVT
}

// The list's order is the priority: the first filter that takes the key's type and size wins.
TEST(KeyFilterFinders, FindByKeyInPriorityOrderAndByExactName) {
  auto filter = [](const wchar_t* name, UINT types, UINT size) {
    _KEYFILTER_INFO f;
    f.Name = name;
    f.KeyTypes = types;
    f.KeySize = size;
    return f;
  };
  const std::vector<_KEYFILTER_INFO> list = {
      filter(L"Mifare 4", 1u << 10, 4), filter(L"Mifare", (1u << 10) | (1u << 9), 0), filter(L"EM", 1u << 1, 0),
      filter(L"Any 7", KEY_TYPES_ALL, 7)};
  const struct {
    UINT type, size;
    int start, index;
  } byKey[] = {
      {10, 4, 0, 0},  {10, 7, 0, 1},  {9, 7, 0, 1},   {1, 5, 0, 2},   {1, 7, 0, 2},  {2, 7, 0, 3},
      {2, 4, 0, -1},  {10, 4, 1, 1},  {10, 4, 2, -1}, {10, 4, 4, 0},  {10, 4, -3, 0}, {10 + 32, 4, 0, 0},
  };
  for (const auto& c : byKey) {
    EXPECT_EQ(KeyFilterIndexForKey(list, c.type, c.size, c.start), c.index)
        << "type " << c.type << " size " << c.size << " from " << c.start;
  }
  EXPECT_EQ(KeyFilterIndexForKey({}, 1, 5, 0), -1);

  EXPECT_EQ(KeyFilterIndexByName(list, L"Mifare"), 1);
  EXPECT_EQ(KeyFilterIndexByName(list, L"EM"), 2);
  EXPECT_EQ(KeyFilterIndexByName(list, L"mifare"), -1);   // exact, case included
  EXPECT_EQ(KeyFilterIndexByName(list, L"Mifare "), -1);  // same length too
  EXPECT_EQ(KeyFilterIndexByName(list, L""), -1);
}

}  // namespace
