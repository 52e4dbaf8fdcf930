// Telnet NVT framing of the TCP port, byte by byte: escaping, the speed command, and the filter that
// takes data out of a stream cut into receives at any point.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ByteText.h"
#include "TcpPort.h"

namespace {

struct EscapeCase {
  const char* data;
  const char* wire;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.data; }

class TelnetEscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TelnetEscapeTable, EveryIacIsDoubled) {
  std::string data = Bytes(GetParam().data);
  std::string wire = "<";  // appends, keeping what was there
  TelnetEscape(reinterpret_cast<const BYTE*>(data.data()), data.size(), wire);
  EXPECT_EQ(HexText(wire), HexText("<" + Bytes(GetParam().wire)));
}

INSTANTIATE_TEST_SUITE_P(Cases, TelnetEscapeTable,
                         ::testing::Values(EscapeCase{"", ""}, EscapeCase{"01 FF 02", "01 FF FF 02"},
                                           EscapeCase{"FF", "FF FF"}, EscapeCase{"FF FF FE", "FF FF FF FF FE"},
                                           EscapeCase{"00 FA F0 0D", "00 FA F0 0D"}));

struct SpeedCase {
  UINT baud;
  const char* wire;
};

void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.baud; }

class TelnetSpeedTable : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(TelnetSpeedTable, SetBaudRateCommand) {
  std::string wire;
  TelnetSetBaudRate(GetParam().baud, wire);
  EXPECT_EQ(HexText(wire), HexText(Bytes(GetParam().wire)));
}

// IAC SB, COM-PORT (44), SET-BAUDRATE (1), the speed big-endian with 0xFF doubled, IAC SE.
INSTANTIATE_TEST_SUITE_P(Cases, TelnetSpeedTable,
                         ::testing::Values(SpeedCase{9600, "FF FA 2C 01 00 00 25 80 FF F0"},
                                           SpeedCase{115200, "FF FA 2C 01 00 01 C2 00 FF F0"},
                                           SpeedCase{4800, "FF FA 2C 01 00 00 12 C0 FF F0"},
                                           SpeedCase{0xFFFFFFFF, "FF FA 2C 01 FF FF FF FF FF FF FF FF FF F0"},
                                           SpeedCase{0x01FF02FF, "FF FA 2C 01 01 FF FF 02 FF FF FF F0"}));

struct FilterCase {
  const char* name;
  std::string stream;
  std::string data;
};

void PrintTo(const FilterCase& c, std::ostream* os) { *os << c.name; }

// Feeds the stream as given pieces and returns the data.
std::string FeedInPieces(const std::string& stream, size_t cut1, size_t cut2) {
  CTelnetFilter filter;
  std::string data;
  filter.Feed(stream.data(), cut1, data);
  filter.Feed(stream.data() + cut1, cut2 - cut1, data);
  filter.Feed(stream.data() + cut2, stream.size() - cut2, data);
  return data;
}

class TelnetFilterTable : public ::testing::TestWithParam<FilterCase> {};

TEST_P(TelnetFilterTable, SameDataWhereverTheReceivesSplitTheStream) {
  const FilterCase& c = GetParam();
  const size_t n = c.stream.size();
  // Every pair of cut points, so that each sequence is also split inside itself (short streams only).
  const size_t step = n > 64 ? n / 16 + 1 : 1;
  for (size_t cut1 = 0; cut1 <= n; cut1 += step) {
    for (size_t cut2 = cut1; cut2 <= n; cut2 += step) {
      ASSERT_EQ(HexText(FeedInPieces(c.stream, cut1, cut2)), HexText(c.data)) << "cut at " << cut1 << ", " << cut2;
    }
  }
  CTelnetFilter filter;
  std::string data;
  for (char b : c.stream) filter.Feed(&b, 1, data);
  EXPECT_EQ(HexText(data), HexText(c.data)) << "fed byte by byte";
}

const std::string kLongSub1024 = Bytes("FF FA") + std::string(1024, 'x') + Bytes("FF F0") + "A";
const std::string kLongSub1025 = Bytes("FF FA") + std::string(1025, 'x') + "BC";
const std::string kLongSub1030 = Bytes("FF FA") + std::string(1030, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, TelnetFilterTable,
    ::testing::Values(FilterCase{"PlainData", Bytes("41 42 0D"), Bytes("41 42 0D")},
                      FilterCase{"DoubledIac", Bytes("41 FF FF 42"), Bytes("41 FF 42")},
                      FilterCase{"CommandDropsTwoBytes", Bytes("FF FB 01 41"), Bytes("01 41")},
                      FilterCase{"NopAndGoAhead", Bytes("41 FF F1 42 FF F9 43"), Bytes("41 42 43")},
                      FilterCase{"Subnegotiation", Bytes("41 FF FA 2C 65 00 00 25 80 FF F0 42"), Bytes("41 42")},
                      FilterCase{"IacInsideSubnegotiation", Bytes("FF FA 2C FF FF FF FF 01 FF F0 44"), Bytes("44")},
                      FilterCase{"SubnegotiationEndedByOtherCommand", Bytes("FF FA 2C 01 FF F1 45"), Bytes("45")},
                      FilterCase{"TwoSubnegotiationsInARow", Bytes("FF FA 01 FF F0 FF FA 02 FF F0 46"), Bytes("46")},
                      FilterCase{"UnfinishedIacHoldsBack", Bytes("41 FF"), Bytes("41")},
                      FilterCase{"UnfinishedSubnegotiationHoldsBack", Bytes("41 FF FA 2C 01 00"), Bytes("41")},
                      // A subnegotiation may hold 1024 bytes; the one that overflows it is dropped
                      // with it and the stream is data again.
                      FilterCase{"LongestSubnegotiation", kLongSub1024, "A"},
                      FilterCase{"OverlongSubnegotiationDropped", kLongSub1025, "BC"},
                      FilterCase{"OverlongSubnegotiationRestIsData", kLongSub1030, std::string(5, 'x')}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return info.param.name; });

TEST(TelnetFilter, ResetForgetsAHalfReadSequence) {
  CTelnetFilter filter;
  std::string data;
  filter.Feed("\xFF\xFA\x2C", 3, data);
  filter.Reset();
  filter.Feed("AB", 2, data);
  EXPECT_EQ(data, "AB");
}

}  // namespace
