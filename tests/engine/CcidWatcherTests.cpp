// The PC/SC watcher against the winscard.dll test double (card events, slots, unplugged readers,
// stopping, a service that goes away), the ATR parser and the ATR card table; and, in a child
// process, the watcher over Wine's own stub winscard.dll.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "CcidWatcher.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

// "3B 8F 80" → bytes.
std::vector<BYTE> Hex(const char* text) {
  std::vector<BYTE> bytes;
  int high = -1;
  for (const char* p = text; *p; ++p) {
    int nibble;
    if (*p >= '0' && *p <= '9') nibble = *p - '0';
    else if (*p >= 'A' && *p <= 'F') nibble = *p - 'A' + 10;
    else if (*p >= 'a' && *p <= 'f') nibble = *p - 'a' + 10;
    else continue;
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(BYTE(high << 4 | nibble));
      high = -1;
    }
  }
  return bytes;
}

// A contactless-card ATR as PC/SC readers build it: TS 3B, T0 with only TD1 and the number of
// historical bytes, TD1 80, TD2 01 (T=1), the historical bytes and TCK over T0..the last of them.
std::vector<BYTE> ContactlessAtr(const std::vector<BYTE>& historical) {
  std::vector<BYTE> atr = {0x3B, BYTE(0x80 | historical.size()), 0x80, 0x01};
  for (BYTE b : historical) atr.push_back(b);
  BYTE tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

// Historical bytes carrying a PC/SC card name: category 80, tag 4F, length 0C, the work group's
// registered identifier A0 00 00 03 06, the standard byte, the two-byte card name, four zero bytes.
std::vector<BYTE> CardNameHistorical(BYTE standard, BYTE name1, BYTE name2) {
  return {0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06, standard, name1, name2, 0x00, 0x00, 0x00, 0x00};
}

const std::vector<BYTE> kMifare1kAtr = Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A");

// ---- ATR parsing ----

// Places the ATR at the very end of a readable page with an inaccessible page after it, so that a
// parser reading one byte too far crashes the test instead of reading a neighbour's byte.
class GuardedBytes {
 public:
  explicit GuardedBytes(const std::vector<BYTE>& bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    m_page = info.dwPageSize;
    m_base = (BYTE*)VirtualAlloc(nullptr, 2 * m_page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD old;
    VirtualProtect(m_base + m_page, m_page, PAGE_NOACCESS, &old);
    m_data = m_base + m_page - bytes.size();
    if (!bytes.empty()) memcpy(m_data, bytes.data(), bytes.size());
  }
  ~GuardedBytes() { VirtualFree(m_base, 0, MEM_RELEASE); }
  const BYTE* Data() const { return m_data; }

 private:
  DWORD m_page;
  BYTE* m_base;
  BYTE* m_data;
};

struct ParseCase {
  const char* name;
  std::vector<BYTE> atr;
  bool ok;
  std::map<BYTE, BYTE> bytes;  // by position: 1 TS, 2 T0, TA(i) 4i-1, TB(i) 4i, TC(i) 4i+1, TD(i) 4i+2, 31 TCK
  std::vector<BYTE> historical;
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

// TS, T0 without interface bytes, then the bytes 2, 3, 4... up to the total length.
std::vector<BYTE> Counting(BYTE t0, size_t total) {
  std::vector<BYTE> atr = {0x3B, t0};
  while (atr.size() < total) atr.push_back(BYTE(atr.size()));
  return atr;
}

class AtrParsing : public ::testing::TestWithParam<ParseCase> {};

TEST_P(AtrParsing, SplitsTheCharacters) {
  const ParseCase& c = GetParam();
  GuardedBytes guarded(c.atr);
  _ATR_INFO atr;
  atr.Bytes[99] = 0x55;  // left over from an earlier card
  ASSERT_EQ(ParseAtr(atr, guarded.Data(), (UINT)c.atr.size()), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(atr.Bytes, c.bytes);
  ASSERT_EQ(atr.HistoricalCount, c.historical.size());
  EXPECT_EQ(std::vector<BYTE>(atr.Historical, atr.Historical + atr.HistoricalCount), c.historical);
}

INSTANTIATE_TEST_SUITE_P(
    Atr, AtrParsing,
    ::testing::Values(
        ParseCase{"two_levels_of_all_interface_bytes_and_TCK",
                  Hex("3B F2 11 22 33 F1 44 55 66 01 A1 A2 7E"),
                  true,
                  {{1, 0x3B}, {2, 0xF2}, {3, 0x11}, {4, 0x22}, {5, 0x33}, {6, 0xF1},
                   {7, 0x44}, {8, 0x55}, {9, 0x66}, {10, 0x01}, {31, 0x7E}},
                  {0xA1, 0xA2}},
        // TD(7) announces an eighth level, but levels stop at 7: the next byte is TCK.
        ParseCase{"seven_levels_at_most",
                  Hex("3B 80 80 80 80 80 80 80 80 5A"),
                  true,
                  {{1, 0x3B}, {2, 0x80}, {6, 0x80}, {10, 0x80}, {14, 0x80}, {18, 0x80},
                   {22, 0x80}, {26, 0x80}, {30, 0x80}, {31, 0x5A}},
                  {}},
        ParseCase{"contactless_card", kMifare1kAtr, true,
                  {{1, 0x3B}, {2, 0x8F}, {6, 0x80}, {10, 0x01}, {31, 0x6A}},
                  Hex("80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00")},
        ParseCase{"no_TCK", Hex("3B 02 41 42"), true, {{1, 0x3B}, {2, 0x02}}, {0x41, 0x42}},
        ParseCase{"two_extra_bytes_are_not_TCK", Hex("3B 01 41 90 91"), true, {{1, 0x3B}, {2, 0x01}}, {0x41}},
        ParseCase{"shortest", Hex("3B 00"), true, {{1, 0x3B}, {2, 0x00}}, {}},
        ParseCase{"inverse_convention", Hex("3F 00"), true, {{1, 0x3F}, {2, 0x00}}, {}},
        // 15 historical bytes, then 16 more: no TCK.
        ParseCase{"longest_33_bytes", Counting(0x0F, 33), true, {{1, 0x3B}, {2, 0x0F}},
                  Hex("02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10")},
        ParseCase{"one_byte", Hex("3B"), false, {}, {}},
        ParseCase{"34_bytes", Counting(0x0F, 34), false, {}, {}},
        ParseCase{"empty", {}, false, {}, {}},
        ParseCase{"unknown_TS", Hex("3C 00"), false, {}, {}},
        ParseCase{"historical_bytes_missing", Hex("3B 05 01 02 03"), false, {}, {}},
        ParseCase{"interface_bytes_missing", Hex("3B F0 11 22"), false, {}, {}},
        ParseCase{"TD_chain_runs_out", Hex("3B 80 80"), false, {}, {}}),
    [](const ::testing::TestParamInfo<ParseCase>& info) { return std::string(info.param.name); });

// ---- Card types from the ATR ----

struct CardCase {
  const char* name;
  std::vector<BYTE> atr;
  KEY_TYPE type;  // by number: 9 UL, 10 M1K, 12 M4K, 15 M+2K, 16 M+4K, 18 SMXM4K, 19 DF, 21 MINI
  UINT subCode;
};
void PrintTo(const CardCase& c, std::ostream* os) { *os << c.name; }

class AtrCardTable : public ::testing::TestWithParam<CardCase> {};

TEST_P(AtrCardTable, GivesKeyTypeAndSubCode) {
  const CardCase& c = GetParam();
  _ATR_INFO atr;
  ASSERT_TRUE(ParseAtr(atr, c.atr.data(), (UINT)c.atr.size()));
  UINT subCode = 0xDEAD;
  EXPECT_EQ(KeyTypeFromAtr(atr, &subCode), c.type);
  EXPECT_EQ(subCode, c.subCode);
  EXPECT_EQ(KeyTypeFromAtr(atr, nullptr), c.type);
}

INSTANTIATE_TEST_SUITE_P(
    Atr, AtrCardTable,
    ::testing::Values(
        CardCase{"DESFire", Hex("3B 81 80 01 80 80"), 19, 0},
        CardCase{"Mifare_1K", kMifare1kAtr, 10, 0},
        CardCase{"Mifare_4K", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x02)), 12, 0},
        CardCase{"Ultralight", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x03)), 9, 0},
        CardCase{"Mifare_Mini", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x26)), 21, 0},
        CardCase{"Plus_2K_SL1_0036", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x36)), 15, 25},
        CardCase{"Plus_4K_SL1_0037", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x37)), 16, 25},
        CardCase{"Plus_2K_0038", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x38)), 15, 41},
        CardCase{"Plus_4K_0039", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x39)), 16, 41},
        CardCase{"Ultralight_C_003A", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x3A)), 9, 0},
        CardCase{"Plus_4K_SL3", ContactlessAtr(Hex("C1 05 2F 2F 01 BC D6")), 16, 7},
        CardCase{"JCOP3P60", ContactlessAtr({'J', 'C', 'O', 'P', '3', 'P', '6', '0'}), 18, 1},
        // Not in the table, or not a contactless card the table can name.
        CardCase{"card_name_0004_not_in_table", ContactlessAtr(CardNameHistorical(0x03, 0x00, 0x04)), 0, 0},
        CardCase{"inverse_convention", Hex("3F 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A"), 0, 0},
        CardCase{"TA1_before_TD1", Hex("3B 9F 96 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 FC"), 0, 0},
        CardCase{"TD1_not_80", Hex("3B 8F 81 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6B"), 0, 0},
        CardCase{"TD2_T0", Hex("3B 8F 80 00 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6B"), 0, 0},
        CardCase{"no_historical_bytes", Hex("3B 80 80 01 01"), 0, 0},
        CardCase{"other_registered_id_15_bytes", ContactlessAtr(Hex("80 4F 0C A0 00 00 03 07 03 00 01 00 00 00 00")),
                 0, 0},
        CardCase{"card_name_too_short_10_bytes", ContactlessAtr(Hex("80 4F 0C A0 00 00 03 06 03 00")), 0, 0},
        CardCase{"unknown_one_byte", ContactlessAtr({0x81}), 0, 0},
        CardCase{"last_byte_differs", ContactlessAtr(Hex("C1 05 2F 2F 01 BC D7")), 0, 0},
        CardCase{"one_byte_longer", ContactlessAtr(Hex("C1 05 2F 2F 01 BC D6 00")), 0, 0}),
    [](const ::testing::TestParamInfo<CardCase>& info) { return std::string(info.param.name); });

// ---- The watcher ----

// Records the events of one slot's callback.
class Listener {
 public:
  static void Proc(void* context, CCcidConnection*, int event) { static_cast<Listener*>(context)->Add(event); }
  _CCIDCALLBACK_INFO Callback() { return {this, &Listener::Proc}; }

  void Add(int event) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back(event);
    m_changed.notify_all();
  }
  std::vector<int> Events() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
  }
  // Waits for the given number of events in all; the events so far either way.
  std::vector<int> WaitFor(size_t count, int milliseconds = 5000) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return m_events.size() >= count; });
    return m_events;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<int> m_events;
};

class Watcher : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_double.Loaded()) << "the winscard.dll test double is not loaded: the test run must set "
                                      "WINEDLLOVERRIDES winscard=n (tools/wine-ctest.sh)";
    ASSERT_EQ(m_double.Reset(), SCARD_S_SUCCESS);
  }
  void TearDown() override { m_watcher.Stop(true); }

  // Callbacks outlive the test body: the watcher thread runs until TearDown.
  Listener& NewListener() { return m_listeners.emplace_back(); }

  size_t Add(const wchar_t* reader, Listener& listener) {
    size_t slot = 0;
    EXPECT_EQ(m_watcher.AddReader(reader, listener.Callback(), &slot), S_OK);
    return slot;
  }
  void Idle() { ASSERT_EQ(m_double.WaitIdle(), SCARD_S_SUCCESS) << "the watcher did not settle in its wait"; }
  // The watcher thread has found its context dead and failed to take a new one.
  void WaitForContextLoss() {
    for (int i = 0; i < 500 && m_watcher.Context.load(); ++i) Sleep(10);
    ASSERT_EQ(m_watcher.Context.load(), 0u) << "the watcher kept its dead context";
  }

  CWinscardDouble m_double;
  std::deque<Listener> m_listeners;
  CCcidConnection m_watcher;
};

enum StepKind { PLUG, UNPLUG, INSERT, REMOVE, WATCH, CONNECT };
struct EventCase {
  const char* name;
  std::vector<StepKind> steps;  // on reader "Reader A"; WATCH registers it with the watcher
  std::vector<int> events;      // 0 no card, 1 card present, 2 reader gone
};
void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class WatcherEvents : public Watcher, public ::testing::WithParamInterface<EventCase> {};

TEST_P(WatcherEvents, ReachTheSlotCallback) {
  const EventCase& c = GetParam();
  const wchar_t* reader = L"Reader A";
  Listener& listener = NewListener();
  bool watching = false;
  SCARDHANDLE card = 0;
  for (StepKind step : c.steps) {
    switch (step) {
      case PLUG: ASSERT_EQ(m_double.PlugReader(reader), SCARD_S_SUCCESS); break;
      case UNPLUG: ASSERT_EQ(m_double.UnplugReader(reader), SCARD_S_SUCCESS); break;
      case INSERT: ASSERT_EQ(m_double.InsertCard(reader, kMifare1kAtr), SCARD_S_SUCCESS); break;
      case REMOVE: ASSERT_EQ(m_double.RemoveCard(reader), SCARD_S_SUCCESS); break;
      case WATCH:
        ASSERT_EQ(Add(reader, listener), 1u);
        watching = true;
        break;
      case CONNECT: {
        DWORD protocol = 0;
        ASSERT_EQ(SCardConnectW(m_watcher.Context, reader, SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
                  SCARD_S_SUCCESS);
        break;
      }
    }
    if (watching) Idle();
  }
  EXPECT_EQ(listener.Events(), c.events);
  if (card) SCardDisconnect(card, SCARD_LEAVE_CARD);
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, WatcherEvents,
    ::testing::Values(EventCase{"empty_reader_reports_no_card_at_once", {PLUG, WATCH}, {0}},
                      EventCase{"card_already_on_reader_reports_present_at_once", {PLUG, INSERT, WATCH}, {1}},
                      EventCase{"insert_then_remove", {PLUG, WATCH, INSERT, REMOVE}, {0, 1, 0}},
                      EventCase{"connecting_to_the_card_is_no_event", {PLUG, INSERT, WATCH, CONNECT}, {1}},
                      EventCase{"unplugged_empty_reader", {PLUG, WATCH, UNPLUG}, {0, 2}},
                      EventCase{"unplugged_with_its_card", {PLUG, WATCH, INSERT, UNPLUG}, {0, 1, 2}},
                      EventCase{"reader_never_there_reports_nothing", {WATCH}, {}}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.name); });

// The reader goes while the watcher is on its way into its first wait, before any card event.
TEST_F(Watcher, ReaderGoneBeforeAnyReportGivesNoEvent) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.HoldWaits(true), SCARD_S_SUCCESS);
  Add(L"A", a);
  ASSERT_EQ(m_double.WaitHeld(), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.UnplugReader(L"A"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.HoldWaits(false), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(a.Events(), std::vector<int>{});
  EXPECT_FALSE(m_watcher.IsSlotAnnounced(1));
}

// The service leaves a gone reader out of the waits; the watcher still finds it when it comes back.
TEST_F(Watcher, ReaderPluggedInAgainIsReportedAgain) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  const size_t slot = Add(L"A", a);
  ASSERT_EQ(a.WaitFor(1), std::vector<int>{0});
  ASSERT_EQ(m_double.UnplugReader(L"A"), SCARD_S_SUCCESS);
  ASSERT_EQ(a.WaitFor(2), (std::vector<int>{0, 2}));
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(3, 10000), (std::vector<int>{0, 2, 0}));
  EXPECT_TRUE(m_watcher.IsSlotAnnounced(slot));
}

TEST_F(Watcher, SlotsAreNumberedAndReused) {
  Listener &a = NewListener(), &b = NewListener(), &c = NewListener(), &d = NewListener(), &e = NewListener();
  for (const wchar_t* name : {L"A", L"B", L"C", L"D", L"E"}) ASSERT_EQ(m_double.PlugReader(name), SCARD_S_SUCCESS);
  EXPECT_EQ(Add(L"A", a), 1u);
  Idle();
  EXPECT_EQ(Add(L"B", b), 2u);
  Idle();
  EXPECT_EQ(Add(L"C", c), 3u);
  Idle();

  EXPECT_EQ(m_watcher.RemoveReader(2), S_OK);
  std::wstring reader = L"?";
  EXPECT_TRUE(m_watcher.GetSlotReader(2, reader));
  EXPECT_EQ(reader, L"");
  EXPECT_TRUE(m_watcher.GetSlotReader(3, reader));
  EXPECT_EQ(reader, L"C");

  EXPECT_EQ(Add(L"D", d), 2u);
  EXPECT_TRUE(m_watcher.GetSlotReader(2, reader));
  EXPECT_EQ(reader, L"D");

  // The last slot goes away entirely, so the next reader takes a new slot 3.
  EXPECT_EQ(m_watcher.RemoveReader(3), S_OK);
  EXPECT_FALSE(m_watcher.GetSlotReader(3, reader));
  EXPECT_EQ(Add(L"E", e), 3u);
  EXPECT_EQ(m_watcher.RemoveReader(0), S_OK);
  Idle();

  // Each slot's events reach the callback registered in it, not the one it held before.
  ASSERT_EQ(m_double.InsertCard(L"D", kMifare1kAtr), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(d.Events(), (std::vector<int>{0, 1}));
  EXPECT_EQ(b.Events(), (std::vector<int>{0}));
  EXPECT_EQ(c.Events(), (std::vector<int>{0}));
}

TEST_F(Watcher, ReadersAlreadyWatchedReportNothingNewOnRestart) {
  Listener &a = NewListener(), &b = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.PlugReader(L"B"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  Add(L"B", b);
  Idle();
  EXPECT_EQ(m_watcher.RemoveReader(2), S_OK);
  Idle();
  EXPECT_EQ(a.Events(), (std::vector<int>{0}));
  EXPECT_EQ(b.Events(), (std::vector<int>{0}));
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{0, 1}));
}

// Short names live inside the slot records, so they move whenever the slot list grows; the status
// entries must follow them or the service is asked about whatever the old memory holds.
TEST_F(Watcher, ManyReadersKeepTheirNames) {
  constexpr int kReaders = 24;
  std::vector<Listener*> listeners;
  std::wstring names[kReaders];
  for (int i = 0; i < kReaders; ++i) {
    names[i] = L"R" + std::to_wstring(i + 1);
    ASSERT_EQ(m_double.PlugReader(names[i].c_str()), SCARD_S_SUCCESS);
    ASSERT_EQ(Add(names[i].c_str(), *listeners.emplace_back(&NewListener())), size_t(i + 1));
    Idle();
  }
  EXPECT_EQ(m_watcher.RemoveReader(12), S_OK);
  Idle();
  for (int i : {0, 1, 23}) ASSERT_EQ(m_double.InsertCard(names[i].c_str(), kMifare1kAtr), SCARD_S_SUCCESS);
  Idle();
  for (int i = 0; i < kReaders; ++i) {
    std::vector<int> expected = {0};
    if (i == 0 || i == 1 || i == 23) expected.push_back(1);
    EXPECT_EQ(listeners[i]->Events(), expected) << "reader R" << i + 1;
  }
}

TEST_F(Watcher, RemovingTheLastReaderStopsAndKeepsTheContext) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  EXPECT_EQ(m_watcher.RemoveReader(1), S_OK);
  EXPECT_FALSE(m_watcher.IsStarted());
  EXPECT_NE(m_watcher.Context.load(), 0u);
  EXPECT_EQ(m_double.Counters().OpenContexts, 1);
  // Nothing watches the reader any more.
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  Sleep(100);
  EXPECT_EQ(a.Events(), (std::vector<int>{0}));
}

TEST_F(Watcher, StopEndsTheWaitPromptly) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  const ULONGLONG start = GetTickCount64();
  m_watcher.Stop(false);
  EXPECT_LT(GetTickCount64() - start, 500u);
  EXPECT_FALSE(m_watcher.IsStarted());
  EXPECT_EQ(m_double.Counters().OpenContexts, 1);

  m_watcher.Stop(true);
  EXPECT_EQ(m_watcher.Context.load(), 0u);
  EXPECT_EQ(m_double.Counters().OpenContexts, 0);
}

// SCardCancel ends only a wait that has begun. Here the cancel arrives while the watcher is on its way
// into the wait; Stop must still end.
TEST_F(Watcher, StopIsNotLostWhenTheCancelComesBeforeTheWait) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  ASSERT_EQ(m_double.HoldWaits(true), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.WaitHeld(), SCARD_S_SUCCESS);
  const LONG cancels = m_double.Counters().Cancels;

  auto stopped = std::async(std::launch::async, [this] { m_watcher.Stop(false); });
  ASSERT_EQ(m_double.WaitCancels(cancels + 1), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.HoldWaits(false), SCARD_S_SUCCESS);
  const bool ended = stopped.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
  if (!ended) m_double.CancelAll();
  EXPECT_TRUE(ended) << "Stop hung on a cancel that came before the wait";
  stopped.wait();
  EXPECT_FALSE(m_watcher.IsStarted());
  EXPECT_EQ(a.Events(), (std::vector<int>{0, 1}));
}

TEST_F(Watcher, StopEndsThePauseAfterAFailedWait) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  WaitForContextLoss();  // so it pauses before it tries again
  const ULONGLONG start = GetTickCount64();
  m_watcher.Stop(true);
  EXPECT_LT(GetTickCount64() - start, 500u);
  EXPECT_FALSE(m_watcher.IsStarted());
}

TEST_F(Watcher, StopFromItsOwnCallbackIsRefused) {
  struct SelfStopper {
    std::vector<std::error_code> refusals;  // read once the watcher is stopped
    Listener listener;
    static void Proc(void* context, CCcidConnection* watcher, int event) {
      auto* self = static_cast<SelfStopper*>(context);
      std::error_code code;
      try {
        watcher->Stop(false);
      } catch (const std::system_error& e) {
        code = e.code();
      }
      self->refusals.push_back(code);
      self->listener.Add(event);
    }
  } stopper;
  struct StopFirst {
    CCcidConnection& watcher;
    ~StopFirst() { watcher.Stop(false); }
  } stopFirst{m_watcher};  // whatever happens, the callback's object outlives the thread
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  size_t slot = 0;
  ASSERT_EQ(m_watcher.AddReader(L"A", {&stopper, &SelfStopper::Proc}, &slot), S_OK);
  Idle();
  // Refused, and the watcher carries on.
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(stopper.listener.WaitFor(2), (std::vector<int>{0, 1}));
  m_watcher.Stop(false);
  const auto deadlock = std::make_error_code(std::errc::resource_deadlock_would_occur);
  EXPECT_EQ(stopper.refusals, (std::vector<std::error_code>{deadlock, deadlock}));
}

struct LossCase {
  const char* name;
  bool restartService;  // else every context just becomes invalid
};
void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }

class WatcherContextLoss : public Watcher, public ::testing::WithParamInterface<LossCase> {};

TEST_P(WatcherContextLoss, TakesANewContextAndWatchesOn) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  if (GetParam().restartService) {
    ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
    Sleep(100);
    ASSERT_EQ(m_double.SetService(true), SCARD_S_SUCCESS);
  } else {
    ASSERT_EQ(m_double.InvalidateContexts(), SCARD_S_SUCCESS);
  }
  ASSERT_EQ(m_double.WaitIdle(5000), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{0, 1}));
  const WINSCARD_DOUBLE_COUNTERS counters = m_double.Counters();
  EXPECT_EQ(counters.Establishes, 2);
  EXPECT_EQ(counters.OpenContexts, 1);
}

INSTANTIATE_TEST_SUITE_P(Ccid, WatcherContextLoss,
                         ::testing::Values(LossCase{"service_restarted", true}, LossCase{"context_invalidated", false}),
                         [](const ::testing::TestParamInfo<LossCase>& info) { return std::string(info.param.name); });

TEST_F(Watcher, ReadersStayWatchedWhenAnotherCannotBeAdded) {
  Listener &a = NewListener(), &b = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  WaitForContextLoss();
  size_t slot = 99;
  EXPECT_EQ(m_watcher.AddReader(L"B", b.Callback(), &slot), E_FAIL);
  EXPECT_EQ(slot, 0u);
  ASSERT_EQ(m_double.SetService(true), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{0, 1}));
  EXPECT_TRUE(b.Events().empty());
}

TEST_F(Watcher, NoServiceFailsEstablishAndAdd) {
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  EXPECT_EQ(m_watcher.EstablishContext(), E_FAIL);
  EXPECT_EQ(m_watcher.Context.load(), 0u);
  Listener& a = NewListener();
  size_t slot = 99;
  EXPECT_EQ(m_watcher.AddReader(L"A", a.Callback(), &slot), E_FAIL);
  EXPECT_EQ(slot, 0u);
  EXPECT_FALSE(m_watcher.IsStarted());
  std::wstring reader;
  EXPECT_FALSE(m_watcher.GetSlotReader(1, reader));
}

TEST_F(Watcher, EstablishContextKeepsTheOneItHolds) {
  EXPECT_EQ(m_watcher.EstablishContext(), S_OK);
  const SCARDCONTEXT first = m_watcher.Context;
  EXPECT_NE(first, 0u);
  EXPECT_EQ(m_watcher.EstablishContext(), S_OK);
  EXPECT_EQ(m_watcher.Context.load(), first);
  EXPECT_EQ(m_double.Counters().Establishes, 1);
}

// The card access of a PC/SC reader connects with the watcher's context to the reader in its slot.
TEST_F(Watcher, ContextServesTheCardInTheSlot) {
  Listener& a = NewListener();
  ASSERT_EQ(m_double.PlugReader(L"Reader A"), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(L"Reader A", kMifare1kAtr), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.ScriptApdu(L"Reader A", Hex("FF CA 00 00 00"), Hex("04 A1 B2 C3 90 00")), SCARD_S_SUCCESS);
  const size_t slot = Add(L"Reader A", a);
  ASSERT_EQ(a.WaitFor(1), (std::vector<int>{1}));
  EXPECT_TRUE(m_watcher.IsSlotAnnounced(slot));

  std::wstring reader;
  ASSERT_TRUE(m_watcher.GetSlotReader(slot, reader));
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  ASSERT_EQ(SCardConnectW(m_watcher.Context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                          &card, &protocol),
            SCARD_S_SUCCESS);
  EXPECT_EQ(protocol, (DWORD)SCARD_PROTOCOL_T1);
  wchar_t name[200];
  DWORD nameChars = 200, state = 0, active = 0, atrLength = 48;
  BYTE atrBytes[48];
  ASSERT_EQ(SCardStatusW(card, name, &nameChars, &state, &active, atrBytes, &atrLength), SCARD_S_SUCCESS);
  _ATR_INFO atr;
  ASSERT_TRUE(ParseAtr(atr, atrBytes, atrLength));
  EXPECT_EQ(KeyTypeFromAtr(atr, nullptr), 10u);
  BYTE reply[24];
  DWORD replyLength = sizeof reply;
  const std::vector<BYTE> getUid = Hex("FF CA 00 00 00");
  ASSERT_EQ(SCardTransmit(card, SCARD_PCI_T1, getUid.data(), (DWORD)getUid.size(), nullptr, reply, &replyLength),
            SCARD_S_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(reply, reply + replyLength), Hex("04 A1 B2 C3 90 00"));
  EXPECT_EQ(SCardDisconnect(card, SCARD_RESET_CARD), SCARD_S_SUCCESS);

  ASSERT_EQ(m_double.UnplugReader(L"Reader A"), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{1, 2}));
  EXPECT_FALSE(m_watcher.IsSlotAnnounced(slot));
}

// ---- The reader-list entry ----

// Each plug and unplug reaches the list callback exactly once, however often the entry was asked for.
TEST_F(Watcher, PnpEntryReportsEachPlugOnce) {
  Listener& list = NewListener();
  m_watcher.ListCallback = list.Callback();
  EXPECT_FALSE(m_watcher.IsPnpNotificationAdded());
  ASSERT_TRUE(m_watcher.AddPnpNotification());
  EXPECT_TRUE(m_watcher.IsPnpNotificationAdded());
  Idle();
  ASSERT_TRUE(m_watcher.AddPnpNotification());  // a second page opening adds no second entry
  Idle();
  const size_t settled = list.Events().size();
  ASSERT_EQ(m_double.PlugReader(L"Reader A"), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(list.Events().size(), settled + 1);
  ASSERT_EQ(m_double.UnplugReader(L"Reader A"), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(list.Events().size(), settled + 2);
  for (int event : list.Events()) EXPECT_EQ(event, CCID_LIST_CHANGED);
}

// The list entry and the slots share the one wait: a card event still reaches its slot.
TEST_F(Watcher, PnpEntryBesideASlotReader) {
  Listener &list = NewListener(), &a = NewListener();
  m_watcher.ListCallback = list.Callback();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  ASSERT_TRUE(m_watcher.AddPnpNotification());
  Idle();
  const size_t settled = list.Events().size();
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{0, 1}));
  Idle();
  EXPECT_EQ(list.Events().size(), settled);  // a card is no change of the reader list
  ASSERT_EQ(m_double.PlugReader(L"B"), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(list.Events().size(), settled + 1);
}

TEST_F(Watcher, PnpEntryWithoutServiceMarksNothingAndKeepsSlotsWatched) {
  Listener &list = NewListener(), &a = NewListener();
  m_watcher.ListCallback = list.Callback();
  ASSERT_EQ(m_double.PlugReader(L"A"), SCARD_S_SUCCESS);
  Add(L"A", a);
  Idle();
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  WaitForContextLoss();
  EXPECT_FALSE(m_watcher.AddPnpNotification());
  EXPECT_FALSE(m_watcher.IsPnpNotificationAdded());
  ASSERT_EQ(m_double.SetService(true), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(L"A", kMifare1kAtr), SCARD_S_SUCCESS);
  EXPECT_EQ(a.WaitFor(2), (std::vector<int>{0, 1}));
  // Asked again once the service is back, it is added.
  EXPECT_TRUE(m_watcher.AddPnpNotification());
  Idle();
  const size_t settled = list.Events().size();
  ASSERT_EQ(m_double.PlugReader(L"B"), SCARD_S_SUCCESS);
  Idle();
  EXPECT_EQ(list.Events().size(), settled + 1);
}

TEST_F(Watcher, PnpEntryWithoutServiceOnAnIdleWatcherStartsNothing) {
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  EXPECT_FALSE(m_watcher.AddPnpNotification());
  EXPECT_FALSE(m_watcher.IsPnpNotificationAdded());
  EXPECT_FALSE(m_watcher.IsStarted());
  EXPECT_EQ(m_watcher.Context.load(), 0u);
}

struct ListCase {
  const char* name;
  std::vector<const wchar_t*> readers;
  bool service;
  HRESULT result;
};
void PrintTo(const ListCase& c, std::ostream* os) { *os << c.name; }

class ReaderList : public Watcher, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ReaderList, ComesInTheServiceOrder) {
  const ListCase& c = GetParam();
  for (const wchar_t* reader : c.readers) ASSERT_EQ(m_double.PlugReader(reader), SCARD_S_SUCCESS);
  ASSERT_EQ(m_watcher.EstablishContext(), S_OK);
  ASSERT_EQ(m_double.SetService(c.service), SCARD_S_SUCCESS);
  std::vector<std::wstring> list = {L"left over"};
  EXPECT_EQ(CCcidConnection::ListCcidReaders(m_watcher.Context, &list), c.result);
  if (c.result == S_OK) {
    EXPECT_EQ(list, std::vector<std::wstring>(c.readers.begin(), c.readers.end()));
  }
  EXPECT_EQ(m_double.Counters().Allocations, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, ReaderList,
    ::testing::Values(ListCase{"two_readers", {L"Zeta Reader 0", L"ACS ACR122 0"}, true, S_OK},
                      ListCase{"no_reader", {}, true, S_OK},
                      ListCase{"no_service", {L"Zeta Reader 0"}, false, E_FAIL}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

// ---- Over Wine's own winscard.dll ----

const wchar_t kStubChildVariable[] = L"CCID_WATCHER_STUB_RESULT";

bool RunningOnWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

// The child's half: the watcher over the stub, which cannot establish a context.
void CheckWatcherOverStub(const wchar_t* resultFile) {
  CWinscardDouble probe;
  ASSERT_FALSE(probe.Loaded()) << "the test double was loaded where Wine's stub was asked for";
  const ULONGLONG start = GetTickCount64();
  {
    CCcidConnection watcher;
    EXPECT_EQ(watcher.EstablishContext(), E_FAIL);
    EXPECT_EQ(watcher.Context.load(), 0u);
    Listener a;
    size_t slot = 99;
    EXPECT_EQ(watcher.AddReader(L"Any Reader 0", a.Callback(), &slot), E_FAIL);
    EXPECT_EQ(slot, 0u);
    EXPECT_FALSE(watcher.IsStarted());
    EXPECT_FALSE(watcher.AddPnpNotification());
    EXPECT_FALSE(watcher.IsPnpNotificationAdded());
    EXPECT_FALSE(watcher.IsStarted());
    watcher.Stop(true);
    EXPECT_TRUE(a.Events().empty());
  }
  EXPECT_LT(GetTickCount64() - start, 5000u);
  if (::testing::Test::HasFailure()) return;
  HANDLE file = CreateFileW(resultFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "ok", 2, &written, nullptr);
  CloseHandle(file);
}

TEST(CcidWatcherOverWineStub, FailsToEstablishAndSaysSoCleanly) {
  wchar_t resultFile[MAX_PATH];
  if (GetEnvironmentVariableW(kStubChildVariable, resultFile, MAX_PATH)) {
    CheckWatcherOverStub(resultFile);
    return;
  }
  if (!RunningOnWine()) GTEST_SKIP() << "Wine's stub winscard.dll exists only under Wine";

  // The override of the test run cannot be changed for a child (Wine takes WINEDLLOVERRIDES from the
  // environment it started with), but it falls back to Wine's own winscard.dll for a program whose
  // folder holds no double: so the child is a copy of this executable, with the add-in module, in a
  // folder of its own.
  wchar_t temp[MAX_PATH], self[MAX_PATH], selfFolder[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  wcscpy(selfFolder, self);
  *wcsrchr(selfFolder, L'\\') = 0;
  const std::wstring folder = std::wstring(temp) + L"ccid-stub-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring exe = folder + L"\\CcidWatcherStubChild.exe";
  const std::wstring module = folder + L"\\Vombra.dll";
  const std::wstring result = folder + L"\\result.txt";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CopyFileW(self, exe.c_str(), FALSE)) << "error " << GetLastError();
  ASSERT_TRUE(CopyFileW((std::wstring(selfFolder) + L"\\Vombra.dll").c_str(), module.c_str(), FALSE));
  DeleteFileW(result.c_str());

  std::wstring command = L"\"" + exe + L"\" --gtest_filter=CcidWatcherOverWineStub.FailsToEstablishAndSaysSoCleanly";
  SetEnvironmentVariableW(kStubChildVariable, result.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL created =
      CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
  const DWORD createError = GetLastError();
  SetEnvironmentVariableW(kStubChildVariable, nullptr);
  ASSERT_TRUE(created) << "error " << createError;

  const DWORD waited = WaitForSingleObject(process.hProcess, 30000);
  if (waited != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  WaitForSingleObject(process.hProcess, 5000);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the watcher hung over the stub";
  EXPECT_EQ(exitCode, 0u) << "the child's checks failed or it crashed";

  char text[4] = {};
  DWORD read = 0;
  HANDLE file = CreateFileW(result.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    ReadFile(file, text, 2, &read, nullptr);
    CloseHandle(file);
  }
  EXPECT_STREQ(text, "ok") << "the child did not run its checks to the end";
  DeleteFileW(result.c_str());
  DeleteFileW(exe.c_str());
  DeleteFileW(module.c_str());
  RemoveDirectoryW(folder.c_str());
}

}  // namespace
