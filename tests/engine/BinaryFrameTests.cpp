// The binary frame: building and checking frames, reading a reply out of noise, split reads and bad
// frames, the request exchange with its attempts and wake-up, and the typed commands' payloads and
// status handling, over a scripted fake port.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ByteText.h"
#include "Clock.h"
#include "Messages.h"
#include "ProtoBinary.h"
#include "ReaderFixture.h"

namespace {

// A frame as the device builds it, summed here by hand-rolled arithmetic.
std::string Frame(int sequence, int command, const std::string& payload) {
  std::string f;
  f += char(0x02);
  f += char(sequence);
  f += char(payload.size() + 6);
  f += char(command);
  f += payload;
  unsigned sum = 0;
  for (unsigned char c : f) sum += c;
  f += char(sum & 0xFF);
  f += char((sum >> 8) & 0xFF);
  return f;
}

// --- Building -------------------------------------------------------------------------------------

struct BuildCase {
  int Sequence;
  int Command;
  const char* Payload;
  const char* Frame;
};

// Sums worked out by hand: 02+01+07+24+00 = 2E; 02+02+06+43 = 4D; 02+03+08+2F+01+80 = BD;
// 02+FF+07+51+FF = 258 (a carry into the high byte).
const BuildCase kBuildCases[] = {
    {0x01, 0x24, "00", "02 01 07 24 00 2E 00"},
    {0x02, 0x43, "", "02 02 06 43 4D 00"},
    {0x03, 0x2F, "01 80", "02 03 08 2F 01 80 BD 00"},
    {0xFF, 0x51, "FF", "02 FF 07 51 FF 58 02"},
};

TEST(BinaryFrameBuild, FramesOfTheTable) {
  for (const BuildCase& c : kBuildCases) {
    std::string payload = Bytes(c.Payload);
    std::string frame = BuildBinFrame(BYTE(c.Sequence), BYTE(c.Command),
                                      reinterpret_cast<const BYTE*>(payload.data()), int(payload.size()));
    EXPECT_EQ(c.Frame, HexText(frame)) << "command " << c.Command;
  }
}

TEST(BinaryFrameBuild, LongestPayloadStillFitsTheLengthByte) {
  std::string payload(300, '\x01');
  std::string frame = BuildBinFrame(1, 0x52, reinterpret_cast<const BYTE*>(payload.data()), int(payload.size()));
  ASSERT_EQ(255u, frame.size());
  EXPECT_EQ(255, BYTE(frame[2]));
}

// --- Checking -------------------------------------------------------------------------------------

struct CheckCase {
  const char* Name;
  const char* Bytes;
  HRESULT Result;
  UINT Sequence;
  UINT Command;
  const char* Payload;
};

const CheckCase kCheckCases[] = {
    {"request example", "02 01 07 24 00 2E 00", S_OK, 1, 0x24, "00"},
    {"reply with data", "02 05 09 45 55 AB CD 22 02", S_OK, 5, 0x45, "55 AB CD"},
    {"bytes after the frame", "02 02 06 43 4D 00 02 09", S_OK, 2, 0x43, ""},
    {"wrong sum", "02 01 07 24 00 2F 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"sum bytes swapped", "02 01 07 24 00 00 2E", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"unchecked command, wrong sum", "02 07 07 23 55 00 00", S_OK, 7, 0x23, "55"},
    {"no STX", "03 01 07 24 00 2E 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"five bytes", "02 01 05 24 2D", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length beyond the bytes", "02 01 08 24 00 2E 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 0", "02 01 00 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 1", "02 01 01 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 2", "02 01 02 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 3", "02 01 03 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 4", "02 01 04 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    {"length 5", "02 01 05 24 00 00 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
    // The unchecked command must not let a short length through either.
    {"unchecked command, length 3", "02 01 03 23 00 00", VOMBRA_E_BAD_RESPONSE, 0, 0, ""},
};

TEST(BinaryFrameCheck, TableOfFrames) {
  for (const CheckCase& c : kCheckCases) {
    std::string bytes = Bytes(c.Bytes);
    UINT sequence = 0xFFFF, command = 0xFFFF;
    std::string data = "untouched";
    HRESULT hr = CheckBinFrame(reinterpret_cast<const BYTE*>(bytes.data()), int(bytes.size()), &sequence, &command,
                               &data);
    EXPECT_EQ(c.Result, hr) << c.Name;
    if (hr == S_OK && c.Result == S_OK) {
      EXPECT_EQ(c.Sequence, sequence) << c.Name;
      EXPECT_EQ(c.Command, command) << c.Name;
      EXPECT_EQ(c.Payload, HexText(data)) << c.Name;
    }
  }
}

// --- The reader side --------------------------------------------------------------------------

// ReaderFixture: English texts, a fake context, a manual clock, the fake port factory and a reader with
// its events recorder. Here a KD-6 B connected in binary mode on a scripted fake port.
class BinaryReaderFixture : public ReaderFixture {
 protected:
  void SetUp() override {
    clock.Set(100000);
    port = AddPort(new CFakePort);
    InitReader(1000, 2);
    ASSERT_TRUE(Connected(PM_BINARY, RM_KD6_B));
  }

  CFakePort* port = nullptr;
};

using BinaryReplyTest = BinaryReaderFixture;

TEST_F(BinaryReplyTest, NoiseBeforeTheFrameIsDropped) {
  reader.Sequence = 4;
  port->Arrive("\xFF\x00\x13" + Frame(4, 0x45, Bytes("55 01 02")));
  std::string data;
  ASSERT_TRUE(reader.ReadBinReply(&data, 1000));
  EXPECT_EQ("55 01 02", HexText(data));
  EXPECT_TRUE(reader.RxBuffer.empty());
}

TEST_F(BinaryReplyTest, FrameSplitAcrossReads) {
  reader.Sequence = 9;
  std::string frame = Frame(9, 0x51, Bytes("55 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF"));
  // Header alone, then up to the sum, then the last byte of the sum.
  port->Arrive(frame.substr(0, 3), 10);
  port->Arrive(frame.substr(3, frame.size() - 4), 20);
  port->Arrive(frame.substr(frame.size() - 1), 30);
  std::string data;
  ASSERT_TRUE(reader.ReadBinReply(&data, 1000));
  EXPECT_EQ("55 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF", HexText(data));
}

TEST_F(BinaryReplyTest, OtherSequenceAndBadSumAreSkippedWithinTheSameLimit) {
  reader.Sequence = 3;
  std::string badSum = Frame(3, 0x24, Bytes("55"));
  badSum.back() ^= 1;
  port->Arrive(Frame(2, 0x24, Bytes("55 01")) + badSum, 10);
  port->Arrive(Frame(3, 0x24, Bytes("55 02")), 900);
  std::string data;
  ASSERT_TRUE(reader.ReadBinReply(&data, 1000));
  EXPECT_EQ("55 02", HexText(data));
}

TEST_F(BinaryReplyTest, ShortLengthResynchronisesOnTheNextStx) {
  reader.Sequence = 1;
  // Each bad header claims a length of 0..5; the good frame right behind it must still be found.
  for (int length = 0; length <= 5; ++length) {
    std::string bad = Bytes("02 01");
    bad += char(length);
    bad += Bytes("24 00 00");
    port->Arrive(bad + Frame(1, 0x24, Bytes("55")));
    std::string data;
    ASSERT_TRUE(reader.ReadBinReply(&data, 1000)) << "length " << length;
    EXPECT_EQ("55", HexText(data)) << "length " << length;
    reader.RxBuffer.clear();
  }
}

TEST_F(BinaryReplyTest, StxInsideABadFrameIsNotTrustedAsItsStart) {
  reader.Sequence = 6;
  // A truncated frame claiming 7 bytes whose "payload" begins the real frame: dropping the whole
  // claimed length would lose the real one.
  std::string good = Frame(6, 0x45, Bytes("55 AA"));
  port->Arrive(Bytes("02 06 07 45") + good);
  std::string data;
  ASSERT_TRUE(reader.ReadBinReply(&data, 1000));
  EXPECT_EQ("55 AA", HexText(data));
}

TEST_F(BinaryReplyTest, NoiseWithoutEndStopsAtTheLimit) {
  reader.Sequence = 1;
  // A byte of noise every 20 ms for far longer than the limit.
  for (DWORD i = 1; i <= 200; ++i) port->Arrive("\x02\x01\x00", 20 * i);
  const DWORD start = clock.Now();
  std::string data;
  EXPECT_FALSE(reader.ReadBinReply(&data, 1000));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_LT(TicksElapsed(start, clock.Now()), 1100u);
}

TEST_F(BinaryReplyTest, RandomBytesNeitherHangNorCrash) {
  std::mt19937 random(20261210);
  const DWORD wallStart = GetTickCount();
  int accepted = 0;
  for (int round = 0; round < 300 && GetTickCount() - wallStart < 10000; ++round) {
    reader.RxBuffer.clear();
    reader.Sequence = BYTE(random());
    std::string noise(size_t(random() % 300), '\0');
    for (char& c : noise) {
      // Plenty of STX bytes and short lengths, the cases that trip a frame reader.
      const unsigned r = random() % 8;
      c = r == 0 ? '\x02' : r == 1 ? char(random() % 6) : char(random());
    }
    port->Arrive(noise);
    std::string data;
    const DWORD start = clock.Now();
    if (reader.ReadBinReply(&data, 200)) {
      ++accepted;
      EXPECT_LE(data.size(), 249u);
    } else {
      EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
    }
    EXPECT_LE(TicksElapsed(start, clock.Now()), 300u);
  }
  // Random bytes rarely make a frame with the right sum and sequence.
  EXPECT_LT(accepted, 30);
}

// --- The exchange ---------------------------------------------------------------------------------

using BinaryRequestTest = BinaryReaderFixture;

TEST_F(BinaryRequestTest, SequenceStartsAtOneAndCounts) {
  port->Expect(Frame(1, 0x24, Bytes("00")), Frame(1, 0x24, Bytes("55")));
  port->Expect(Frame(2, 0x24, Bytes("00")), Frame(2, 0x24, Bytes("55")));
  EXPECT_TRUE(reader.BinSearchEnd());
  EXPECT_TRUE(reader.BinSearchEnd());
  EXPECT_TRUE(port->UnexpectedWrites().empty());
  EXPECT_EQ(0u, port->ExchangesLeft());
}

TEST_F(BinaryRequestTest, SequenceWrapsAfter255) {
  reader.Sequence = 0xFF;
  port->Expect(Frame(0, 0x24, Bytes("00")), Frame(0, 0x24, Bytes("55")));
  EXPECT_TRUE(reader.BinSearchEnd());
  EXPECT_TRUE(port->UnexpectedWrites().empty());
}

TEST_F(BinaryRequestTest, NoTriesMeansNoFrameAndATimeout) {
  reader.RequestTries = 0;
  int status = 0;
  EXPECT_FALSE(reader.BinRequest(0x24, reinterpret_cast<const BYTE*>("\0"), 1, &status, nullptr));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_TRUE(port->Writes().empty());
}

TEST_F(BinaryRequestTest, SilentReaderIsAskedOncePerTry) {
  reader.RequestTries = 3;
  int status = 0;
  EXPECT_FALSE(reader.BinRequest(0x24, reinterpret_cast<const BYTE*>("\0"), 1, &status, nullptr));
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  std::vector<std::string> frame(3, Frame(1, 0x24, Bytes("00")));
  EXPECT_EQ(frame, port->Writes());
}

TEST_F(BinaryRequestTest, EmptyReplyCountsAsAFailedTry) {
  port->Expect(Frame(1, 0x24, Bytes("00")), Frame(1, 0x24, ""));
  port->Expect(Frame(1, 0x24, Bytes("00")), Frame(1, 0x24, Bytes("55")));
  int status = 0;
  std::string data = "x";
  ASSERT_TRUE(reader.BinRequest(0x24, reinterpret_cast<const BYTE*>("\0"), 1, &status, &data));
  EXPECT_EQ(0x55, status);
  EXPECT_EQ("", data);
  EXPECT_EQ(0u, port->ExchangesLeft());
}

TEST_F(BinaryRequestTest, StatusIsSignExtended) {
  port->Expect(Frame(1, 0x45, Bytes("00")), Frame(1, 0x45, Bytes("F0 01")));
  int status = 0;
  std::string data;
  ASSERT_TRUE(reader.BinRequest(0x45, reinterpret_cast<const BYTE*>("\0"), 1, &status, &data));
  EXPECT_EQ(-16, status);
  EXPECT_EQ("01", HexText(data));
}

TEST_F(BinaryRequestTest, WakeUpCopyAnswerServesAsTheReply) {
  reader.StatusFlags |= RSF_WAKEUP;
  const std::string request = Frame(1, 0x24, Bytes("00"));
  // The first copy is lost; the second is answered.
  port->Expect(request, "");
  port->Expect(request, Frame(1, 0x24, Bytes("55")));
  port->Expect(request, "");
  EXPECT_TRUE(reader.BinSearchEnd());
  EXPECT_EQ(0u, reader.StatusFlags & RSF_WAKEUP);
  EXPECT_EQ(3u, port->Writes().size());
}

TEST_F(BinaryRequestTest, WakeUpSendsAtMostThreeCopies) {
  reader.StatusFlags |= RSF_WAKEUP;
  reader.RequestTries = 1;
  EXPECT_FALSE(reader.BinSearchEnd());
  EXPECT_EQ(4u, port->Writes().size());
}

TEST_F(BinaryRequestTest, WakeUpStillSentWithoutTries) {
  reader.StatusFlags |= RSF_WAKEUP;
  reader.RequestTries = 0;
  EXPECT_FALSE(reader.BinSearchEnd());
  EXPECT_EQ(VOMBRA_E_READ_TIMEOUT, reader.LastError);
  EXPECT_EQ(3u, port->Writes().size());
}

// --- Typed commands -------------------------------------------------------------------------------

struct CommandCase {
  const char* Name;
  int Command;
  const char* Request;  // payload
  const char* Reply;    // status and data
  bool Ok;
  HRESULT Error;
};

_AUTHKEY_INFO Key(const char* hex) {
  std::string bytes = Bytes(hex);
  _AUTHKEY_INFO key = {};
  MakeAuthKey(reinterpret_cast<const BYTE*>(bytes.data()), int(bytes.size()), key);
  return key;
}

// Each case runs one typed command; which one is chosen by its name's first word in Run below.
const CommandCase kCommandCases[] = {
    {"SearchStart ok", 0x23, "00 0A 00", "55", true, 0},
    {"SearchStart refused", 0x23, "00 0A 00", "01", false, VOMBRA_E_READER_ERROR},
    {"SearchEnd ok", 0x24, "00", "55", true, 0},
    {"Signal ok", 0x20, "8E 01", "55 07", true, 0},
    {"Signal without data", 0x20, "8E 01", "55", false, VOMBRA_E_BAD_RESPONSE},
    {"SetModeKeep ok", 0x2F, "01 80", "55", true, 0},
    {"SetModeText refused", 0x2F, "00 80", "03", false, VOMBRA_E_READER_ERROR},
    {"NextCard ok", 0x43, "", "55", true, 0},
    {"NextCard no card on model 3", 0x43, "", "09", false, VOMBRA_E_READER_ERROR},
    {"SelectUid ok", 0x46, "81 04 A1 B2 C3", "55", true, 0},
    {"SelectUid gone", 0x46, "81 04 A1 B2 C3", "09", false, VOMBRA_E_NO_KEY},
    {"Activate ok", 0x48, "00", "55 05 78 80 70 02", true, 0},
    {"Activate unsupported", 0x48, "00", "02", false, VOMBRA_E_READER_ERROR},
    {"AuthClassic ok", 0x50, "03 07 A0 A1 A2 A3 A4 A5", "55", true, 0},
    {"AuthClassic no card", 0x50, "03 07 A0 A1 A2 A3 A4 A5", "05", false, VOMBRA_E_NO_KEY},
    {"AuthClassic wrong key", 0x50, "03 07 A0 A1 A2 A3 A4 A5", "08", false, VOMBRA_E_KEY_AUTH},
    {"AuthClassic other", 0x50, "03 07 A0 A1 A2 A3 A4 A5", "0D", false, VOMBRA_E_READER_ERROR},
    {"AuthClassicStored ok", 0x50, "00 07 05 00 00 80 00 00", "55 03", true, 0},
    {"AuthClassicStored no data", 0x50, "00 07 05 00 00 80 00 00", "55", false, VOMBRA_E_BAD_RESPONSE},
    {"AuthPlus ok", 0x60, "02 42 40 FF FF FF FF FF FF 00 00 00 00 00 00 00 00 00 00", "55", true, 0},
    {"AuthPlus bad address", 0x60, "02 42 40 FF FF FF FF FF FF 00 00 00 00 00 00 00 00 00 00", "0D", false,
     VOMBRA_E_MIFARE_BLOCK},
    {"AuthPlusStored ok", 0x60, "00 01 40 03 00 00 00 00 00", "55 02 01", true, 0},
    {"ReadBlock ok", 0x51, "05", "55 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", true, 0},
    {"ReadBlock short", 0x51, "05", "55 00 01 02", false, VOMBRA_E_BAD_RESPONSE},
    {"ReadBlock no card", 0x51, "05", "06", false, VOMBRA_E_NO_KEY},
    {"ReadPlusBlock ok", 0x61, "02 05 00 01", "55 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F", true, 0},
    {"CardCommand ok", 0x6E, "01 48", "55 00 90", true, 0},
    {"CardCommand other word", 0x6E, "01 48", "55 6A 82", false, VOMBRA_E_READER_ERROR},
    {"CardCommand one byte", 0x6E, "01 48", "55 90", false, VOMBRA_E_READER_ERROR},
};

class BinaryCommandTest : public BinaryReaderFixture {
 protected:
  // The reader's command named by the first word of a row's name.
  bool RunByName(const std::string& name) {
    const std::string verb = name.substr(0, name.find(' '));
    BYTE block[16] = {};
    int index = 0;
    if (verb == "SearchStart") return reader.BinSearchStart();
    if (verb == "SearchEnd") return reader.BinSearchEnd();
    if (verb == "Signal") return reader.BinSignal(0x8E, 1, block);
    if (verb == "SetModeKeep") return reader.BinSetMode(false, kBinKeepSpeed);
    if (verb == "SetModeText") return reader.BinSetMode(true, kBinKeepSpeed);
    if (verb == "NextCard") return reader.BinNextCard();
    if (verb == "SelectUid") {
      _KEYNUM_INFO uid = {};
      MakeKeyNum(reinterpret_cast<const BYTE*>("\x04\xA1\xB2\xC3"), 4, uid);
      return reader.BinSelectUid(&uid);
    }
    if (verb == "Activate") return reader.BinActivate(nullptr);
    if (verb == "AuthClassic") {
      _AUTHKEY_INFO key = Key("A0 A1 A2 A3 A4 A5 B0 B1");
      return reader.BinAuthClassic(7, 1, &key);
    }
    if (verb == "AuthClassicStored") return reader.BinAuthClassicStored(7, 0, 0x80000005, &index);
    if (verb == "AuthPlus") {
      _AUTHKEY_INFO key = Key("FF FF FF FF FF FF 00 00 00 00 00 00 00 00 00 00");
      return reader.BinAuthPlus(0x4042, &key);
    }
    if (verb == "AuthPlusStored") return reader.BinAuthPlusStored(0x4001, 3, &index);
    if (verb == "ReadBlock") return reader.BinReadBlock(5, block);
    if (verb == "ReadPlusBlock") return reader.BinReadPlusBlock(5, block, 2);
    if (verb == "CardCommand") return reader.BinCardCommand(reinterpret_cast<const BYTE*>("\x01\x48"), 2);
    ADD_FAILURE() << "no command for " << name;
    return false;
  }
};

TEST_F(BinaryCommandTest, PayloadsAndStatuses) {
  for (const CommandCase& c : kCommandCases) {
    reader.Sequence = 0;
    reader.StatusFlags = 0;
    reader.SetLastError(0, nullptr);
    port->Expect(Frame(1, c.Command, Bytes(c.Request)), Frame(1, c.Command, Bytes(c.Reply)));
    EXPECT_EQ(c.Ok, RunByName(c.Name)) << c.Name;
    if (!c.Ok) {
      EXPECT_EQ(c.Error, reader.LastError) << c.Name;
    }
    EXPECT_TRUE(port->UnexpectedWrites().empty()) << c.Name;
    ASSERT_EQ(0u, port->ExchangesLeft()) << c.Name;
  }
}

TEST_F(BinaryCommandTest, NextCardNoCardIsTheEndOfAPassOnModel4) {
  reader.Model = RM_ORVEL_3B;
  port->Expect(Frame(1, 0x43, ""), Frame(1, 0x43, Bytes("09")));
  EXPECT_TRUE(reader.BinNextCard());
}

TEST_F(BinaryCommandTest, StoredKeyIndexes) {
  int index = 99;
  port->Expect(Frame(1, 0x50, Bytes("01 04 01 00 00 00 00 00")), Frame(1, 0x50, Bytes("55 00")));
  ASSERT_TRUE(reader.BinAuthClassicStored(4, 1, 1, &index));
  EXPECT_EQ(-1, index);
  port->Expect(Frame(2, 0x60, Bytes("00 00 40 01 00 00 00 00 00")), Frame(2, 0x60, Bytes("55 05")));
  ASSERT_TRUE(reader.BinAuthPlusStored(0x4000, 1, &index));
  EXPECT_EQ(4, index);
  port->Expect(Frame(3, 0x60, Bytes("00 00 40 01 00 00 00 00 00")), Frame(3, 0x60, Bytes("55 02 01")));
  ASSERT_TRUE(reader.BinAuthPlusStored(0x4000, 1, &index));
  EXPECT_EQ(0x101, index);
}

TEST_F(BinaryCommandTest, SelectCardReadsAtqaSakAndUid) {
  reader.StatusFlags |= RSF_CARD_ACTIVE;
  port->Expect(Frame(1, 0x45, Bytes("80")), Frame(1, 0x45, Bytes("55 44 00 08 04 A1 B2 C3 D4 E5 F6")));
  BYTE sak = 0;
  WORD atqa = 0;
  _KEYNUM_INFO uid = {};
  ASSERT_TRUE(reader.BinSelectCard(true, &sak, &atqa, &uid));
  EXPECT_EQ(0x08, sak);
  EXPECT_EQ(0x0044, atqa);
  EXPECT_EQ("04 A1 B2 C3 D4 E5 F6", HexText(std::string(reinterpret_cast<char*>(uid.Data), uid.Length)));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_CARD_ACTIVE);

  port->Expect(Frame(2, 0x45, Bytes("00")), Frame(2, 0x45, Bytes("09")));
  ASSERT_TRUE(reader.BinSelectCard(false, &sak, &atqa, &uid));
  EXPECT_EQ(0, sak);
  EXPECT_EQ(0, atqa);
  EXPECT_EQ(0, uid.Length);

  // A UID of 20 bytes is cut to the 15 a key holds.
  port->Expect(Frame(3, 0x45, Bytes("00")),
               Frame(3, 0x45, Bytes("55 44 00 08 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14")));
  ASSERT_TRUE(reader.BinSelectCard(false, &sak, &atqa, &uid));
  EXPECT_EQ(15, uid.Length);
  EXPECT_EQ(0x0F, uid.Data[14]);

  // ATQA and SAK without a UID.
  port->Expect(Frame(4, 0x45, Bytes("00")), Frame(4, 0x45, Bytes("55 44 00 08")));
  EXPECT_FALSE(reader.BinSelectCard(false, &sak, &atqa, &uid));
  EXPECT_EQ(VOMBRA_E_BAD_RESPONSE, reader.LastError);
}

TEST_F(BinaryCommandTest, ActivationMarks) {
  port->Expect(Frame(1, 0x48, Bytes("00")), Frame(1, 0x48, Bytes("55 05 78 80 70 02")));
  std::string ats;
  ASSERT_TRUE(reader.BinActivate(&ats));
  EXPECT_EQ("05 78 80 70 02", HexText(ats));
  EXPECT_NE(0u, reader.StatusFlags & RSF_CARD_ACTIVE);
  _KEYNUM_INFO uid = {};
  MakeKeyNum(reinterpret_cast<const BYTE*>("\x01\x02\x03\x04"), 4, uid);
  port->Expect(Frame(2, 0x46, Bytes("81 01 02 03 04")), Frame(2, 0x46, Bytes("55")));
  ASSERT_TRUE(reader.BinSelectUid(&uid));
  EXPECT_EQ(0u, reader.StatusFlags & RSF_CARD_ACTIVE);
}

struct AtsCase {
  const char* Name;
  const char* Ats;
  const char* Historical;
};

// T0's bits 0x10, 0x20 and 0x40 each announce one interface byte before the historical bytes.
const AtsCase kAtsCases[] = {
    {"three interface bytes", "0C 75 77 81 02 80 31 32 33 34 35 36", "80 31 32 33 34 35 36"},
    {"no interface bytes", "04 05 C1 05", "C1 05"},
    {"TA and TC only", "06 58 11 22 AA BB", "AA BB"},
    {"interface bytes run past the end", "03 78 80", ""},
    {"one byte", "01", ""},
};

TEST_F(BinaryCommandTest, AtsHistoricalBytes) {
  BYTE sequence = 0;
  for (const AtsCase& c : kAtsCases) {
    ++sequence;
    port->Expect(Frame(sequence, 0x48, Bytes("00")), Frame(sequence, 0x48, "\x55" + Bytes(c.Ats)));
    std::string ats, historical;
    EXPECT_TRUE(reader.QueryAts(&ats, &historical)) << c.Name;
    EXPECT_EQ(Bytes(c.Ats), ats) << c.Name;
    EXPECT_EQ(c.Historical, HexText(historical)) << c.Name;
  }
}

TEST_F(BinaryCommandTest, UnsupportedActivationStopsLaterAtsQueries) {
  port->Expect(Frame(1, 0x48, Bytes("00")), Frame(1, 0x48, Bytes("02")));
  std::string ats, historical;
  EXPECT_FALSE(reader.QueryAts(&ats, &historical));
  EXPECT_NE(0u, reader.StatusFlags & RSF_ACTIVATION_UNSUPPORTED);
  EXPECT_TRUE(reader.QueryAts(&ats, &historical));
  EXPECT_TRUE(ats.empty());
  EXPECT_EQ(1u, port->Writes().size());
}

TEST_F(BinaryCommandTest, SpeedChangeFollowsTheModeCommandAndArmsTheWakeUp) {
  port->Expect(Frame(1, 0x2F, Bytes("01 04")), Frame(1, 0x2F, Bytes("55")));
  ASSERT_TRUE(reader.BinSetMode(false, 4));
  ASSERT_FALSE(port->ConfigCalls().empty());
  EXPECT_EQ(115200u, port->ConfigCalls().back().Baud);
  EXPECT_NE(0u, reader.StatusFlags & RSF_WAKEUP);
}

}  // namespace
