// Card commands against the simulated binary-mode device: the mode and model matrix, Mifare Classic
// and Plus reads and writes walking the card (exact frames, wrap, trailers, refusals), the
// authentication retry, key storage, signal patterns with their end, commands broken midway, and the
// hold after a command.
#include "CardCommandFixture.h"

#include "Messages.h"
#include "ProtoBinary.h"

namespace {

const char kUid[] = "04 01 02 03";

// --- Mode and model matrix ----------------------------------------------------------------------

struct ModeRow {
  const char* Name;
  UINT Mode;
  UINT Model;
  // Per command code 1..8: 'Y' runs, 'N' is refused with "Command is not supported.", '-' not here.
  const char* Runs;
};

const ModeRow kModeRows[] = {
    {"text, model 1", PM_TEXT, RM_KD6_A, "YYNNNNNN"},
    {"text, model 2", PM_TEXT, RM_ORVEL_3A, "YYNNNNNN"},
    {"text, model 3", PM_TEXT, RM_KD6_B, "YYNNNNNN"},
    {"text, model 6", PM_TEXT, RM_KD6_C, "NYNNNNNN"},
    {"binary", PM_BINARY, RM_KD6_B, "YYYYYYYY"},
    {"framed", PM_FRAMED, RM_PX2210, "NNNNNNNN"},
    {"converter", PM_CONVERTER, RM_KD6_A, "NNNNNNNN"},
    {"PC/SC", PM_CCID, RM_KD6_G, "----NNNN"},
};

// CardCommandFixture (CardCommandFixture.h, on the shared ReaderFixture): a KD-6 B connected in binary
// mode on the fake port to the simulated device, no key hold; Run posts a record and runs its handler on
// the test's thread as the reader thread would.
using CardCommandModeTest = CardCommandFixture;

TEST_F(CardCommandModeTest, ModeAndModelMatrix) {
  for (const ModeRow& row : kModeRows) {
    for (UINT code = 1; code <= 8; ++code) {
      const char runs = row.Runs[code - 1];
      if (runs == '-') continue;
      std::shared_ptr<_CMD_INFO> record;
      if (code <= 2) {
        auto ul = Pages(code, 4, 1);
        ul->Data = VectorOf(Bytes("01 02 03 04"));
        record = ul;
      } else if (code <= 6) {
        auto mc = Blocks(code, 1, 0, 1);
        mc->Data.assign(16, 0x5A);
        record = mc;
      } else if (code == 7) {
        auto keys = MakeCommand<_CMD_WRITEKEYSM_INFO>(code, &CReader::CmdWriteMifareKeys, 1);
        keys->Keys.push_back(AuthKey(std::string(6, '\x42')));
        record = keys;
      } else {
        auto sign = MakeCommand<_CMD_SIGN_INFO>(code, &CReader::CmdSignal, 1);
        sign->Pattern = L"1 100";
        record = sign;
      }
      reader.Mode = row.Mode;
      reader.Model = row.Model;
      const size_t writes = port->Writes().size();
      events.Clear();
      const HRESULT status = Run(record);
      EXPECT_EQ(1u, events.Count("command")) << row.Name << ", code " << code;
      if (runs == 'N') {
        EXPECT_EQ(VOMBRA_E_NOT_SUPPORTED, status) << row.Name << ", code " << code;
        EXPECT_EQ(writes, port->Writes().size()) << row.Name << ", code " << code;
      } else {
        EXPECT_NE(VOMBRA_E_NOT_SUPPORTED, status) << row.Name << ", code " << code;
        EXPECT_LT(writes, port->Writes().size()) << row.Name << ", code " << code;
      }
    }
  }
}

// --- Mifare Classic -----------------------------------------------------------------------------

using ClassicCommandTest = CardCommandFixture;

TEST_F(ClassicCommandTest, ReadSendsTheseFrames) {
  AddCard(Classic1KCard(kUid));
  auto read = Blocks(CMD_READ_MIFARE_C, 0, 1, 1);
  EXPECT_EQ(S_OK, Run(read));
  const std::vector<std::string> expected = {
      "02 01 09 23 00 0A 00 39 00",                      // search start
      "02 02 07 45 00 50 00",                            // select: SAK 08
      "02 03 07 48 00 54 00",                            // no ATS: a Classic 1K, left activated
      "02 04 07 24 00 31 00",                            // search end
      "02 05 0B 46 81 04 01 02 03 E3 00",                // selected again by its UID
      "02 06 0E 50 02 01 FF FF FF FF FF FF 63 06",       // key A for block 1
      "02 07 07 51 01 62 00",                            // read block 1
  };
  std::vector<std::string> writes;
  for (const std::string& w : port->Writes()) writes.push_back(HexText(w));
  EXPECT_EQ(expected, writes);
  EXPECT_EQ("10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F", HexText(DataOf(read->Data)));
  EXPECT_EQ(1u, read->Done);
  EXPECT_EQ(1u, events.Count("command"));
}

TEST_F(ClassicCommandTest, ReadWrapsFromTheLastBlockToBlockZero) {
  AddCard(Classic1KCard(kUid));
  auto read = Blocks(CMD_READ_MIFARE_C, 15, 2, 5);
  EXPECT_EQ(S_OK, Run(read));
  // Blocks 62 and 63 of sector 15, then sector 0 opened and blocks 0, 1, 2.
  EXPECT_EQ((std::vector<std::string>{"02 3E FF FF FF FF FF FF", "02 00 FF FF FF FF FF FF"}), Payloads(0x50));
  EXPECT_EQ((std::vector<std::string>{"3E", "3F", "00", "01", "02"}), Payloads(0x51));
  const std::string expected = Memory(0, 62 * 16, 32) + Memory(0, 0, 48);
  EXPECT_EQ(HexText(expected), HexText(DataOf(read->Data)));
  EXPECT_EQ(5u, read->Done);
}

TEST_F(ClassicCommandTest, SkippedTrailersAreNeitherReadNorCounted) {
  AddCard(Classic1KCard(kUid));
  auto read = Blocks(CMD_READ_MIFARE_C, 1, 0, 4);
  read->SkipTrailers = 1;
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ((std::vector<std::string>{"04", "05", "06", "08"}), Payloads(0x51));
  EXPECT_EQ(HexText(Memory(0, 4 * 16, 48) + Memory(0, 8 * 16, 16)), HexText(DataOf(read->Data)));
  EXPECT_EQ(4u, read->Done);
}

TEST_F(ClassicCommandTest, WriteThenReadGivesTheDataBack) {
  AddCard(Classic1KCard(kUid));
  std::string data;
  for (int i = 0; i < 48; ++i) data += char(0xC0 + i);
  const std::string trailer = Memory(0, 11 * 16, 16);
  auto write = Blocks(CMD_WRITE_MIFARE_C, 2, 1, 3);
  write->SkipTrailers = 1;
  write->Data = VectorOf(data);
  EXPECT_EQ(S_OK, Run(write));
  EXPECT_EQ(3u, write->Done);
  // Blocks 9, 10 and, past the trailer 11, block 12 of sector 3 (opened with its own key A).
  const std::vector<std::string> writes = Payloads(0x52);
  ASSERT_EQ(3u, writes.size());
  EXPECT_EQ("09", writes[0].substr(0, 2));
  EXPECT_EQ("0A", writes[1].substr(0, 2));
  EXPECT_EQ("0C", writes[2].substr(0, 2));
  EXPECT_EQ((std::vector<std::string>{"02 09 FF FF FF FF FF FF", "02 0C FF FF FF FF FF FF"}), Payloads(0x50));
  EXPECT_EQ(trailer, Memory(0, 11 * 16, 16));
  Commands();

  auto read = Blocks(CMD_READ_MIFARE_C, 2, 1, 3);
  read->SkipTrailers = 1;
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ(HexText(data), HexText(DataOf(read->Data)));
}

struct PaddingCase {
  const char* Name;
  int Block;  // in sector 0
  int Count;
  size_t DataBytes;
  BYTE SkipTrailers;
  HRESULT Status;
  const char* BlocksWritten;
};

const PaddingCase kPaddingCases[] = {
    {"trailer given all its bytes", 2, 2, 32, 0, S_OK, "02 03"},
    {"trailer given 4 bytes", 2, 2, 20, 0, E_INVALIDARG, ""},
    {"trailer given no bytes", 0, 4, 48, 0, E_INVALIDARG, ""},
    {"trailer skipped, the next block padded", 2, 2, 20, 1, S_OK, "02 04"},
    {"data block padded entirely", 0, 1, 0, 0, S_OK, "00"},
};

TEST_F(ClassicCommandTest, ZeroPaddingNeverReachesATrailer) {
  for (const PaddingCase& c : kPaddingCases) {
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model = CBinaryReaderModel(SimIdentity());
      port->Model.Binary = true;
      port->Model.AddCard(Classic1KCard(kUid));
    }
    reader.HeldKeyType = 0;
    auto write = Blocks(CMD_WRITE_MIFARE_C, 0, c.Block, c.Count);
    write->SkipTrailers = c.SkipTrailers;
    for (size_t i = 0; i < c.DataBytes; ++i) write->Data.push_back(BYTE(0x30 + i));
    EXPECT_EQ(c.Status, Run(write)) << c.Name;
    std::string blocks;
    for (const std::string& p : Payloads(0x52)) blocks += (blocks.empty() ? "" : " ") + p.substr(0, 2);
    EXPECT_EQ(c.BlocksWritten, blocks) << c.Name;
    if (c.Status != S_OK) {
      EXPECT_TRUE(Payloads(0x50).empty()) << c.Name;
    }
    Commands();
  }
  // A block that takes the padding keeps the bytes given and zeros after them.
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model = CBinaryReaderModel(SimIdentity());
    port->Model.Binary = true;
    port->Model.AddCard(Classic1KCard(kUid));
  }
  reader.HeldKeyType = 0;
  auto write = Blocks(CMD_WRITE_MIFARE_C, 0, 2, 2);
  write->SkipTrailers = 1;
  write->Data = VectorOf(Bytes("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 21 22 23 24"));
  ASSERT_EQ(S_OK, Run(write));
  EXPECT_EQ("21 22 23 24 00 00 00 00 00 00 00 00 00 00 00 00", HexText(Memory(0, 4 * 16, 16)));
}

struct BoundsCase {
  const char* Name;
  int Sector, Block, Count;
};

const BoundsCase kBoundsCases[] = {
    {"sector 16 of a 1K card", 16, 0, 1},
    {"negative sector", -1, 0, 1},
    {"block 4 of a small sector", 0, 4, 1},
    {"negative block", 0, -1, 1},
    {"more blocks than any card has", 0, 0, 257},
};

TEST_F(ClassicCommandTest, OutOfRangeIsRefusedWithoutReadingOrWriting) {
  AddCard(Classic1KCard(kUid));
  for (const BoundsCase& c : kBoundsCases) {
    for (UINT code : {UINT(CMD_READ_MIFARE_C), UINT(CMD_WRITE_MIFARE_C)}) {
      auto record = Blocks(code, c.Sector, c.Block, c.Count);
      record->Data.assign(size_t(16) * 300, 0x11);
      EXPECT_EQ(E_INVALIDARG, Run(record)) << c.Name << ", code " << code;
      const std::string commands = Commands();
      EXPECT_EQ(std::string::npos, commands.find("50")) << c.Name << ", code " << code;
      EXPECT_EQ(std::string::npos, commands.find("52")) << c.Name << ", code " << code;
    }
  }
}

struct RetryCase {
  const char* Name;
  int Refusals;
  BYTE Status;
  HRESULT Result;
  const char* Requests;  // of the second read, which starts with the card held by the first
};

const RetryCase kRetryCases[] = {
    {"wrong key: no retry", 1, 8, VOMBRA_E_KEY_AUTH, "50"},
    {"card lost once: selected again", 1, 5, S_OK, "50 23 45 48 24 46 50 51"},
    {"card lost twice: one retry only", 2, 5, VOMBRA_E_NO_KEY, "50 23 45 48 24 46 50"},
};

TEST_F(ClassicCommandTest, FailedAuthenticationIsRetriedOnceUnlessTheKeyIsWrong) {
  AddCard(Classic1KCard(kUid));
  for (const RetryCase& c : kRetryCases) {
    ASSERT_EQ(S_OK, Run(Blocks(CMD_READ_MIFARE_C, 1, 0, 1))) << c.Name;
    ASSERT_EQ(UINT(KT_MIFARE_1K), reader.HeldKeyType);
    Commands();
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model.RefuseAuth = c.Refusals;
      port->Model.RefuseAuthStatus = c.Status;
    }
    auto read = Blocks(CMD_READ_MIFARE_C, 1, 0, 1);
    EXPECT_EQ(c.Result, Run(read)) << c.Name;
    EXPECT_EQ(c.Requests, Commands()) << c.Name;
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model.RefuseAuth = 0;
    }
  }
}

TEST_F(ClassicCommandTest, NoClassicCardInTheField) {
  AddCard(UltralightCard("04 11 22 33 44 55 66"));
  auto read = Blocks(CMD_READ_MIFARE_C, 0, 0, 1);
  EXPECT_EQ(VOMBRA_E_NO_KEY, Run(read));
  // The search is closed again.
  EXPECT_EQ("23 45 24", Commands());
  EXPECT_EQ(0u, reader.HeldKeyType);
}

TEST_F(ClassicCommandTest, SelectionClosesAnOpenScanPassWithoutItsEnd) {
  context.DelayKeyTypes = DKT_MIFARE_CLASSIC;
  context.IdentKeyDelay = 1000;
  AddCard(Classic1KCard(kUid));
  AddCard(Classic1KCard("04 09 09 09"));
  reader.ScanBinary(false);
  ASSERT_EQ(0, reader.ScanIndex);
  ASSERT_EQ(1u, events.Count("found"));
  reader.HeldKeyType = 0;  // a held card of the scan would be used as it is
  Commands();
  EXPECT_EQ(S_OK, Run(Blocks(CMD_READ_MIFARE_C, 0, 0, 1)));
  EXPECT_EQ(-1, reader.ScanIndex);
  EXPECT_EQ(0u, events.Count("lost"));
  ASSERT_EQ(1u, reader.Keys.size());
}

// --- Stored keys --------------------------------------------------------------------------------

using KeyStoreTest = CardCommandFixture;

std::shared_ptr<_CMD_WRITEKEYSM_INFO> StoreKeys(UINT firstSlot, const std::vector<_AUTHKEY_INFO>& keys) {
  auto record = MakeCommand<_CMD_WRITEKEYSM_INFO>(CMD_WRITE_MIFARE_KEYS, &CReader::CmdWriteMifareKeys,
                                                  UINT(keys.size()));
  record->FirstSlot = firstSlot;
  record->Keys = keys;
  return record;
}

TEST_F(KeyStoreTest, FortyKeysFillTheThirtyTwoSlots) {
  std::vector<_AUTHKEY_INFO> keys;
  for (int i = 0; i < 40; ++i) keys.push_back(AuthKey(std::string(6, char(i))));
  auto record = StoreKeys(0, keys);
  EXPECT_EQ(S_OK, Run(record));
  const std::vector<std::string> sent = Payloads(0x5F);
  ASSERT_EQ(32u, sent.size());
  EXPECT_EQ("00 00 00 00 00 00 00 00", sent[0]);
  EXPECT_EQ("00 0F 0F 0F 0F 0F 0F 0F", sent[15]);
  EXPECT_EQ("01 00 10 10 10 10 10 10", sent[16]);
  EXPECT_EQ("01 0F 1F 1F 1F 1F 1F 1F", sent[31]);
  EXPECT_EQ(0u, record->Done);
}

TEST_F(KeyStoreTest, KeyShapes) {
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.StoredKeys.assign(32, Bytes("EE EE EE EE EE EE"));
  }
  const std::vector<_AUTHKEY_INFO> keys = {
      AuthKey(Bytes("A1 A2 A3")),  // short: padded with FF to six bytes
      AuthKey(""),                 // keeps slot 18 as it is
      AuthKey(Bytes("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11")),  // long: its first 16
      AuthKey(Bytes("B1 B2 B3 B4 B5 B6 B7")),                                    // first six
  };
  EXPECT_EQ(S_OK, Run(StoreKeys(17, keys)));
  EXPECT_EQ((std::vector<std::string>{"01 01 A1 A2 A3 FF FF FF",
                                      "01 03 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F",
                                      "01 04 B1 B2 B3 B4 B5 B6"}),
            Payloads(0x5F));
  std::lock_guard<std::mutex> hold(port->Mutex);
  EXPECT_EQ("EE EE EE EE EE EE", HexText(port->Model.StoredKeys[18]));
}

TEST_F(KeyStoreTest, FirstSlotBounds) {
  const std::vector<_AUTHKEY_INFO> keys = {AuthKey(std::string(6, '\x01'))};
  EXPECT_EQ(E_INVALIDARG, Run(StoreKeys(33, keys)));
  EXPECT_EQ(S_OK, Run(StoreKeys(32, keys)));
  EXPECT_EQ("", Commands());
}

TEST_F(KeyStoreTest, StoredKeysOpenClassicAndPlusSectors) {
  SimCard classic = Classic1KCard(kUid);
  classic.SectorKey = Bytes("12 34 56 78 9A BC");
  AddCard(classic);
  const std::string plusKey = Bytes("0F 0E 0D 0C 0B 0A 09 08 07 06 05 04 03 02 01 00");
  std::vector<_AUTHKEY_INFO> keys(7);
  keys[5] = AuthKey(Bytes("12 34 56 78 9A BC"));
  keys[6] = AuthKey(plusKey);
  ASSERT_EQ(S_OK, Run(StoreKeys(0, keys)));

  auto read = Blocks(CMD_READ_MIFARE_C, 2, 1, 1);
  read->Flags = MCF_STORED_KEYS;
  read->KeyMask = 0xFFFFFFFF;
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ(5, read->KeyIndex);
  EXPECT_EQ(HexText(Memory(0, 9 * 16, 16)), HexText(DataOf(read->Data)));

  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.RemoveCard(Bytes(kUid));
    SimCard plus = Plus4KCard("04 44 44 44 44 44 44");
    plus.PlusKey = plusKey;
    port->Model.AddCard(plus);
  }
  auto plusRead = Blocks(CMD_READ_MIFARE_P, 3, 0, 1);
  plusRead->Flags |= MCF_STORED_KEYS;
  plusRead->KeyMask = 0x40;
  EXPECT_EQ(S_OK, Run(plusRead));
  EXPECT_EQ(6, plusRead->KeyIndex);
}

// --- Mifare Plus --------------------------------------------------------------------------------

using PlusCommandTest = CardCommandFixture;

TEST_F(PlusCommandTest, WriteThenReadGivesTheDataBack) {
  AddCard(Plus4KCard("04 44 44 44 44 44 44"));
  std::string data;
  for (int i = 0; i < 32; ++i) data += char(0x80 + i);
  auto write = Blocks(CMD_WRITE_MIFARE_P, 32, 0, 2);
  write->Data = VectorOf(data);
  EXPECT_EQ(S_OK, Run(write));
  // Sector 32 begins at block 128 (80 00); its key A sits at 0x4000 + 2 x 32 = 0x4040.
  const std::vector<std::string> writes = Payloads(0x62);
  ASSERT_EQ(2u, writes.size());
  EXPECT_EQ("02 80 00 01 " + HexText(data.substr(0, 16)), writes[0]);
  EXPECT_EQ("02 81 00 01 " + HexText(data.substr(16)), writes[1]);
  const std::vector<std::string> auths = Payloads(0x60);
  ASSERT_FALSE(auths.empty());
  EXPECT_EQ("02 40 40 " + HexText(std::string(16, '\x11')), auths.back());
  EXPECT_EQ(HexText(data), HexText(Memory(0, 128 * 16, 32)));
  Commands();

  auto read = Blocks(CMD_READ_MIFARE_P, 32, 0, 2);
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ(HexText(data), HexText(DataOf(read->Data)));
  EXPECT_EQ((std::vector<std::string>{"02 80 00 01", "02 81 00 01"}), Payloads(0x61));
}

TEST_F(PlusCommandTest, KeyBAndModeFlagShapeTheRequests) {
  AddCard(Plus4KCard("04 44 44 44 44 44 44"));
  auto read = Blocks(CMD_READ_MIFARE_P, 1, 2, 1);
  read->Flags = MCF_KEY_B;  // and mode 0
  EXPECT_EQ(S_OK, Run(read));
  EXPECT_EQ("02 03 40 " + HexText(std::string(16, '\x11')), Payloads(0x60).back());
  EXPECT_EQ((std::vector<std::string>{"00 06 00 01"}), Payloads(0x61));
}

TEST_F(PlusCommandTest, ClassicCardIsNoPlusCard) {
  AddCard(Classic1KCard(kUid));
  for (UINT code : {UINT(CMD_READ_MIFARE_P), UINT(CMD_WRITE_MIFARE_P)}) {
    auto record = Blocks(code, 0, 1, 1);
    record->Data.assign(16, 0x22);
    EXPECT_EQ(VOMBRA_E_NO_KEY, Run(record)) << code;
    EXPECT_TRUE(Payloads(0x62).empty()) << code;
    Commands();
  }
}

// --- Signal patterns ----------------------------------------------------------------------------

using SignalCommandTest = CardCommandFixture;

std::shared_ptr<_CMD_SIGN_INFO> Signal(const wchar_t* pattern, BYTE restart) {
  auto record = MakeCommand<_CMD_SIGN_INFO>(CMD_SIGNAL, &CReader::CmdSignal, 1);
  record->Pattern = pattern;
  record->Restart = restart;
  return record;
}

TEST_F(SignalCommandTest, PatternStepsAndTheirEnd) {
  reader.KeyPollPeriod = INFINITE;  // no scan passes in between
  EXPECT_EQ(S_OK, Run(Signal(L"123 500;200 250", 1)));
  // 0xC0 | 3 | 2 << 2 | 1 << 4 for 500 ms = 8/16 s; then 0x40 | 2 for 250 ms = 4/16 s.
  EXPECT_EQ((std::vector<std::string>{"DB 08", "42 04"}), Payloads(0x20));
  EXPECT_NE(0u, reader.StatusFlags & RSF_SIGNAL);
  EXPECT_EQ(750u, reader.SignalDuration);
  Commands();

  clock.Advance(700);
  reader.NextWait = INFINITE;
  reader.BinaryModePoll();
  EXPECT_EQ("", Commands());
  EXPECT_EQ(50u, reader.NextWait);

  // Another pattern while this one runs adds its time: 3 x 1/16 s of a plain step.
  EXPECT_EQ(S_OK, Run(Signal(L" 3 3 3 187", 0)));
  EXPECT_EQ((std::vector<std::string>{"55 02"}), Payloads(0x20));
  EXPECT_EQ(875u, reader.SignalDuration);
  Commands();

  clock.Advance(174);
  reader.BinaryModePoll();
  EXPECT_EQ("", Commands());
  clock.Advance(1);
  reader.BinaryModePoll();
  // The field is empty: the steady indication for an empty field.
  EXPECT_EQ((std::vector<std::string>{"AB 00"}), Payloads(0x20));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_SIGNAL);
}

TEST_F(SignalCommandTest, RestartStartsTheTotalAfresh) {
  reader.KeyPollPeriod = INFINITE;
  ASSERT_EQ(S_OK, Run(Signal(L"100 1000", 1)));
  clock.Advance(400);
  ASSERT_EQ(S_OK, Run(Signal(L"200 500", 1)));
  EXPECT_EQ(500u, reader.SignalDuration);
  EXPECT_EQ(clock.Now(), reader.SignalStart);
}

TEST_F(SignalCommandTest, ReplyWithBothTopBitsStopsThePattern) {
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    port->Model.SignalReply = 0xC1;
  }
  EXPECT_EQ(S_OK, Run(Signal(L"100 100;200 100;300 100", 1)));
  EXPECT_EQ((std::vector<std::string>{"C3 01"}), Payloads(0x20));
  EXPECT_EQ(0u, reader.SignalDuration);
}

TEST_F(SignalCommandTest, EmptyPatternSetsTheSteadyIndication) {
  EXPECT_EQ(S_OK, Run(Signal(L"", 0)));
  _KEY_INFO key;
  key.KeyType = KT_MIFARE_1K;
  reader.Keys.push_back(key);
  EXPECT_EQ(S_OK, Run(Signal(L"", 0)));
  EXPECT_EQ((std::vector<std::string>{"AB 00", "AE 00"}), Payloads(0x20));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_SIGNAL);
}

TEST_F(SignalCommandTest, StepsShortOfSignsOrTime) {
  // The text ends after two signs: the third is 0 and so is the time.
  EXPECT_EQ(S_OK, Run(Signal(L"12", 1)));
  EXPECT_EQ((std::vector<std::string>{"CB 00"}), Payloads(0x20));
  Commands();
  // No number after the signs: time 0, and 'x' is the first sign of a second step.
  EXPECT_EQ(S_OK, Run(Signal(L"123 x", 1)));
  EXPECT_EQ((std::vector<std::string>{"DB 00", "40 00"}), Payloads(0x20));
  Commands();
  // Longer than 255/16 s: the longest step the reader takes.
  EXPECT_EQ(S_OK, Run(Signal(L"100 60000", 1)));
  EXPECT_EQ((std::vector<std::string>{"C3 FF"}), Payloads(0x20));
}

// --- Broken commands and the hold ---------------------------------------------------------------

using CommandLifeTest = CardCommandFixture;

TEST_F(CommandLifeTest, BrokenOrReplacedCommandStopsBeforeItsNextBlock) {
  for (bool replace : {false, true}) {
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model = CBinaryReaderModel(SimIdentity());
      port->Model.Binary = true;
      port->Model.AddCard(Classic1KCard(kUid));
      int reads = 0;
      port->Model.OnRequest = [this, replace, reads](const CBinaryReaderModel::Request& r) mutable {
        if (r.Command != 0x51 || ++reads != 2) return;
        if (replace) {
          PostCommand(reader, Blocks(CMD_READ_MIFARE_C, 0, 0, 1));
        } else {
          reader.BreakCommand();
        }
      };
    }
    events.Clear();
    reader.HeldKeyType = 0;
    auto read = Blocks(CMD_READ_MIFARE_C, 1, 0, 3);
    const HRESULT status = Run(read);
    EXPECT_EQ(replace ? E_PENDING : E_ABORT, status) << replace;
    EXPECT_EQ(2u, Payloads(0x51).size()) << replace;
    EXPECT_EQ(2u, read->Done) << replace;
    EXPECT_EQ(0u, events.Count("command")) << replace;
    Commands();
  }
}

TEST_F(CommandLifeTest, HoldAfterACommandPausesTheScan) {
  context.IdentKeyDelay = 1000;
  AddCard(Classic1KCard(kUid));
  reader.NextWait = INFINITE;
  ASSERT_EQ(S_OK, Run(Blocks(CMD_READ_MIFARE_C, 0, 1, 1)));
  EXPECT_NE(0u, reader.StatusFlags & RSF_HOLD);
  EXPECT_EQ(clock.Now(), reader.HoldStart);
  EXPECT_EQ(1000u, reader.NextWait);
  Commands();
  clock.Advance(999);
  reader.BinaryModePoll();
  EXPECT_EQ("", Commands());
  clock.Advance(1);
  reader.BinaryModePoll();
  EXPECT_EQ("23", Commands().substr(0, 2));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_HOLD);
}

TEST_F(CommandLifeTest, UnlimitedHoldEndsOnlyByContinueScanning) {
  context.IdentKeyDelay = INFINITE;
  AddCard(Classic1KCard(kUid));
  ASSERT_EQ(S_OK, Run(Blocks(CMD_READ_MIFARE_C, 0, 1, 1)));
  Commands();
  for (int i = 0; i < 4; ++i) {
    clock.Advance(10000);
    reader.BinaryModePoll();
  }
  // Only the keep-alives of 40 s.
  EXPECT_EQ("2F 2F", Commands());
  reader.Changes |= RC_CONTINUE_SCAN;
  reader.ApplyChanges();
  reader.BinaryModePoll();
  EXPECT_EQ("23", Commands().substr(0, 2));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_HOLD);
}

TEST_F(CommandLifeTest, NoHoldWithoutAHoldTime) {
  context.IdentKeyDelay = 0;
  AddCard(Classic1KCard(kUid));
  ASSERT_EQ(S_OK, Run(Blocks(CMD_READ_MIFARE_C, 0, 1, 1)));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_HOLD);
}

}  // namespace
