// Temic T5557 transponders on a text-mode reader: the "t57" lines each command sends, the search of
// the parameter pair, block reads and writes against the simulated transponder, the refusals, and
// the scan of the field with its cycles, found and lost keys and the hold.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "Messages.h"
#include "ReaderFixture.h"
#include "sim/TemicTransponder.h"
#include "sim/TextReaderSim.h"

namespace {

constexpr UINT kSearch = 0xFFFFFFFF;
constexpr UINT64 kNone = 0xFFFFFFFFFFFFFFFFull;
const char kNoT5[] = "ERR no T5557";

// Scan entries: first parameter, second parameter, pause in ms.
constexpr UINT Entry(UINT p0, UINT p1, UINT pause = 0) { return p0 | p1 << 8 | pause << 16; }

std::vector<BYTE> Bytes(std::initializer_list<int> list) {
  std::vector<BYTE> bytes;
  for (int b : list) bytes.push_back(BYTE(b));
  return bytes;
}

std::vector<BYTE> KeyBytes(const _KEYNUM_INFO& key) { return std::vector<BYTE>(key.Data, key.Data + key.Length); }

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here a KD-6 C (Temic-capable, text mode) connected through the fake port to the
// text-reader simulator, with a transponder in its field that answers to the pair (1, 1), the second of
// the default list. Commands run on the test's thread as the reader thread would run them (Run).
class TemicTest : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    SimIdentity identity;
    identity.ModelName = "KD-6 C";
    identity.HwCode = 0x302;
    port = AddPort(new CSimFakePort(identity));
    port->Model.Temic = tag.Hook();
    tag.SetPair(1, 1);
    for (int k = 0; k < 8; ++k) tag.SetBlock(k, {BYTE(0x10 * k), BYTE(k), 0xA0, BYTE(0xF0 + k)});
    context.Temic = _SETTINGS_INFO().Temic;
    context.IdentKeyDelay = 0;
    InitReader(1000, 2);
    ASSERT_TRUE(Connected(PM_TEXT, RM_KD6_C));
    reader.StatusFlags |= RSF_TEMIC;
  }

  std::shared_ptr<_CMD_RWTEMIC_INFO> Read(UINT block, UINT count, UINT parameter = kSearch, UINT64 password = kNone) {
    auto cmd = std::make_shared<_CMD_RWTEMIC_INFO>();
    cmd->Command = CMD_READ_TEMIC;
    cmd->Handler = &CReader::CmdReadTemic;
    cmd->Block = block;
    cmd->Count = count;
    cmd->Parameter = parameter;
    cmd->Password = password;
    return cmd;
  }

  std::shared_ptr<_CMD_RWTEMIC_INFO> Write(UINT block, const std::vector<BYTE>& data, UINT parameter = kSearch,
                                          UINT64 password = kNone, BYTE lock = 0) {
    auto cmd = Read(block, UINT(data.size() / 4), parameter, password);
    cmd->Command = CMD_WRITE_TEMIC;
    cmd->Handler = &CReader::CmdWriteTemic;
    cmd->Data = data;
    cmd->Lock = lock;
    return cmd;
  }

  std::shared_ptr<_CMD_FINDTEMIC_INFO> Find(UINT parameter = kSearch, UINT mode = 0, UINT64 password = kNone) {
    auto cmd = std::make_shared<_CMD_FINDTEMIC_INFO>();
    cmd->Command = CMD_FIND_TEMIC;
    cmd->Handler = &CReader::CmdFindTemic;
    cmd->Mode = mode;
    cmd->Parameter = parameter;
    cmd->Password = password;
    return cmd;
  }

  // One pass of the text-mode poll, as the thread makes it.
  void Poll() {
    reader.NextWait = INFINITE;
    reader.TextModePoll();
  }

  std::vector<std::string> SentSince(size_t from) {
    auto all = port->Writes();
    return std::vector<std::string>(all.begin() + std::min(from, all.size()), all.end());
  }

  CSimFakePort* port = nullptr;
  CTemicTransponder tag;
};

// --- Transcripts ---------------------------------------------------------------------------------

TEST_F(TemicTest, InitWritesTheFreshConfigurationWithThePair0200) {
  auto cmd = std::make_shared<_CMD_INFO>();
  cmd->Command = CMD_INIT_TEMIC;
  cmd->Handler = &CReader::CmdInitTemic;
  tag.SetPair(2, 0);
  context.IdentKeyDelay = 1000;
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 01 00 00 14 80 40 02 00\r"}), port->Writes());
  EXPECT_EQ((TemicBlock{0x00, 0x14, 0x80, 0x40}), tag.Block(0));
  EXPECT_FALSE(reader.StatusFlags & RSF_HOLD);  // no hold after an initialisation
  EXPECT_EQ(1u, events.Count("command"));
}

TEST_F(TemicTest, FindSearchesThePairThenHoldsTheTransponder) {
  context.IdentKeyDelay = 700;
  auto cmd = Find();
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 05 81 02 00\r", "t57 05 81 01 01\r", "t57 05 82 01 01\r"}),
            port->Writes());
  // The 5-byte ID: the last byte of block 0x81, then block 0x82.
  EXPECT_EQ(Bytes({0x3A, 0x12, 0x34, 0x56, 0x78}), KeyBytes(cmd->Id));
  EXPECT_EQ(0x0101u, cmd->Parameter);
  EXPECT_EQ(UINT(KT_TEMIC), reader.HeldKeyType);
  EXPECT_EQ(Bytes({0x3A, 0x12, 0x34, 0x56, 0x78}), KeyBytes(reader.HeldUid));
  EXPECT_TRUE(reader.StatusFlags & RSF_HOLD);
  EXPECT_LE(reader.NextWait, 700u);

  // The held transponder spares the next command the search.
  auto read = Read(3, 1);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ((std::vector<std::string>{"t57 05 03 01 01\r"}), SentSince(3));
  EXPECT_EQ(Bytes({0x30, 3, 0xA0, 0xF3}), read->Data);
}

TEST_F(TemicTest, FindWithAGivenPairAndFullIdAndPassword) {
  tag.SetPair(2, 1);
  tag.SetBlock(7, {0x11, 0x22, 0x33, 0x44});
  tag.SetPasswordMode(true);
  auto cmd = Find(0x0102, 0x2, 0x44332211);
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 06 81 11 22 33 44 02 01\r", "t57 06 82 11 22 33 44 02 01\r"}),
            port->Writes());
  EXPECT_EQ(Bytes({0, 0, 0, 0x3A, 0x12, 0x34, 0x56, 0x78}), KeyBytes(cmd->Id));
  EXPECT_EQ(0x0102u, cmd->Parameter);
}

TEST_F(TemicTest, ReadSearchesInTheListsOrderAndReadsOnWithTheFoundPair) {
  auto cmd = Read(1, 2);
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 05 01 02 00\r", "t57 05 01 01 01\r", "t57 05 02 01 01\r"}),
            port->Writes());
  EXPECT_EQ(Bytes({0x10, 1, 0xA0, 0xF1, 0x20, 2, 0xA0, 0xF2}), cmd->Data);
  EXPECT_EQ(0x0101u, cmd->Parameter);
  EXPECT_EQ(2u, cmd->Done);
}

TEST_F(TemicTest, SearchTriesEveryEntryThenGivesUp) {
  tag.SetInField(false);
  context.Temic.ScanParams = {Entry(2, 0), Entry(1, 1), Entry(0xFF, 0, 50), Entry(4, 4)};
  auto cmd = Read(0, 1);
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 05 00 02 00\r", "t57 05 00 01 01\r", "t57 00\r", "t57 05 00 04 04\r"}),
            port->Writes());
  EXPECT_TRUE(cmd->Data.empty());
  EXPECT_EQ(kSearch, cmd->Parameter);
}

TEST_F(TemicTest, EmptyScanListFindsNothing) {
  context.Temic.ScanParams.clear();
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(Find()));
  EXPECT_TRUE(port->Writes().empty());
}

// --- Writes --------------------------------------------------------------------------------------

TEST_F(TemicTest, WriteThenReadReturnsWhatWasWritten) {
  const auto data = Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  auto write = Write(1, data, 0x0101);
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ(3u, write->Done);
  // Presence first, then the highest block down.
  EXPECT_EQ((std::vector<std::string>{"t57 05 00 01 01\r", "t57 01 03 09 0a 0b 0c 01 01\r",
                                      "t57 01 02 05 06 07 08 01 01\r", "t57 01 01 01 02 03 04 01 01\r"}),
            port->Writes());
  auto read = Read(1, 3, 0x0101);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ(data, read->Data);
}

TEST_F(TemicTest, PasswordBlockGoesFirstAndTheNewPasswordServesTheRest) {
  tag.SetPair(2, 0);
  tag.SetBlock(7, {0xAA, 0xBB, 0xCC, 0xDD});
  tag.SetPasswordMode(true);
  auto cmd = Write(5, Bytes({5, 5, 5, 5, 6, 6, 6, 6, 0x71, 0x72, 0x73, 0x74}), kSearch, 0xDDCCBBAA, 1);
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 06 00 aa bb cc dd 02 00\r",
                                      "t57 04 07 aa bb cc dd 71 72 73 74 02 00\r",
                                      "t57 04 06 71 72 73 74 06 06 06 06 02 00\r",
                                      "t57 04 05 71 72 73 74 05 05 05 05 02 00\r"}),
            port->Writes());
  EXPECT_EQ((std::vector<int>{7, 6, 5}), tag.Writes());
  EXPECT_TRUE(tag.Locked(7) && tag.Locked(6) && tag.Locked(5));
  EXPECT_EQ(3u, cmd->Done);
  EXPECT_EQ(0x0002u, cmd->Parameter);
}

TEST_F(TemicTest, FailedPasswordBlockStopsEverything) {
  tag.FailWrites(7);
  auto cmd = Write(6, Bytes({6, 6, 6, 6, 7, 7, 7, 7}), 0x0101, 0);
  EXPECT_EQ(VOMBRA_E_READER_ERROR, Run(cmd));
  EXPECT_TRUE(tag.Writes().empty());
  EXPECT_EQ(0u, cmd->Done);
}

// Blocks 0 to 2: block 0, the configuration, is written last and only after block 1 went through;
// any failed block is the command's result even when later blocks succeed.
struct ConfigCase {
  const char* name;
  int failing;  // the block whose write the transponder refuses; -1 none
  std::vector<int> written;
  UINT done;
  HRESULT result;
};

class ConfigurationLastTest : public TemicTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigurationLastTest, WritesDownToBlockZero) {
  const ConfigCase& c = GetParam();
  if (c.failing >= 0) tag.FailWrites(c.failing);
  auto cmd = Write(0, Bytes({0, 0x14, 0x80, 0x40, 1, 1, 1, 1, 2, 2, 2, 2}), 0x0101);
  EXPECT_EQ(c.result, Run(cmd));
  EXPECT_EQ(c.written, tag.Writes());
  EXPECT_EQ(c.done, cmd->Done);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationLastTest,
    ::testing::Values(ConfigCase{"AllWritten", -1, {2, 1, 0}, 3, S_OK},
                      ConfigCase{"Block1Fails", 1, {2}, 1, VOMBRA_E_READER_ERROR},
                      ConfigCase{"Block2FailsFirst", 2, {1, 0}, 2, VOMBRA_E_READER_ERROR},
                      ConfigCase{"Block0Fails", 0, {2, 1}, 2, VOMBRA_E_READER_ERROR}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST_F(TemicTest, WriteWithoutTransponderWritesNothing) {
  tag.SetInField(false);
  auto cmd = Write(1, Bytes({1, 2, 3, 4}), 0x0101);
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(cmd));
  // The presence read is asked twice: a transponder at the edge of the field may miss one command.
  EXPECT_EQ((std::vector<std::string>{"t57 05 00 01 01\r", "t57 05 00 01 01\r"}), port->Writes());
}

// --- Refusals ------------------------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  bool write;
  UINT block;
  UINT count;
  size_t dataBytes;  // for a write
  HRESULT result;
  UINT countAfter;  // the record's count when the command ran
};

class RefusalTest : public TemicTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, BlockAndCount) {
  const RefusalCase& c = GetParam();
  std::shared_ptr<_CMD_RWTEMIC_INFO> cmd;
  if (c.write) {
    cmd = Write(c.block, std::vector<BYTE>(c.dataBytes, 0x5A), 0x0101);
    cmd->Count = c.count;
  } else {
    cmd = Read(c.block, c.count, 0x0101);
  }
  EXPECT_EQ(c.result, Run(cmd));
  if (c.result == E_INVALIDARG) {
    EXPECT_TRUE(port->Writes().empty());
  } else {
    EXPECT_EQ(c.countAfter, cmd->Count);
    EXPECT_EQ(c.countAfter, cmd->Done);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    ::testing::Values(RefusalCase{"ReadBlock8", false, 8, 1, 0, E_INVALIDARG, 0},
                      RefusalCase{"ReadHugeBlock", false, 0xFFFFFFFF, 2, 0, E_INVALIDARG, 0},
                      RefusalCase{"ReadCount0", false, 0, 0, 0, E_INVALIDARG, 0},
                      RefusalCase{"ReadNegativeCount", false, 3, UINT(-1), 0, E_INVALIDARG, 0},
                      RefusalCase{"ReadCountCut", false, 6, 100, 0, S_OK, 2},
                      RefusalCase{"ReadLargestCount", false, 0, 0x7FFFFFFF, 0, S_OK, 8},
                      RefusalCase{"WriteBlock8", true, 8, 1, 4, E_INVALIDARG, 0},
                      RefusalCase{"WriteNegativeCount", true, 0, UINT(-3), 4, E_INVALIDARG, 0},
                      RefusalCase{"WriteShortData", true, 2, 2, 7, E_INVALIDARG, 0},
                      RefusalCase{"WriteCountCut", true, 6, 5, 8, S_OK, 2}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(TemicTest, ReaderWithoutTemicRefusesAllFour) {
  reader.StatusFlags &= ~RSF_TEMIC;
  auto init = std::make_shared<_CMD_INFO>();
  init->Command = CMD_INIT_TEMIC;
  init->Handler = &CReader::CmdInitTemic;
  EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, Run(init));
  EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, Run(Find()));
  EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, Run(Read(1, 1)));
  EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, Run(Write(1, Bytes({1, 2, 3, 4}))));
  EXPECT_TRUE(port->Writes().empty());
}

// --- Answers -------------------------------------------------------------------------------------

struct AnswerCase {
  const char* name;
  bool write;
  std::vector<std::string> answers;  // queued, one per request
  UINT tries;
  bool ok;
  HRESULT error;
  size_t requests;
  std::vector<BYTE> bytes;  // of a read that succeeded
};

class AnswerTest : public TemicTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, DecidesByTheLowerCasedLine) {
  const AnswerCase& c = GetParam();
  tag.QueueAnswers(c.answers);
  reader.RequestTries = c.tries;
  BYTE out[4] = {};
  bool ok;
  if (c.write) {
    ok = reader.TemicWriteBlock(3, 1, 1, 0x04030201, kNone, false);
  } else {
    ok = reader.TemicReadBlock(3, 1, 1, out, kNone, int(c.tries));
  }
  EXPECT_EQ(c.ok, ok);
  EXPECT_EQ(c.error, reader.LastError);
  EXPECT_EQ(c.requests, port->Writes().size());
  if (ok && !c.write) {
    EXPECT_EQ(c.bytes, std::vector<BYTE>(out, out + 4));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerTest,
    ::testing::Values(
        AnswerCase{"ReadDigits", false, {"00148040"}, 2, true, S_OK, 1, {0x00, 0x14, 0x80, 0x40}},
        AnswerCase{"ReadDigitsThenText", false, {"00148040 block 3"}, 2, true, S_OK, 1, {0x00, 0x14, 0x80, 0x40}},
        // A line the reader sends of its own accord is no answer; it is handled after the exchange.
        AnswerCase{"ReadAfterAnUnsolicitedNoCard", false, {"No card\r\n00148040"}, 2, true, S_OK, 1,
                   {0x00, 0x14, 0x80, 0x40}},
        AnswerCase{"ReadUpperCaseDigits", false, {"A1B2C3FF"}, 1, true, S_OK, 1, {0xA1, 0xB2, 0xC3, 0xFF}},
        AnswerCase{"ReadNoTransponderOnceThenDigits", false, {kNoT5, "00148040"}, 3, true, S_OK, 2,
                   {0x00, 0x14, 0x80, 0x40}},
        AnswerCase{"ReadNoTransponderTwice", false, {kNoT5, kNoT5, "00148040"}, 3, false, VOMBRA_E_NO_KEY, 2, {}},
        AnswerCase{"ReadNoTransponderOneTry", false, {kNoT5, "00148040"}, 1, false, VOMBRA_E_NO_KEY, 1, {}},
        AnswerCase{"ReadReaderError", false, {"Err", "00148040"}, 2, false, VOMBRA_E_READER_ERROR, 1, {}},
        AnswerCase{"ReadSevenDigitsRetried", false, {"0014804", "00148040"}, 2, true, S_OK, 2,
                   {0x00, 0x14, 0x80, 0x40}},
        AnswerCase{"ReadSevenDigitsTwice", false, {"0014804", "0014804x"}, 2, false, VOMBRA_E_BAD_RESPONSE, 2, {}},
        AnswerCase{"ReadNoTries", false, {}, 0, false, VOMBRA_E_READ_TIMEOUT, 0, {}},
        AnswerCase{"WriteOk", true, {"Ok"}, 2, true, S_OK, 1, {}},
        AnswerCase{"WriteNoTransponder", true, {"ERR: no t5557"}, 2, false, VOMBRA_E_NO_KEY, 1, {}},
        AnswerCase{"WriteReaderError", true, {"ERROR"}, 2, false, VOMBRA_E_READER_ERROR, 1, {}},
        AnswerCase{"WriteGarbledThenOk", true, {"?", "OK"}, 2, true, S_OK, 2, {}},
        AnswerCase{"WriteGarbledEveryTry", true, {"?", "?", "OK"}, 2, false, VOMBRA_E_BAD_RESPONSE, 2, {}},
        AnswerCase{"WriteNoTries", true, {}, 0, false, VOMBRA_E_READ_TIMEOUT, 0, {}}),
    [](const ::testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

TEST_F(TemicTest, SilentReaderTimesOut) {
  port->Model.Silent = true;
  BYTE out[4];
  EXPECT_FALSE(reader.TemicReadBlock(0, 1, 1, out, kNone, 2));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(1u, port->Writes().size());  // a missing line ends the exchange
}

// --- Commands that stop --------------------------------------------------------------------------

TEST_F(TemicTest, BrokenReadStopsBeforeItsNextBlockWithoutCompletion) {
  tag.OnRequest = [this](const std::string& request) {
    if (request == "t57 05 02 01 01") reader.BreakCommand();
  };
  auto cmd = Read(1, 4, 0x0101);
  EXPECT_EQ(E_ABORT, Run(cmd));
  EXPECT_EQ(2u, port->Writes().size());
  EXPECT_EQ(0u, events.Count("command"));
}

TEST_F(TemicTest, SearchWorksOnTheListItStartedWith) {
  // The application replaces the list in the middle of the search.
  context.Temic.ScanParams = {Entry(2, 0), Entry(3, 3), Entry(1, 1)};
  tag.OnRequest = [this](const std::string& request) {
    if (request != "t57 05 04 02 00") return;
    CCriticalSectionLock lock(context.GetLock());
    context.Temic.ScanParams = {Entry(9, 9)};
  };
  auto cmd = Read(4, 1);
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 05 04 02 00\r", "t57 05 04 03 03\r", "t57 05 04 01 01\r"}),
            port->Writes());
  EXPECT_EQ(0x0101u, cmd->Parameter);
}

// A search pause ends with an abort when its command is broken, and also when a new command has
// replaced it (the slot is pending again then, but no longer for this search).
class TemicSearchStopTest : public TemicTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TemicSearchStopTest, DuringAPauseEndsItWithAnAbort) {
  const bool replace = GetParam();
  context.Temic.ScanParams = {Entry(0xFF, 0, 60000), Entry(1, 1)};
  auto cmd = Read(1, 1);
  reader.Command = cmd;
  reader.CommandStatus = E_PENDING;
  std::thread breaker([this, replace] {
    for (int i = 0; i < 2000 && port->Writes().empty(); ++i) Sleep(5);
    reader.BreakCommand();
    if (replace) {
      CCriticalSectionLock lock(&reader.Lock);
      reader.Command = Read(2, 1);
      reader.CommandStatus = E_PENDING;
    }
    SetEvent(reader.WakeEvent);
  });
  const DWORD start = GetTickCount();
  CReader::CmdReadTemic(&reader, cmd.get());
  breaker.join();
  EXPECT_LT(GetTickCount() - start, 30000u);
  EXPECT_EQ(E_ABORT, reader.LastError);
  EXPECT_EQ((std::vector<std::string>{"t57 00\r"}), port->Writes());
  EXPECT_EQ(0u, events.Count("command"));
}

INSTANTIATE_TEST_SUITE_P(Ways, TemicSearchStopTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Replaced" : "Broken"; });

TEST_F(TemicTest, WakeDuringAPauseWhileTheCommandRunsKeepsSearching) {
  context.Temic.ScanParams = {Entry(0xFF, 0, 100), Entry(1, 1)};
  SetEvent(reader.WakeEvent);  // a change for the thread, not a break
  auto cmd = Read(1, 1);
  EXPECT_EQ(S_OK, Run(cmd));
  EXPECT_EQ((std::vector<std::string>{"t57 00\r", "t57 05 01 01 01\r"}), port->Writes());
}

// --- The scan of the field -----------------------------------------------------------------------

class TemicScanTest : public TemicTest {
 protected:
  void SetUp() override {
    TemicTest::SetUp();
    context.Temic.Enabled = true;
  }
};

TEST_F(TemicScanTest, EmptyFieldCycleIsFourReadsThenThePlainStepAndItsPause) {
  tag.SetInField(false);
  const std::vector<std::string> steps = {"t57 05 81 02 00\r", "t57 05 81 01 01\r", "t57 05 81 02 01\r",
                                          "t57 05 81 01 00\r", "t57 00\r"};
  for (int cycle = 0; cycle < 2; ++cycle) {
    const size_t before = port->Writes().size();
    for (size_t i = 0; i < steps.size(); ++i) {
      Poll();
      ASSERT_EQ(before + i + 1, port->Writes().size()) << "cycle " << cycle << " step " << i;
      EXPECT_EQ(steps[i], port->Writes().back());
      EXPECT_EQ(i + 1 < steps.size() ? 0u : 1000u, reader.NextWait) << "step " << i;
    }
    EXPECT_EQ(size_t(2 * (cycle + 1)), events.Count("temic"));
    EXPECT_FALSE(reader.StatusFlags & RSF_TEMIC_CYCLE);
    // The pause: nothing before 1000 ms have passed.
    clock.Advance(999);
    Poll();
    EXPECT_EQ(before + steps.size(), port->Writes().size());
    EXPECT_EQ(1u, reader.NextWait);
    clock.Advance(1);
  }
  EXPECT_EQ(0u, events.Count("found"));
}

TEST_F(TemicScanTest, TransponderIsFoundWithItsBlocksAndLostAtTheCycleEnd) {
  context.Temic.Flags = TF_DATA;
  context.Temic.Block = 6;
  context.Temic.Count = 4;
  Poll();  // (2, 0): no answer
  Poll();  // (1, 1): the ID and blocks 6 and 7
  EXPECT_EQ((std::vector<std::string>{"t57 05 81 02 00\r", "t57 05 81 01 01\r", "t57 05 82 01 01\r",
                                      "t57 05 06 01 01\r", "t57 05 07 01 01\r"}),
            port->Writes());
  EXPECT_EQ((std::vector<std::string>{"temic", "found"}), events.Kinds());
  {
    CCriticalSectionLock lock(&reader.Lock);
    ASSERT_EQ(1u, reader.Keys.size());
    const _KEY_INFO& key = reader.Keys[0];
    EXPECT_EQ(UINT(KT_TEMIC), key.KeyType);
    EXPECT_EQ(Bytes({0x3A, 0x12, 0x34, 0x56, 0x78}), KeyBytes(key.Uid));
    EXPECT_EQ(0, key.NumberStatus);
    EXPECT_EQ(Bytes({0x60, 6, 0xA0, 0xF6, 0x70, 7, 0xA0, 0xF7}), KeyBytes(key.Number));
    EXPECT_EQ(0x0101, key.Param);
  }
  EXPECT_EQ(reader.KeyPollPeriod, reader.NextWait);

  // Still there: it answers at its entry again, and is not reported again.
  clock.Advance(reader.KeyPollPeriod);
  Poll();
  EXPECT_EQ((std::vector<std::string>{"t57 05 81 01 01\r", "t57 05 82 01 01\r"}), SentSince(5));
  EXPECT_EQ(2u, events.Events().size());

  tag.SetInField(false);
  clock.Advance(reader.KeyPollPeriod);
  for (int i = 0; i < 4; ++i) Poll();  // (1, 1), (2, 1), (1, 0), then "t57 00" ends the cycle
  EXPECT_EQ("t57 00\r", port->Writes().back());
  EXPECT_EQ((std::vector<std::string>{"temic", "found", "lost", "temic"}), events.Kinds());
  EXPECT_EQ(L"785634123A", events.Events()[2].Uid);
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_EQ(0, events.CallsUnderLock());
}

TEST_F(TemicScanTest, FullIdInUidMode) {
  context.Temic.Flags = TF_FULL_ID;
  context.Temic.ScanParams = {Entry(1, 1), Entry(0xFF, 0, 1000)};
  Poll();
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(Bytes({0, 0, 0, 0x3A, 0x12, 0x34, 0x56, 0x78}), KeyBytes(reader.Keys[0].Uid));
  EXPECT_EQ(1, reader.Keys[0].NumberStatus);
  EXPECT_EQ(2u, port->Writes().size());
}

TEST_F(TemicScanTest, FoundAtTheLastEntryKeepsTheCycleOpen) {
  context.Temic.ScanParams = {Entry(2, 0), Entry(1, 1)};
  Poll();
  Poll();
  EXPECT_EQ((std::vector<std::string>{"temic", "found"}), events.Kinds());
  EXPECT_TRUE(reader.StatusFlags & RSF_TEMIC_CYCLE);
  EXPECT_EQ(1, reader.ScanIndex);
  clock.Advance(reader.KeyPollPeriod);
  Poll();
  EXPECT_EQ((std::vector<std::string>{"temic", "found"}), events.Kinds());
  ASSERT_EQ(1u, reader.Keys.size());
}

TEST_F(TemicScanTest, NumberReadAgainAfterAFailureHoldsOnlyTheFreshBlocks) {
  context.Temic.Flags = TF_DATA;
  context.Temic.Block = 1;
  context.Temic.Count = 2;
  context.Temic.ScanParams = {Entry(1, 1), Entry(0xFF, 0, 1000)};
  bool failed = false;
  tag.OnRequest = [&](const std::string& request) {
    if (request == "t57 05 02 01 01" && !failed) {
      failed = true;
      tag.QueueAnswers({"ERR"});
    }
  };
  Poll();
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(VOMBRA_E_READER_ERROR, reader.Keys[0].NumberStatus);
  EXPECT_EQ((std::vector<std::string>{"temic", "found", "numberError"}), events.Kinds());

  clock.Advance(reader.KeyPollPeriod);
  Poll();
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  EXPECT_EQ(Bytes({0x10, 1, 0xA0, 0xF1, 0x20, 2, 0xA0, 0xF2}), KeyBytes(reader.Keys[0].Number));
  // Reported anew: the old record goes, the one with its number comes.
  EXPECT_EQ((std::vector<std::string>{"temic", "found", "numberError", "lost", "found"}), events.Kinds());
}

TEST_F(TemicScanTest, BlockSettingAbove7IsANumberError) {
  context.Temic.Flags = TF_DATA;
  context.Temic.Block = 8;
  context.Temic.ScanParams = {Entry(1, 1)};
  Poll();
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(E_INVALIDARG, reader.Keys[0].NumberStatus);
  EXPECT_EQ(2u, port->Writes().size());  // the ID only
}

TEST_F(TemicScanTest, WithoutTheTemicKeyTypeCyclesRunButReportNothing) {
  context.KeyTypes = KEY_TYPES_ALL & ~(1u << KT_TEMIC);
  for (int i = 0; i < 5; ++i) Poll();
  EXPECT_EQ((std::vector<std::string>{"t57 00\r"}), port->Writes());
  EXPECT_EQ((std::vector<std::string>{"temic", "temic"}), events.Kinds());
}

TEST_F(TemicScanTest, EmptyListStopsTheScanUntilTheNextConnect) {
  context.Temic.ScanParams = {};
  Poll();
  EXPECT_EQ(INFINITE, reader.ScanInterval);
  context.Temic = _SETTINGS_INFO().Temic;
  context.Temic.Enabled = true;
  clock.Advance(100000);
  Poll();
  EXPECT_TRUE(port->Writes().empty());
  EXPECT_TRUE(events.Events().empty());

  // A transponder held from before must not spare a later command its search either.
  reader.HeldKeyType = KT_TEMIC;
  reader.HeldUid.Length = 5;
  reader.ScanIndex = 3;
  reader.State = RS_DISCONNECTED;
  ASSERT_TRUE(reader.Connect());
  EXPECT_EQ(0u, reader.ScanInterval);
  EXPECT_EQ(-1, reader.ScanIndex);
  EXPECT_EQ(0u, reader.HeldKeyType);
  Poll();
  EXPECT_EQ("t57 05 81 02 00\r", port->Writes().back());
}

TEST_F(TemicScanTest, HeldTransponderPausesTheScanForTheHoldTime) {
  context.IdentKeyDelay = 2000;
  context.DelayKeyTypes = DKT_TEMIC;
  context.Temic.ScanParams = {Entry(1, 1)};
  Poll();
  EXPECT_TRUE(reader.StatusFlags & RSF_HOLD);
  EXPECT_EQ(0x0101, reader.HeldParam);
  EXPECT_LE(reader.NextWait, 2000u);
  const size_t sent = port->Writes().size();
  clock.Advance(1999);
  Poll();
  EXPECT_EQ(sent, port->Writes().size());
  EXPECT_EQ(1u, reader.NextWait);
  clock.Advance(1);
  Poll();
  EXPECT_FALSE(reader.StatusFlags & RSF_HOLD);
  EXPECT_EQ(sent + 2, port->Writes().size());  // the same entry again
}

// After the hold that follows a command the scan goes on only when Temic reading is on.
class HoldEndTest : public TemicTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HoldEndTest, ScanStepFollowsOnlyWithAutomaticReading) {
  const bool automatic = GetParam();
  context.Temic.Enabled = automatic;
  context.IdentKeyDelay = 500;
  ASSERT_EQ(S_OK, Run(Find(0x0101)));
  ASSERT_TRUE(reader.StatusFlags & RSF_HOLD);
  const size_t sent = port->Writes().size();
  clock.Advance(500);
  Poll();
  EXPECT_FALSE(reader.StatusFlags & RSF_HOLD);
  EXPECT_EQ(automatic ? sent + 1 : sent, port->Writes().size());
  EXPECT_EQ(automatic ? 1u : 0u, events.Count("temic"));
}

INSTANTIATE_TEST_SUITE_P(AutoTemic, HoldEndTest, ::testing::Values(false, true));

// --- Through the reader's own thread -------------------------------------------------------------

// The same reader and transponder behind a fake port that waits in real time, for the thread.
class TemicOverTheReaderThread : public ReaderFixture {
 protected:
  void SetUp() override { UseRealTime(); }

  CTemicTransponder tag;
};

TEST_F(TemicOverTheReaderThread, ConnectScanAndCommand) {
  context.Temic = _SETTINGS_INFO().Temic;
  context.Temic.Enabled = true;
  context.IdentKeyDelay = 0;
  SimIdentity identity;
  identity.ModelName = "KD-6 C";
  identity.HwCode = 0x302;
  auto* port = AddPort(new CSimFakePort(identity));
  tag.SetPair(2, 1);
  port->Model.Temic = tag.Hook();
  reader.Init(&events, L"COM3");
  reader.SetTimeouts(1000, 3000, INFINITE, 1000, 2);
  reader.Start();

  ASSERT_TRUE(events.WaitFor("found", 1, 10000));
  auto cmd = std::make_shared<_CMD_RWTEMIC_INFO>();
  cmd->Command = CMD_WRITE_TEMIC;
  cmd->Handler = &CReader::CmdWriteTemic;
  cmd->Block = 2;
  cmd->Count = 1;
  cmd->Data = Bytes({0xC0, 0xFF, 0xEE, 0x00});
  PostCommand(reader, cmd);
  SetEvent(reader.WakeEvent);
  ASSERT_TRUE(events.WaitFor("command", 1, 10000));
  reader.Stop();
  EXPECT_EQ(S_OK, reader.CommandStatus);
  EXPECT_EQ((TemicBlock{0xC0, 0xFF, 0xEE, 0x00}), tag.Block(2));
  EXPECT_EQ(0x0102u, cmd->Parameter);  // first byte + 256 x second
  EXPECT_EQ(0, events.CallsUnderLock());
}

}  // namespace
