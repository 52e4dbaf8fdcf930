// A PC/SC reader against the winscard.dll test double: connecting only once the watcher has announced
// the reader, the key type from the ATR and the UID from the reader, the numbers read from card memory,
// the card hold, a reader that goes and comes back, a cancelled card connection, and the PC/SC branches
// of the Ultralight and Mifare Classic commands with their exact APDUs.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CcidWatcher.h"
#include "ReaderFixture.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

using Bytes = std::vector<BYTE>;
using Apdus = std::vector<Bytes>;

const wchar_t kReader[] = L"CCID Reader 0";
constexpr HRESULT kBadResponse = HRESULT(0x80040218);
constexpr HRESULT kNoKey = HRESULT(0x8004021A);

// "FF CA 00" → bytes.
Bytes Hex(const char* text) {
  Bytes bytes;
  int high = -1;
  for (const char* p = text; *p; ++p) {
    int nibble;
    if (*p >= '0' && *p <= '9') nibble = *p - '0';
    else if (*p >= 'A' && *p <= 'F') nibble = *p - 'A' + 10;
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

// A contactless storage card's ATR carrying a PC/SC card name (00 01 Mifare 1K, 00 03 Ultralight).
Bytes CardNameAtr(BYTE name1, BYTE name2) {
  Bytes atr = {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x03, 0x06, 0x03, name1, name2,
               0x00, 0x00, 0x00, 0x00};
  BYTE tck = 0;
  for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
  atr.push_back(tck);
  return atr;
}

const Bytes kMifare1kAtr = Hex("3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 00 01 00 00 00 00 6A");
const Bytes kUltralightAtr = CardNameAtr(0x00, 0x03);
const Bytes kUid = Hex("04 A1 B2 C3");
const Bytes kGetUid = Hex("FF CA 00 00 00");
const Bytes kCardKey = Hex("A0 A1 A2 A3 A4 A5");

// Memory whose byte i is i mod 256: a block or page is told by its bytes.
Bytes Counting(size_t n) {
  Bytes memory(n);
  for (size_t i = 0; i < n; ++i) memory[i] = BYTE(i);
  return memory;
}

Bytes Range(const Bytes& bytes, size_t offset, size_t n) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + n);
}

Bytes KeyBytes(const _KEYNUM_INFO& key) { return Bytes(key.Data, key.Data + key.Length); }

_AUTHKEY_INFO AuthKey(const Bytes& key) {
  _AUTHKEY_INFO out{};
  MakeAuthKey(key.data(), int(key.size()), out);
  return out;
}

Apdus WithUid(Apdus apdus) {
  apdus.insert(apdus.begin(), kGetUid);
  return apdus;
}

std::shared_ptr<_CMD_MUL_INFO> UltralightRecord(bool write, UINT page, int count, Bytes data = {});

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here the reader is the PC/SC reader kReader of the winscard.dll double, the
// watcher in the context announces it, and the tests run the reader's own thread.
class CcidReader : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(50000);
    ASSERT_TRUE(m_double.Loaded()) << "the winscard.dll test double is not loaded: the test run must set "
                                      "WINEDLLOVERRIDES winscard=n (tools/wine-ctest.sh)";
    ASSERT_EQ(m_double.Reset(), SCARD_S_SUCCESS);
    context.Watcher = &m_watcher;
    context.IdentKeyDelay = 0;
    reader.Init(&events, kReader);
    ASSERT_EQ(m_double.PlugReader(kReader), SCARD_S_SUCCESS);
  }
  void TearDown() override {
    ReaderFixture::TearDown();
    m_watcher.Stop(true);
  }

  // A Mifare 1K (or other Classic-sized) card whose every sector opens with kCardKey.
  void NextClassicCard(size_t blocks = 64) {
    ASSERT_EQ(m_double.SetMemory(kReader, 16, Counting(16 * blocks)), SCARD_S_SUCCESS);
    for (DWORD sector = 0; sector < 16; ++sector)
      ASSERT_EQ(m_double.SetSectorKey(kReader, sector, kCardKey), SCARD_S_SUCCESS);
  }
  void Insert(const Bytes& atr, const Bytes& uid = kUid) {
    ASSERT_EQ(m_double.SetUid(kReader, uid), SCARD_S_SUCCESS);
    ASSERT_EQ(m_double.InsertCard(kReader, atr), SCARD_S_SUCCESS);
  }
  // Starts the reader object and waits for its connect event.
  void StartConnected() {
    reader.Start();
    ASSERT_TRUE(events.WaitFor("connect", 1, 10000)) << "the reader did not connect";
  }
  // Starts with the card already on the reader and waits until its key is reported.
  void StartWithCard(const Bytes& atr) {
    Insert(atr);
    StartConnected();
    ASSERT_TRUE(events.WaitFor("found", 1, 10000)) << "the card was not reported";
  }

  bool WaitUntil(const std::function<bool()>& done, DWORD timeout = 10000) {
    const ULONGLONG deadline = GetTickCount64() + timeout;
    while (!done()) {
      if (GetTickCount64() >= deadline) return false;
      Sleep(5);
    }
    return true;
  }
  LONG OpenCards() { return m_double.Counters().OpenCards; }

  // Runs a command record on the reader thread and returns its completion code.
  HRESULT RunOnThread(const std::shared_ptr<_CMD_INFO>& record) {
    const size_t before = events.Count("command");
    PostCommand(reader, record);
    SetEvent(reader.WakeEvent);
    EXPECT_TRUE(events.WaitFor("command", before + 1, 10000)) << "the command was not completed";
    return reader.CommandStatus;
  }
  // One whole pass of the reader thread after everything that came before: a command runs at the
  // start of a pass, so two of them enclose the timers and card events of the pass between.
  void FullPass() {
    for (int i = 0; i < 2; ++i) {
      auto record = std::make_shared<_CMD_INFO>();
      record->Handler = [](CReader* reader, _CMD_INFO* self) { return reader->CompleteCommand(self, S_OK); };
      ASSERT_EQ(RunOnThread(record), S_OK);
    }
  }
  std::vector<_KEY_INFO> Keys() {
    CCriticalSectionLock lock(&reader.Lock);
    return reader.Keys;
  }
  HRESULT LastError(std::wstring* text = nullptr) {
    CCriticalSectionLock lock(&reader.Lock);
    if (text) *text = reader.LastErrorText;
    return reader.LastError;
  }

  CWinscardDouble m_double;
  CCcidConnection m_watcher;
};

// ---- Connecting ----

TEST_F(CcidReader, StaysConnectingUntilTheWatcherAnnouncesTheReader) {
  ASSERT_EQ(m_double.UnplugReader(kReader), SCARD_S_SUCCESS);
  reader.Start();
  std::wstring name;
  ASSERT_TRUE(WaitUntil([&] { return m_watcher.GetSlotReader(1, name) && name == kReader; }))
      << "the reader did not register with the watcher";
  ASSERT_EQ(m_double.WaitIdle(), SCARD_S_SUCCESS);
  EXPECT_EQ(reader.State.load(), UINT(RS_CONNECTING));
  EXPECT_EQ(events.Count("connect"), 0u);
  // A command cannot run on a reader that is not there, and says so.
  EXPECT_EQ(RunOnThread(UltralightRecord(false, 4, 1)), E_FAIL);

  ASSERT_EQ(m_double.PlugReader(kReader), SCARD_S_SUCCESS);
  ASSERT_TRUE(events.WaitFor("connect", 1, 10000)) << "the plugged reader was not announced";
  EXPECT_EQ(reader.State.load(), UINT(RS_CONNECTED));
  EXPECT_EQ(reader.Model, 12u);
  EXPECT_EQ(reader.Mode, UINT(PM_CCID));
  EXPECT_EQ(reader.SerialNumber, 0xFFFFFFFFu);
}

// Without the smart-card service the reader cannot register: a failed connect, tried again by time.
TEST_F(CcidReader, ReaderThatCannotRegisterIsTriedAgainByTime) {
  ASSERT_EQ(m_double.SetService(false), SCARD_S_SUCCESS);
  reader.SetTimeouts(10000, 3000, INFINITE, 3000, 2);
  reader.Start();
  ASSERT_TRUE(events.WaitFor("error", 1, 10000));
  EXPECT_EQ(events.Events()[0].Code, E_FAIL);
  EXPECT_EQ(reader.State.load(), UINT(RS_DISCONNECTED));

  ASSERT_EQ(m_double.SetService(true), SCARD_S_SUCCESS);
  clock.Advance(3000);
  SetEvent(reader.WakeEvent);
  ASSERT_TRUE(events.WaitFor("connect", 1, 10000));
  EXPECT_EQ(events.Count("error"), 1u);
}

// Keys go, then the reader; plugged in again it is connected again on the watcher's next report.
TEST_F(CcidReader, UnpluggedReaderLosesItsKeysThenDisconnectsAndComesBack) {
  context.IdentKeyDelay = INFINITE;
  context.DelayKeyTypes = 0x1;
  StartWithCard(kMifare1kAtr);
  ASSERT_EQ(OpenCards(), 1) << "the held card should stay connected";

  ASSERT_EQ(m_double.UnplugReader(kReader), SCARD_S_SUCCESS);
  ASSERT_TRUE(events.WaitFor("disconnect", 1, 10000));
  EXPECT_EQ(events.Kinds(), (std::vector<std::string>{"connect", "found", "lost", "disconnect"}));
  EXPECT_TRUE(Keys().empty());
  EXPECT_EQ(OpenCards(), 0);
  EXPECT_EQ(reader.State.load(), UINT(RS_DISCONNECTED));

  ASSERT_EQ(m_double.PlugReader(kReader), SCARD_S_SUCCESS);
  ASSERT_TRUE(events.WaitFor("connect", 2, 10000)) << "the reader plugged in again was not connected";
  EXPECT_EQ(events.Kinds().back(), "connect");
  EXPECT_EQ(reader.State.load(), UINT(RS_CONNECTED));
}

// ---- Cards reported ----

struct CardCase {
  const char* name;
  Bytes atr;
  UINT keyType;
  UINT cardFlags;
};
void PrintTo(const CardCase& c, std::ostream* os) { *os << c.name; }

class CcidCards : public CcidReader, public ::testing::WithParamInterface<CardCase> {};

// Every card is reported with its UID, whatever the KeyTypes mask says; the card is let go at once
// without a hold time.
TEST_P(CcidCards, AreReportedWithTypeFromTheAtrAndUidFromTheReader) {
  const CardCase& c = GetParam();
  context.KeyTypes = 0;
  StartWithCard(c.atr);
  const std::vector<_KEY_INFO> keys = Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].KeyType, c.keyType);
  EXPECT_EQ(keys[0].CardFlags, c.cardFlags);
  EXPECT_EQ(KeyBytes(keys[0].Uid), kUid);
  EXPECT_EQ(keys[0].NumberStatus, 1);
  EXPECT_EQ(m_double.TakeTranscript(), Apdus{kGetUid});
  EXPECT_TRUE(WaitUntil([&] { return OpenCards() == 0; })) << "the card was not let go";
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidCards,
    ::testing::Values(CardCase{"mifare_1k", kMifare1kAtr, 10, 0},
                      CardCase{"mifare_plus_2k_level_1", CardNameAtr(0x00, 0x36), 15, 0x19},
                      CardCase{"desfire_by_its_historical_byte", Hex("3B 81 80 01 80 80"), 19, 0},
                      CardCase{"card_name_not_in_the_table", CardNameAtr(0x00, 0x04), 0, 0}),
    [](const ::testing::TestParamInfo<CardCase>& info) { return std::string(info.param.name); });

// The double refuses a transmit whose protocol header is not the card's protocol.
TEST_F(CcidReader, CardConnectedWithT0IsSpokenToWithT0) {
  ASSERT_EQ(m_double.SetUid(kReader, kUid), SCARD_S_SUCCESS);
  ASSERT_EQ(m_double.InsertCard(kReader, kMifare1kAtr, SCARD_PROTOCOL_T0), SCARD_S_SUCCESS);
  StartConnected();
  ASSERT_TRUE(events.WaitFor("found", 1, 10000)) << "the card was not reported";
  EXPECT_EQ(KeyBytes(Keys()[0].Uid), kUid);
}

struct UidFailure {
  const char* name;
  Bytes reply;
  HRESULT code;
  const wchar_t* text;  // null: not checked
};
void PrintTo(const UidFailure& c, std::ostream* os) { *os << c.name; }

class CcidUidFailures : public CcidReader, public ::testing::WithParamInterface<UidFailure> {};

TEST_P(CcidUidFailures, RecordTheErrorAndReportNoKey) {
  const UidFailure& c = GetParam();
  ASSERT_EQ(m_double.ScriptApdu(kReader, kGetUid, c.reply), SCARD_S_SUCCESS);
  Insert(kMifare1kAtr);
  StartConnected();
  // The failed exchange is logged as a port error (message 1005).
  ASSERT_TRUE(WaitUntil([&] {
    for (const FakeLogLine& line : context.LogLines())
      if (line.Number == 5) return true;
    return false;
  })) << "no port error was logged";
  FullPass();
  std::wstring text;
  EXPECT_EQ(LastError(&text), c.code);
  if (c.text) {
    EXPECT_EQ(text, c.text);
  }
  EXPECT_EQ(events.Count("found"), 0u);
  EXPECT_EQ(events.Count("error"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidUidFailures,
    ::testing::Values(UidFailure{"status_word_6A81", Hex("6A 81"), E_FAIL, L"0x816A"},
                      UidFailure{"one_byte_reply", Hex("90"), kBadResponse, nullptr}),
    [](const ::testing::TestParamInfo<UidFailure>& info) { return std::string(info.param.name); });

// ---- Numbers read from the card ----

struct ClassicNumberCase {
  const char* name;
  UINT sect, block, flags;
  bool wrongCardKey;  // sector 1 of the card opens with another key
  Apdus apdus;        // after the UID
  HRESULT status;
  Bytes number;
};
void PrintTo(const ClassicNumberCase& c, std::ostream* os) { *os << c.name; }

class CcidClassicNumbers : public CcidReader, public ::testing::WithParamInterface<ClassicNumberCase> {};

TEST_P(CcidClassicNumbers, FollowTheMifareSettings) {
  const ClassicNumberCase& c = GetParam();
  context.MifareC.Enabled = true;
  context.MifareC.Sect = c.sect;
  context.MifareC.Block = c.block;
  context.MifareC.Flags = c.flags;
  context.MifareC.AuthKey = AuthKey(kCardKey);
  NextClassicCard();
  if (c.wrongCardKey) {
    ASSERT_EQ(m_double.SetSectorKey(kReader, 1, Hex("B0 B1 B2 B3 B4 B5")), SCARD_S_SUCCESS);
  }
  StartWithCard(kMifare1kAtr);
  EXPECT_EQ(m_double.TakeTranscript(), WithUid(c.apdus));
  const std::vector<_KEY_INFO> keys = Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].NumberStatus, c.status);
  EXPECT_EQ(KeyBytes(keys[0].Number), c.number);
  EXPECT_EQ(KeyBytes(keys[0].Uid), kUid);
  // A failed number is reported as a transfer error right after the key.
  if (c.status < 0) {
    EXPECT_TRUE(events.WaitFor("numberError", 1, 10000));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidClassicNumbers,
    ::testing::Values(
        ClassicNumberCase{"key_a_sector_1_block_2",
                          1,
                          2,
                          0,
                          false,
                          {Hex("FF 82 00 00 06 A0 A1 A2 A3 A4 A5"), Hex("FF 86 00 00 05 01 00 06 60 00"),
                           Hex("FF B0 00 06 10")},
                          0,
                          Hex("60 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E")},
        ClassicNumberCase{"key_b_and_block_taken_mod_4",
                          2,
                          5,
                          1,
                          false,
                          {Hex("FF 82 00 00 06 A0 A1 A2 A3 A4 A5"), Hex("FF 86 00 00 05 01 00 09 61 00"),
                           Hex("FF B0 00 09 10")},
                          0,
                          Hex("90 91 92 93 94 95 96 97 98 99 9A 9B 9C 9D 9E")},
        ClassicNumberCase{"wrong_key_fails_the_number_only",
                          1,
                          2,
                          0,
                          true,
                          {Hex("FF 82 00 00 06 A0 A1 A2 A3 A4 A5"), Hex("FF 86 00 00 05 01 00 06 60 00")},
                          E_FAIL,
                          {}},
        ClassicNumberCase{"sector_beyond_a_1k_card", 16, 0, 0, false, {}, E_INVALIDARG, {}}),
    [](const ::testing::TestParamInfo<ClassicNumberCase>& info) { return std::string(info.param.name); });

struct UltralightNumberCase {
  const char* name;
  UINT page, count;
  Apdus apdus;  // after the UID
  HRESULT status;
  Bytes number;
};
void PrintTo(const UltralightNumberCase& c, std::ostream* os) { *os << c.name; }

class CcidUltralightNumbers : public CcidReader, public ::testing::WithParamInterface<UltralightNumberCase> {};

TEST_P(CcidUltralightNumbers, FollowTheUltralightSettings) {
  const UltralightNumberCase& c = GetParam();
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = c.page;
  context.MifareUL.Count = c.count;
  ASSERT_EQ(m_double.SetMemory(kReader, 4, Counting(64)), SCARD_S_SUCCESS);
  StartWithCard(kUltralightAtr);
  EXPECT_EQ(m_double.TakeTranscript(), WithUid(c.apdus));
  const std::vector<_KEY_INFO> keys = Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].KeyType, 9u);
  EXPECT_EQ(keys[0].NumberStatus, c.status);
  EXPECT_EQ(KeyBytes(keys[0].Number), c.number);
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidUltralightNumbers,
    ::testing::Values(
        UltralightNumberCase{"one_page", 4, 1, {Hex("FF B0 00 04 10")}, 0, Hex("10 11 12 13")},
        UltralightNumberCase{"at_most_15_bytes", 4, 5, {Hex("FF B0 00 04 10")}, 0,
                             Hex("10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E")},
        UltralightNumberCase{"page_beyond_15", 20, 1, {}, E_INVALIDARG, {}},
        UltralightNumberCase{"no_pages", 4, 0, {}, E_INVALIDARG, {}}),
    [](const ::testing::TestParamInfo<UltralightNumberCase>& info) { return std::string(info.param.name); });

// A reply shorter than the 16 bytes asked for is no number, never stale buffer bytes.
TEST_F(CcidReader, ShortReadIsABadResponse) {
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = 4;
  context.MifareUL.Count = 1;
  ASSERT_EQ(m_double.ScriptApdu(kReader, Hex("FF B0 00 04 10"), Hex("10 11 12 13 90 00")), SCARD_S_SUCCESS);
  StartWithCard(kUltralightAtr);
  const std::vector<_KEY_INFO> keys = Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].NumberStatus, kBadResponse);
  EXPECT_EQ(keys[0].Number.Length, 0u);
}

// ---- Card hold ----

struct HoldCase {
  const char* name;
  UINT delay;
  UINT holdTypes;
  Bytes atr;
  bool held;
};
void PrintTo(const HoldCase& c, std::ostream* os) { *os << c.name; }

class CcidHold : public CcidReader, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(CcidHold, ReleasesTheCardWhenItsTimeIsUp) {
  const HoldCase& c = GetParam();
  context.IdentKeyDelay = c.delay;
  context.DelayKeyTypes = c.holdTypes;
  StartWithCard(c.atr);
  if (!c.held) {
    EXPECT_TRUE(WaitUntil([&] { return OpenCards() == 0; })) << "the card was not let go";
    return;
  }
  FullPass();
  EXPECT_EQ(OpenCards(), 1) << "the card was let go before its hold time";
  clock.Advance(c.delay - 1);
  FullPass();
  EXPECT_EQ(OpenCards(), 1) << "the card was let go before its hold time";
  clock.Advance(1);
  FullPass();
  EXPECT_EQ(OpenCards(), 0) << "the card is still held after its hold time";
  EXPECT_EQ(Keys().size(), 1u) << "the end of a hold is no key loss";
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidHold,
    ::testing::Values(HoldCase{"no_hold_time", 0, 0x5, kMifare1kAtr, false},
                      HoldCase{"classic_held", 1000, 0x1, kMifare1kAtr, true},
                      HoldCase{"classic_not_in_the_hold_types", 1000, 0x4, kMifare1kAtr, false},
                      HoldCase{"ultralight_held", 700, 0x4, kUltralightAtr, true},
                      HoldCase{"other_cards_are_never_held", 1000, 0xF, CardNameAtr(0x00, 0x04), false}),
    [](const ::testing::TestParamInfo<HoldCase>& info) { return std::string(info.param.name); });

TEST_F(CcidReader, RemovingAHeldCardLetsItGoAndLosesItsKey) {
  context.IdentKeyDelay = INFINITE;
  context.DelayKeyTypes = 0x1;
  StartWithCard(kMifare1kAtr);
  ASSERT_EQ(m_double.RemoveCard(kReader), SCARD_S_SUCCESS);
  ASSERT_TRUE(events.WaitFor("lost", 1, 10000));
  EXPECT_EQ(OpenCards(), 0);
  EXPECT_TRUE(Keys().empty());
  EXPECT_EQ(events.Count("disconnect"), 0u);
}

// ---- A cancelled card connection ----

class CcidCancelled : public CcidReader, public ::testing::WithParamInterface<DWORD> {};

TEST_P(CcidCancelled, IsTriedAgain) {
  ASSERT_EQ(m_double.FailCalls(GetParam(), SCARD_E_CANCELLED), SCARD_S_SUCCESS);
  StartWithCard(kMifare1kAtr);
  EXPECT_EQ(m_double.TakeTranscript(), Apdus{kGetUid}) << "one full card-present pass after the failed one";
  const std::vector<_KEY_INFO> keys = Keys();
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(KeyBytes(keys[0].Uid), kUid);
  EXPECT_TRUE(WaitUntil([&] { return OpenCards() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Ccid, CcidCancelled, ::testing::Values(WSD_CALL_CONNECT, WSD_CALL_TRANSMIT),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                           return std::string(info.param == WSD_CALL_CONNECT ? "card_connect" : "get_uid");
                         });

// ---- Card commands over PC/SC ----

std::shared_ptr<_CMD_MUL_INFO> UltralightRecord(bool write, UINT page, int count, Bytes data) {
  auto record = std::make_shared<_CMD_MUL_INFO>();
  record->Command = write ? CMD_WRITE_MIFARE_UL : CMD_READ_MIFARE_UL;
  record->Page = page;
  record->Count = count;
  record->Data = std::move(data);
  record->Handler = write ? &CReader::CmdWriteMifareUL : &CReader::CmdReadMifareUL;
  return record;
}

std::shared_ptr<_CMD_MC_INFO> ClassicRecord(bool write, int sector, int block, int count, BYTE skipTrailers,
                                            UINT flags = 0, Bytes data = {}, const Bytes& key = kCardKey) {
  auto record = std::make_shared<_CMD_MC_INFO>();
  record->Command = write ? CMD_WRITE_MIFARE_C : CMD_READ_MIFARE_C;
  record->Sector = sector;
  record->Block = block;
  record->Count = count;
  record->SkipTrailers = skipTrailers;
  record->Flags = flags;
  record->Key = AuthKey(key);
  record->Data = std::move(data);
  record->Handler = write ? &CReader::CmdWriteMifareC : &CReader::CmdReadMifareC;
  return record;
}

Bytes Blocks(const Bytes& memory, const std::vector<int>& blocks) {
  Bytes out;
  for (int block : blocks) {
    const Bytes one = Range(memory, 16 * block, 16);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

TEST_F(CcidReader, UltralightPagesWrittenAndReadBack) {
  ASSERT_EQ(m_double.SetMemory(kReader, 4, Bytes(64, 0)), SCARD_S_SUCCESS);
  StartWithCard(kUltralightAtr);
  m_double.TakeTranscript();

  const Bytes data = Hex("11 12 13 14 21 22 23 24");
  auto write = UltralightRecord(true, 4, 2, data);
  ASSERT_EQ(RunOnThread(write), S_OK);
  EXPECT_EQ(write->Done, 2u);
  EXPECT_EQ(m_double.TakeTranscript(),
            WithUid({Hex("FF D6 00 04 04 11 12 13 14"), Hex("FF D6 00 05 04 21 22 23 24")}));
  EXPECT_EQ(Range(m_double.Memory(kReader), 12, 16), Hex("00 00 00 00 11 12 13 14 21 22 23 24 00 00 00 00"));

  auto read = UltralightRecord(false, 4, 2);
  ASSERT_EQ(RunOnThread(read), S_OK);
  EXPECT_EQ(read->Data, data);
  EXPECT_EQ(read->Done, 2u);

  // Six pages take two reads of four; the second gives only the two pages asked for.
  auto six = UltralightRecord(false, 3, 6);
  ASSERT_EQ(RunOnThread(six), S_OK);
  m_double.TakeTranscript();
  EXPECT_EQ(six->Data, Range(m_double.Memory(kReader), 12, 24));
  EXPECT_EQ(six->Done, 6u);
  EXPECT_TRUE(WaitUntil([&] { return OpenCards() == 0; })) << "without a hold time the card is let go";
}

struct ClassicReadCase {
  const char* name;
  int sector, block, count;
  BYTE skip;
  UINT flags;
  Apdus apdus;  // after the UID and the key load
  std::vector<int> blocks;
};
void PrintTo(const ClassicReadCase& c, std::ostream* os) { *os << c.name; }

class CcidClassicReads : public CcidReader, public ::testing::WithParamInterface<ClassicReadCase> {};

TEST_P(CcidClassicReads, SendTheExactApdus) {
  const ClassicReadCase& c = GetParam();
  NextClassicCard();
  StartWithCard(kMifare1kAtr);
  m_double.TakeTranscript();
  auto read = ClassicRecord(false, c.sector, c.block, c.count, c.skip, c.flags);
  ASSERT_EQ(RunOnThread(read), S_OK);
  Apdus expected = c.apdus;
  expected.insert(expected.begin(), Hex("FF 82 00 00 06 A0 A1 A2 A3 A4 A5"));
  EXPECT_EQ(m_double.TakeTranscript(), WithUid(expected));
  EXPECT_EQ(read->Data, Blocks(Counting(16 * 64), c.blocks));
  EXPECT_EQ(read->Done, UINT(c.blocks.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidClassicReads,
    ::testing::Values(
        ClassicReadCase{"wraps_from_the_last_block_to_sector_0",
                        15,
                        2,
                        5,
                        0,
                        0,
                        {Hex("FF 86 00 00 05 01 00 3E 60 00"), Hex("FF B0 00 3E 10"), Hex("FF B0 00 3F 10"),
                         Hex("FF 86 00 00 05 01 00 00 60 00"), Hex("FF B0 00 00 10"), Hex("FF B0 00 01 10"),
                         Hex("FF B0 00 02 10")},
                        {62, 63, 0, 1, 2}},
        ClassicReadCase{"trailer_skipped_across_a_sector",
                        0,
                        1,
                        4,
                        1,
                        0,
                        {Hex("FF 86 00 00 05 01 00 01 60 00"), Hex("FF B0 00 01 10"), Hex("FF B0 00 02 10"),
                         Hex("FF 86 00 00 05 01 00 04 60 00"), Hex("FF B0 00 04 10"), Hex("FF B0 00 05 10")},
                        {1, 2, 4, 5}},
        ClassicReadCase{"key_b", 1, 0, 1, 0, MCF_KEY_B, {Hex("FF 86 00 00 05 01 00 04 61 00"), Hex("FF B0 00 04 10")},
                        {4}}),
    [](const ::testing::TestParamInfo<ClassicReadCase>& info) { return std::string(info.param.name); });

TEST_F(CcidReader, ClassicBlocksWrittenAcrossASectorAndReadBack) {
  NextClassicCard();
  StartWithCard(kMifare1kAtr);
  const Bytes before = m_double.Memory(kReader);
  Bytes data(64);
  for (size_t i = 0; i < data.size(); ++i) data[i] = BYTE(0xC0 + i);
  auto write = ClassicRecord(true, 0, 1, 4, 1, 0, data);
  ASSERT_EQ(RunOnThread(write), S_OK);
  EXPECT_EQ(write->Done, 4u);
  const Bytes after = m_double.Memory(kReader);
  EXPECT_EQ(Blocks(after, {1, 2, 4, 5}), data);
  EXPECT_EQ(Blocks(after, {0, 3, 6, 7}), Blocks(before, {0, 3, 6, 7})) << "a trailer or a block outside was written";

  auto read = ClassicRecord(false, 0, 1, 4, 1);
  ASSERT_EQ(RunOnThread(read), S_OK);
  EXPECT_EQ(read->Data, data);
}

struct CommandFailure {
  const char* name;
  Bytes atr;
  bool classic;  // a Classic command, else an Ultralight read
  int sector, block;
  Bytes key;
  HRESULT code;
};
void PrintTo(const CommandFailure& c, std::ostream* os) { *os << c.name; }

class CcidCommandFailures : public CcidReader, public ::testing::WithParamInterface<CommandFailure> {};

TEST_P(CcidCommandFailures, CompleteWithTheirCode) {
  const CommandFailure& c = GetParam();
  NextClassicCard();
  StartWithCard(c.atr);
  std::shared_ptr<_CMD_INFO> record;
  if (c.classic) {
    record = ClassicRecord(false, c.sector, c.block, 1, 0, 0, {}, c.key);
  } else {
    record = UltralightRecord(false, 4, 1);
  }
  EXPECT_EQ(RunOnThread(record), c.code);
  EXPECT_EQ(record->Done, 0u);
  EXPECT_TRUE(WaitUntil([&] { return OpenCards() == 0; })) << "a failed command leaves the card connected";
}

INSTANTIATE_TEST_SUITE_P(
    Ccid, CcidCommandFailures,
    ::testing::Values(CommandFailure{"classic_read_of_an_ultralight", kUltralightAtr, true, 1, 0, kCardKey, kNoKey},
                      CommandFailure{"ultralight_read_of_a_classic", kMifare1kAtr, false, 0, 0, kCardKey, kNoKey},
                      CommandFailure{"sector_beyond_the_card", kMifare1kAtr, true, 16, 0, kCardKey, E_INVALIDARG},
                      CommandFailure{"block_beyond_its_sector", kMifare1kAtr, true, 0, 4, kCardKey, E_INVALIDARG},
                      CommandFailure{"wrong_key", kMifare1kAtr, true, 1, 0, Hex("B0 B1 B2 B3 B4 B5"), E_FAIL}),
    [](const ::testing::TestParamInfo<CommandFailure>& info) { return std::string(info.param.name); });

}  // namespace
