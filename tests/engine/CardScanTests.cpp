// The binary card scan against the simulated device: each virtual card kind identified with its
// expected requests, found and lost keys reported once, key types outside the mask passed over, the
// card hold suspending the pass, passes that survive a link's stray bytes or a start that got no
// answer, and number reads from card memory with bad settings refused.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "ByteText.h"
#include "CardCommandFixture.h"
#include "Messages.h"
#include "ProtoBinary.h"

namespace {

// --- Identification ---------------------------------------------------------------------------

const char kPlusSAts[] = "0C 75 77 81 02 C1 05 2F 2F 00 35 C7";  // T0 75: three interface bytes
const char kPlusXAts[] = "0C 75 77 81 02 C1 05 2F 2F 01 BC D6";
const char kOtherAts[] = "0C 75 77 81 02 11 22 33 44 55 66 77";
const char kDesfireAts[] = "06 75 77 81 02 80";  // one historical byte

struct IdentCase {
  const char* Name;
  BYTE Sak;
  WORD Atqa;
  const char* Ats;
  bool LevelProbe, PlusProbe;
  BYTE Block91, Plus4040, Plus4042;
  bool NoActivation;
  UINT KeyType;
  UINT Flags;
  const char* Requests;  // command bytes, the select first
};

const IdentCase kIdentCases[] = {
    {"Ultralight", 0x00, 0x0044, "", false, false, 1, 1, 1, false, 9, 0x00, "45"},
    {"Classic 1K", 0x08, 0x0004, "", false, false, 1, 1, 1, false, 10, 0x00, "45 48"},
    {"Classic 4K", 0x18, 0x0002, "", false, false, 1, 1, 1, false, 12, 0x00, "45 48"},
    {"Classic 2K", 0x19, 0x0002, "", false, false, 1, 1, 1, false, 11, 0x00, "45"},
    {"Mini", 0x09, 0x0004, "", false, false, 1, 1, 1, false, 21, 0x00, "45"},
    {"Smart MX 1K, level probe fails", 0x28, 0x0004, kDesfireAts, false, false, 1, 1, 1, false, 17, 0x19,
     "45 48 6E 6E"},
    {"Smart MX 4K, Plus probe answers", 0x38, 0x0002, kDesfireAts, false, true, 1, 1, 1, false, 18, 0x09, "45 48 6E"},
    {"Plus 2K level 2", 0x10, 0x0044, "", false, false, 1, 1, 1, false, 15, 0x29, "45"},
    {"Plus 4K level 2", 0x11, 0x0042, "", false, false, 1, 1, 1, false, 16, 0x29, "45"},
    {"Plus 4K level 1", 0x18, 0x0002, kPlusSAts, false, false, 1, 1, 1, false, 16, 0x1B, "45 48"},
    {"Plus X 2K level 1", 0x08, 0x0004, kPlusXAts, false, false, 1, 1, 1, false, 15, 0x1F, "45 48"},
    // Seven historical bytes that are no Plus: no type from the SAK; the ATS length says level 3,
    // both probes fail (level 1 known), and block 0x91 does not exist.
    {"SAK 08 with another ATS", 0x08, 0x0004, kOtherAts, false, false, 1, 1, 1, false, 0, 0x19,
     "45 48 6E 6E 23 46 50"},
    {"DESFire", 0x20, 0x0344, kDesfireAts, false, false, 1, 1, 1, false, 19, 0x00, "45 48"},
    {"DESFire without activation", 0x20, 0x0344, "", false, false, 1, 1, 1, true, 19, 0x00, "45 48"},
    {"Plus 4K without activation", 0x20, 0x0042, "", false, false, 1, 1, 1, true, 16, 0x01, "45 48"},
    {"Plus 2K without activation", 0x20, 0x0044, "", false, false, 1, 1, 1, true, 15, 0x01, "45 48"},
    {"Plus without activation", 0x20, 0x0008, "", false, false, 1, 1, 1, true, 13, 0x01, "45 48"},
    {"Plus X 4K level 3", 0x20, 0x0044, kPlusXAts, true, false, 1, 0x55, 8, false, 16, 0x3F, "45 48 6E 60 60"},
    {"Plus X 2K level 3", 0x20, 0x0044, kPlusXAts, true, false, 1, 0x55, 13, false, 15, 0x3F, "45 48 6E 60 60"},
    {"Plus S 1K level 3", 0x20, 0x0044, kPlusSAts, true, false, 1, 13, 1, false, 14, 0x3B, "45 48 6E 60"},
    {"Plus S, level 3 refused", 0x20, 0x0044, kPlusSAts, true, false, 1, 1, 1, false, 0, 0x3B, "45 48 6E 60"},
    {"Plus S, level unknown", 0x20, 0x0044, kPlusSAts, false, false, 1, 1, 1, false, 0, 0x0B, "45 48 6E"},
    {"Level 1 behind another ATS, 4K block", 0x20, 0x0044, kOtherAts, false, false, 8, 1, 1, false, 16, 0x19,
     "45 48 6E 6E 23 46 50"},
    {"Level 1 behind another ATS, no 4K block", 0x20, 0x0044, kOtherAts, false, false, 1, 1, 1, false, 0, 0x19,
     "45 48 6E 6E 23 46 50"},
    {"Unknown SAK, Classic 4K memory", 0x02, 0x0044, "", false, false, 0x55, 1, 1, false, 12, 0x00,
     "45 48 23 46 50"},
};

// BinaryDeviceFixture (CardCommandFixture.h): a ReaderFixture whose KD-6 B is connected in binary mode
// on the fake port to the simulated device; Commands() gives the requests the device answered.
using CardIdentifyTest = BinaryDeviceFixture;

TEST_F(CardIdentifyTest, CardTypeTable) {
  for (const IdentCase& c : kIdentCases) {
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model = CBinaryReaderModel(SimIdentity());
      port->Model.Binary = true;
      port->Model.ActivationUnsupported = c.NoActivation;
      SimCard card;
      card.Uid = Bytes("04 A1 B2 C3 D4 E5 F6");
      card.Sak = c.Sak;
      card.Atqa = c.Atqa;
      card.Ats = Bytes(c.Ats);
      card.LevelProbeOk = c.LevelProbe;
      card.PlusProbeOk = c.PlusProbe;
      card.Block91Status = c.Block91;
      card.Plus4040Status = c.Plus4040;
      card.Plus4042Status = c.Plus4042;
      port->Model.AddCard(card);
    }
    reader.StatusFlags = 0;
    UINT type = 99, flags = 99;
    _KEYNUM_INFO uid = {};
    INT64 index = 5;
    ASSERT_TRUE(reader.IdentifyCard(false, &type, &uid, &flags, &index)) << c.Name;
    EXPECT_EQ(c.KeyType, type) << c.Name;
    EXPECT_EQ(c.Flags, flags) << c.Name;
    EXPECT_EQ(-1, index) << c.Name;
    EXPECT_EQ(7, uid.Length) << c.Name;
    EXPECT_EQ(c.Requests, Commands()) << c.Name;
  }
}

TEST_F(CardIdentifyTest, ListedCardIsTypedFromTheListWithoutQueries) {
  SimCard card;
  card.Uid = Bytes("04 A1 B2 C3");
  card.Sak = 0x08;
  port->Model.AddCard(card);
  _KEY_INFO listed;
  MakeKeyNum(reinterpret_cast<const BYTE*>("\x99"), 1, listed.Uid);
  reader.Keys.push_back(listed);
  listed.KeyType = KT_MIFARE_PLUS_2K;
  listed.CardFlags = 0x1F;
  MakeKeyNum(reinterpret_cast<const BYTE*>("\x04\xA1\xB2\xC3"), 4, listed.Uid);
  reader.Keys.push_back(listed);
  UINT type = 0, flags = 0;
  _KEYNUM_INFO uid = {};
  INT64 index = -1;
  ASSERT_TRUE(reader.IdentifyCard(false, &type, &uid, &flags, &index));
  EXPECT_EQ(1, index);
  EXPECT_EQ(UINT(KT_MIFARE_PLUS_2K), type);
  EXPECT_EQ(0x1Fu, flags);
  EXPECT_EQ("45", Commands());
}

// --- Scan passes ------------------------------------------------------------------------------

using CardScanTest = BinaryDeviceFixture;

TEST_F(CardScanTest, FoundAndLostAreReportedOnce) {
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  port->Model.AddCard(UltralightCard("04 02 02 02 02 02 02"));
  reader.ScanBinary(false);
  EXPECT_EQ(2u, events.Count("found"));
  // The indication for something new: field not empty (8E), then with the new-key bits, then 20.
  EXPECT_EQ("23 45 48 43 45 43 45 24 20 20 20", Commands());
  reader.ScanBinary(false);
  EXPECT_EQ(2u, events.Count("found"));
  EXPECT_EQ(0u, events.Count("lost"));
  EXPECT_EQ("23 45 43 45 43 45 24", Commands());

  port->Model.RemoveCard(Bytes("04 01 01 01"));
  reader.ScanBinary(false);
  EXPECT_EQ(1u, events.Count("lost"));
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_MIFARE_UL), reader.Keys[0].KeyType);
  // A key lost but the list not empty: no indication.
  EXPECT_EQ("23 45 43 45 24", Commands());

  port->Model.RemoveCard(Bytes("04 02 02 02 02 02 02"));
  reader.ScanBinary(false);
  EXPECT_EQ(2u, events.Count("lost"));
  EXPECT_EQ("23 45 24 20 20", Commands());
}

TEST_F(CardScanTest, IndicationCodes) {
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  EXPECT_EQ((std::vector<std::string>{"8E 01", "BE 01", "20 01"}), Payloads(0x20));
}

TEST_F(CardScanTest, KeyTypeOutsideTheMaskIsPassedOver) {
  context.KeyTypes = KEY_TYPES_ALL & ~(1u << KT_MIFARE_1K);
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  EXPECT_EQ(0u, events.Count("found"));
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_EQ("23 45 48 43 45 24", Commands());
}

TEST_F(CardScanTest, NoScanTypesMeansNoCardSearch) {
  context.KeyTypes = 0x1FF;
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  _KEY_INFO old;
  old.KeyType = KT_MIFARE_1K;
  MakeKeyNum(reinterpret_cast<const BYTE*>("\x04\x01\x01\x01"), 4, old.Uid);
  reader.Keys.push_back(old);
  reader.ScanBinary(false);
  EXPECT_EQ("24 20 20", Commands());
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_EQ(1u, events.Count("lost"));
}

TEST_F(CardScanTest, SixteenCardsAtMostInOnePass) {
  for (int i = 0; i < 18; ++i) {
    char uid[16];
    snprintf(uid, sizeof uid, "04 10 20 %02X", i);
    port->Model.AddCard(UltralightCard(uid));
  }
  reader.ScanBinary(false);
  EXPECT_EQ(16u, events.Count("found"));
  EXPECT_EQ(-1, reader.ScanIndex);
}

TEST_F(CardScanTest, HeldCardSuspendsThePassUntilTheHoldEnds) {
  context.DelayKeyTypes = DKT_MIFARE_CLASSIC;
  context.IdentKeyDelay = 1000;
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  port->Model.AddCard(Classic1KCard("04 02 02 02"));
  reader.NextWait = INFINITE;
  reader.ScanBinary(false);
  EXPECT_EQ(1u, events.Count("found"));
  EXPECT_NE(0u, reader.StatusFlags & RSF_HOLD);
  EXPECT_EQ(0, reader.ScanIndex);
  EXPECT_EQ(1000u, reader.NextWait);
  // No 0x43 and no pass end while the card is held.
  EXPECT_EQ("23 45 48 20 20 20", Commands());

  clock.Advance(500);
  reader.BinaryModePoll();
  EXPECT_EQ("", Commands());
  clock.Advance(500);
  reader.BinaryModePoll();
  EXPECT_EQ(2u, events.Count("found"));
  // The same pass goes on: the held card (no 0x43 was sent for it) answers the select again and is
  // only marked seen, then the next card is found and held in turn.
  EXPECT_EQ("45 43 45 48 20 20 20", Commands());
  EXPECT_EQ(1, reader.ScanIndex);
  EXPECT_EQ(0u, events.Count("lost"));
}

TEST_F(CardScanTest, UnlimitedHoldNeverResumesByTime) {
  context.DelayKeyTypes = DKT_MIFARE_CLASSIC;
  context.IdentKeyDelay = INFINITE;
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  Commands();
  for (int i = 0; i < 5; ++i) {
    clock.Advance(10000);
    reader.BinaryModePoll();
  }
  // Only keep-alives go out: 50 s of quiet holds two of them.
  EXPECT_EQ("2F 2F", Commands());
}

TEST_F(CardScanTest, ContinueScanningEndsAnUnlimitedHold) {
  context.DelayKeyTypes = DKT_MIFARE_CLASSIC;
  context.IdentKeyDelay = INFINITE;
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  ASSERT_NE(0u, reader.StatusFlags & RSF_HOLD);
  Commands();
  reader.Changes |= RC_CONTINUE_SCAN;
  reader.ApplyChanges();
  reader.BinaryModePoll();
  // The pass goes on from the held card and ends.
  EXPECT_EQ("45 43 45 24", Commands());
  EXPECT_EQ(0u, reader.StatusFlags & RSF_HOLD);
  // From now on passes come by the poll period again.
  clock.Advance(reader.KeyPollPeriod);
  reader.BinaryModePoll();
  EXPECT_EQ("23 45 43 45 24", Commands());
}

// --- A link that left bytes behind -----------------------------------------------------------

// Bytes that look like the start of a frame longer than any reply that follows: the tail of a garbage
// burst, and the first half of a reply cut short by a stalled link.
struct LeftoverCase {
  const char* Name;
  const char* Bytes;
};

const LeftoverCase kLeftovers[] = {
    {"garbage tail: STX and a length of 255", "5A C3 02 3E FF 10"},
    {"garbage tail: STX and a length of 64", "02 90 40"},
    {"the first half of a long reply", "02 11 2C 6E 55 00 01 02 03 04 05"},
};

TEST_F(CardScanTest, BytesLeftFromAnEarlierExchangeDoNotHideTheNextReplies) {
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  for (const LeftoverCase& c : kLeftovers) {
    SCOPED_TRACE(c.Name);
    reader.RxBuffer = Bytes(c.Bytes);
    reader.ScanBinary(true);
    EXPECT_EQ(1u, reader.Keys.size());
    if (!reader.Keys.empty()) {
      EXPECT_EQ(Bytes("04 01 01 01"), std::string(reinterpret_cast<const char*>(reader.Keys[0].Uid.Data),
                                                  reader.Keys[0].Uid.Length));
    }
    EXPECT_EQ("23 45 48 43 45 24 20 20", Commands());
  }
}

TEST_F(CardScanTest, BytesAheadOfAReplyCostOneAttemptOnly) {
  reader.RequestTries = 2;
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  for (const LeftoverCase& c : kLeftovers) {
    SCOPED_TRACE(c.Name);
    reader.Keys.clear();
    // The bytes come just before the search start's first reply; its second attempt must get through.
    bool first = true;
    port->Model.OnRequest = [&](const CBinaryReaderModel::Request& r) {
      if (r.Command != kBinSearchStart || !first) return;
      first = false;
      port->Arrive(Bytes(c.Bytes));
    };
    reader.ScanBinary(true);
    port->Model.OnRequest = nullptr;
    EXPECT_FALSE(first);
    EXPECT_EQ(1u, reader.Keys.size());
    EXPECT_EQ("23 23 45 48 43 45 24 20 20", Commands());
  }
}

TEST_F(CardScanTest, PassThatCouldNotStartIsTriedAgainAfterThePollPeriod) {
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  // A speed change puts the device's UART to sleep: it swallows the next frame, the search start.
  port->Model.WakeAfterSpeedChange = true;
  const BYTE mode[2] = {1, 2};
  port->Model.Take(BuildBinFrame(0x70, kBinSetMode, mode, 2));
  Commands();
  clock.Advance(reader.KeyPollPeriod);
  reader.NextWait = INFINITE;
  reader.BinaryModePoll();
  EXPECT_TRUE(reader.Keys.empty());
  EXPECT_EQ(reader.KeyPollPeriod, reader.NextWait);
  clock.Advance(reader.NextWait);
  reader.BinaryModePoll();
  EXPECT_EQ(1u, events.Count("found"));
  EXPECT_EQ("23 45 48 43 45 24 20 20 20", Commands());
}

// --- Number reads -----------------------------------------------------------------------------

TEST_F(CardScanTest, ClassicNumberFromTheConfiguredBlock) {
  context.MifareC.Enabled = true;
  context.MifareC.Sect = 1;
  context.MifareC.Block = 2;  // block 6
  MakeAuthKey(reinterpret_cast<const BYTE*>("\xFF\xFF\xFF\xFF\xFF\xFF"), 6, context.MifareC.AuthKey);
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  // Memory byte i holds i mod 251: block 6 starts at byte 96.
  EXPECT_EQ("60 61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E",
            HexText(std::string(reinterpret_cast<char*>(reader.Keys[0].Number.Data), reader.Keys[0].Number.Length)));
}

TEST_F(CardScanTest, ClassicNumberWithAWrongKeyCarriesTheError) {
  context.MifareC.Enabled = true;
  context.MifareC.Sect = 1;
  MakeAuthKey(reinterpret_cast<const BYTE*>("\x01\x02\x03\x04\x05\x06"), 6, context.MifareC.AuthKey);
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(VOMBRA_E_KEY_AUTH, reader.Keys[0].NumberStatus);
  EXPECT_EQ(1u, events.Count("numberError"));
}

TEST_F(CardScanTest, ClassicNumberWithStoredKeys) {
  context.MifareC.Enabled = true;
  context.MifareC.Sect = 2;
  context.MifareC.Block = 0;  // block 8
  context.MifareC.Flags = 0x2;
  context.MifareC.Mask = 0x6;
  port->Model.StoredKeys = {Bytes("00 00 00 00 00 00"), Bytes("11 11 11 11 11 11"), Bytes("FF FF FF FF FF FF")};
  port->Model.AddCard(Classic1KCard("04 01 01 01"));
  reader.ScanBinary(false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  EXPECT_EQ(0x80, reader.Keys[0].Number.Data[0]);
}

TEST_F(CardScanTest, PlusNumberFromTheConfiguredBlock) {
  context.MifareP.Enabled = true;
  context.MifareP.Sect = 1;
  context.MifareP.Block = 1;  // block 5, key address 0x4002 (key A of sector 1)
  MakeAuthKey(reinterpret_cast<const BYTE*>(std::string(16, '\xFF').data()), 16, context.MifareP.AuthKey);
  SimCard card;
  card.Uid = Bytes("04 33 33 33 33 33 33");
  card.Sak = 0x20;
  card.Atqa = 0x0044;
  card.Ats = Bytes(kPlusXAts);
  card.LevelProbeOk = true;
  card.Plus4040Status = 0x55;
  card.Plus4042Status = 8;  // a 4K card at level 3
  card.Memory.assign(16 * 64, '\0');
  for (size_t i = 0; i < card.Memory.size(); ++i) card.Memory[i] = char(i % 251);
  port->Model.AddCard(card);
  reader.ScanBinary(false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(UINT(KT_MIFARE_PLUS_4K), reader.Keys[0].KeyType);
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  // Block 5 starts at byte 80 (0x50).
  EXPECT_EQ("50 51 52 53 54 55 56 57 58 59 5A 5B 5C 5D 5E",
            HexText(std::string(reinterpret_cast<char*>(reader.Keys[0].Number.Data), reader.Keys[0].Number.Length)));
  // The key address went out as 02 40 (little-endian) after the identification's two probes.
  std::vector<std::string> auths;
  {
    std::lock_guard<std::mutex> hold(port->Mutex);
    for (const auto& r : port->Model.Requests) {
      if (r.Command == 0x60) auths.push_back(HexText(r.Payload.substr(0, 3)));
    }
  }
  EXPECT_EQ((std::vector<std::string>{"02 40 40", "02 42 40", "02 02 40"}), auths);
}

TEST_F(CardScanTest, UltralightNumberFromPages) {
  context.MifareUL.Enabled = true;
  context.MifareUL.Page = 4;
  context.MifareUL.Count = 2;
  port->Model.AddCard(UltralightCard("04 02 02 02 02 02 02"));
  reader.ScanBinary(false);
  ASSERT_EQ(1u, reader.Keys.size());
  EXPECT_EQ(0, reader.Keys[0].NumberStatus);
  // Page 4 begins at byte 16, which holds A0 + 16.
  EXPECT_EQ("B0 B1 B2 B3 B4 B5 B6 B7",
            HexText(std::string(reinterpret_cast<char*>(reader.Keys[0].Number.Data), reader.Keys[0].Number.Length)));
}

struct BadSetting {
  const char* Name;
  bool Ultralight;
  UINT Sect, Block, Page, Count;
};

const BadSetting kBadSettings[] = {
    {"Classic 1K sector 16", false, 16, 0, 0, 0},
    {"Classic 1K sector 40", false, 40, 0, 0, 0},
    {"Ultralight page 16", true, 0, 0, 16, 1},
    {"Ultralight count 0", true, 0, 0, 4, 0},
};

TEST_F(CardScanTest, BadReadSettingsGiveInvalidArgument) {
  for (const BadSetting& s : kBadSettings) {
    {
      std::lock_guard<std::mutex> hold(port->Mutex);
      port->Model = CBinaryReaderModel(SimIdentity());
      port->Model.Binary = true;
      port->Model.AddCard(s.Ultralight ? UltralightCard("04 02 02 02 02 02 02") : Classic1KCard("04 01 01 01"));
    }
    reader.Keys.clear();
    context.MifareC.Enabled = !s.Ultralight;
    context.MifareC.Sect = s.Sect;
    context.MifareC.Block = s.Block;
    context.MifareUL.Enabled = s.Ultralight;
    context.MifareUL.Page = s.Page;
    context.MifareUL.Count = s.Count;
    reader.ScanBinary(false);
    ASSERT_EQ(1u, reader.Keys.size()) << s.Name;
    EXPECT_EQ(HRESULT(0x80070057), reader.Keys[0].NumberStatus) << s.Name;
    // Nothing is asked of the card.
    const std::string commands = Commands();
    EXPECT_EQ(std::string::npos, commands.find("50")) << s.Name;
    EXPECT_EQ(std::string::npos, commands.find("51")) << s.Name;
  }
}

}  // namespace
