// The candidate ports of the reader search and the plain port listings, over serial-port map values
// and Ports-class and USB devices registered in the test prefix.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Core.h"
#include "Exceptions.h"
#include "FakeDevices.h"
#include "PortEnum.h"

namespace {

// "COM7:37E": one candidate as the tests compare them.
std::vector<std::wstring> Describe(const std::vector<_SEARCHPORT_INFO>& ports) {
  std::vector<std::wstring> out;
  for (const _SEARCHPORT_INFO& port : ports) {
    std::wstring text;
    StrFormat(text, L"%s:%X", port.Name.c_str(), port.Models);
    out.push_back(text);
  }
  return out;
}

std::vector<std::wstring> Search(UINT flags) {
  std::vector<_SEARCHPORT_INFO> ports;
  SearchComPorts(ports, flags);
  return Describe(ports);
}

std::wstring Id(const wchar_t* format, UINT a, UINT b) {
  std::wstring text;
  StrFormat(text, format, a, b);
  return text;
}

class PortEnumTest : public ::testing::Test {
 protected:
  CFakeDevices devices;
};

TEST_F(PortEnumTest, StandardPortsAreTheSerialValuesOfTheMap) {
  devices.AddSerialComm(L"Serial5", L"COM5");                    // no backslash in the name
  devices.AddSerialComm(L"\\Device\\Serial1", L"com1");
  devices.AddSerialComm(L"\\Device\\serial2", L"Com2");          // the name's case does not matter
  devices.AddSerialComm(L"\\Device\\Serial3", L"");              // no data
  DWORD number = 4;
  devices.AddSerialCommValue(L"\\Device\\Serial4", REG_DWORD, &number, sizeof number);
  // 70 characters: longer than the 128-byte buffer the standard ports are read with.
  std::wstring longPort(70, L'X');
  devices.AddSerialComm(L"\\Device\\Serial6", longPort.c_str());
  // Stored without its terminating NUL.
  devices.AddSerialCommValue(L"\\Device\\Serial7", REG_SZ, L"com7", 4 * sizeof(wchar_t));
  devices.AddSerialComm(L"\\Device\\Serial8", L"COM8");
  devices.AddSerialComm(L"\\Device\\VCP0", L"COM9");  // a virtual port driver: not standard

  const std::vector<std::wstring> expected = {L"COM1:FFFFFFFF", L"COM2:FFFFFFFF", L"COM7:FFFFFFFF",
                                              L"COM8:FFFFFFFF"};
  EXPECT_EQ(Search(SF_STD_COM), expected);
}

TEST_F(PortEnumTest, NoSerialMapGivesNoStandardPorts) {
  devices.RemoveSerialCommKey();
  EXPECT_TRUE(Search(SF_STD_COM).empty());
}

// The devices of one computer: FTDI-based ports with and without a matching USB device, ports of
// other known and unknown adapters, a built-in port and a device without a port name.
class DeviceClassTest : public PortEnumTest {
 protected:
  void SetUp() override {
    devices.AddSerialComm(L"\\Device\\Serial0", L"COM1");
    // Added in the order of their instance IDs, which is the order Wine lists them in (Windows keeps
    // the order they were installed in).
    devices.AddPort(L"ACPI\\PNP0501\\1", L"COM1");
    devices.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+A1B2C3D4A\\0000", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                    L"COM7");
    devices.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+NONAME01A\\0000", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                    nullptr);
    devices.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+RRRR0002A\\0000", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                    L"COM13");
    devices.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+QQQQ0001A\\0000", USB_VID_FTDI, USB_PID_ADAPTER_A).c_str(),
                    L"COM10");
    devices.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+ZZZZ9999A\\0000", USB_VID_FTDI, USB_PID_ADAPTER_B).c_str(),
                    L"COM11");
    devices.AddPort(L"USB\\VID_1234&PID_5678\\0001", L"COM9");
    devices.AddPort(Id(L"USB\\VID_%04X&PID_%04X\\7&99&0&2", USB_VID_ADAPTER_V, USB_PID_ADAPTER_C).c_str(), L"COM12");
    devices.AddPort(Id(L"USB\\VID_%04X&PID_%04X\\5&1234&0&1", USB_VID_ADAPTER_W, USB_PID_ADAPTER_D).c_str(), L"COM8");
    devices.AddPort(Id(L"USB\\VID_%04X&PID_%04X\\1", USB_VID_ADAPTER_W, USB_PID_ADAPTER_E).c_str(), L"COM16");

    devices.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\A1B2C3D4", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                         L"USB Tarvelon Adapter D");
    devices.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\QQQQ0001", USB_VID_FTDI, USB_PID_ADAPTER_A).c_str(),
                         L"usb tarvelon ADAPTER a");
    devices.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\RRRR0002", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                         L"Some Other Adapter");
    // A description of the table under another vendor: not an FTDI port, so it classifies nothing.
    devices.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\ZZZZ9999", USB_VID_ADAPTER_V, USB_PID_ADAPTER_C).c_str(),
                         L"USB Tarvelon Adapter C");
  }
};

TEST_F(DeviceClassTest, FlagsChooseTheCandidates) {
  const std::vector<std::wstring> everyPort = {L"COM1:FFFFFFFF",  L"COM7:FFFFFFFF",  L"COM13:FFFFFFFF",
                                               L"COM10:FFFFFFFF", L"COM11:FFFFFFFF", L"COM9:FFFFFFFF",
                                               L"COM12:FFFFFFFF", L"COM8:FFFFFFFF",  L"COM16:FFFFFFFF"};
  const std::vector<std::wstring> knownAdapters = {L"COM7:37E", L"COM13:37E", L"COM10:24A", L"COM11:134",
                                                   L"COM12:80", L"COM8:402",  L"COM16:800"};
  // Other vendors in device order; then the FTDI ports whose USB device's description is known; then
  // the FTDI ports left, in the order of their serial texts, with the models of their product ID.
  const std::vector<std::wstring> byNames = {L"COM12:80", L"COM8:402",  L"COM16:800", L"COM7:200",
                                             L"COM10:2",  L"COM13:37E", L"COM11:134"};
  std::vector<std::wstring> standardThenEvery = {L"COM1:FFFFFFFF"};
  standardThenEvery.insert(standardThenEvery.end(), everyPort.begin(), everyPort.end());

  struct Case {
    UINT flags;
    std::vector<std::wstring> expected;
  } cases[] = {
      {0x0, {}},
      {SF_IP | SF_CCID, {}},
      {SF_USB_IDS | SF_USB_NAMES, {}},  // both mean something only with the Ports class
      {SF_VIRTUAL_COM, everyPort},
      {SF_VIRTUAL_COM | SF_USB_NAMES, everyPort},
      {SF_VIRTUAL_COM | SF_USB_IDS, knownAdapters},
      {SF_VIRTUAL_COM | SF_USB_IDS | SF_USB_NAMES, byNames},
      {SF_DEFAULT, byNames},
      {SF_STD_COM, {L"COM1:FFFFFFFF"}},
      {SF_STD_COM | SF_VIRTUAL_COM, standardThenEvery},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "flags 0x" << std::hex << c.flags);
    std::vector<std::wstring> found = Search(c.flags);
    const UINT byNameFlags = SF_VIRTUAL_COM | SF_USB_IDS | SF_USB_NAMES;
    if ((c.flags & byNameFlags) == byNameFlags) {
      // The matched FTDI ports come in the order the system lists USB devices: compare them as a set.
      ASSERT_EQ(found.size(), c.expected.size());
      std::vector<std::wstring> matched(found.begin() + 3, found.begin() + 5);
      std::sort(matched.begin(), matched.end());
      std::copy(matched.begin(), matched.end(), found.begin() + 3);
      std::vector<std::wstring> expected = c.expected;
      std::sort(expected.begin() + 3, expected.begin() + 5);
      EXPECT_EQ(found, expected);
    } else {
      EXPECT_EQ(found, c.expected);
    }
  }
}

TEST_F(PortEnumTest, BothChannelsOfAnAdapterAreKept) {
  for (const wchar_t* channel : {L"A", L"B"}) {
    std::wstring id = Id(L"FTDIBUS\\VID_%04X+PID_%04X+DUAL0001", USB_VID_FTDI, USB_PID_FTDI_DEFAULT) + channel +
                      L"\\0000";
    devices.AddPort(id.c_str(), channel[0] == L'A' ? L"COM14" : L"COM15");
  }
  // Without a USB device: both with the models of the product ID.
  EXPECT_EQ(Search(SF_DEFAULT), (std::vector<std::wstring>{L"COM14:37E", L"COM15:37E"}));

  devices.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\DUAL0001", USB_VID_FTDI, USB_PID_FTDI_DEFAULT).c_str(),
                       L"USB Tarvelon Adapter G");
  EXPECT_EQ(Search(SF_DEFAULT), (std::vector<std::wstring>{L"COM14:C02", L"COM15:C02"}));
}

TEST_F(PortEnumTest, EveryDescriptionOfTheTableNamesItsModels) {
  struct Case {
    const wchar_t* description;
    const wchar_t* expected;
  } cases[] = {
      {L"USB Tarvelon Adapter A", L"COM20:2"},   {L"USB Tarvelon Adapter B", L"COM20:8"},
      {L"USB Tarvelon Adapter C", L"COM20:40"},  {L"USB Tarvelon Adapter D", L"COM20:200"},
      {L"M561 Converter E", L"COM20:134"},       {L"USB Tarvelon Bridge F", L"COM20:134"},
      {L"USB Tarvelon Adapter G", L"COM20:C02"}, {L"USB Tarvelon Adapter", L"COM20:24A"},
      {L"USB Tarvelon Adapter AB", L"COM20:24A"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.description);
    CFakeDevices scenario;
    scenario.AddPort(Id(L"FTDIBUS\\VID_%04X+PID_%04X+SER00001A\\0000", USB_VID_FTDI, USB_PID_ADAPTER_A).c_str(),
                     L"COM20");
    scenario.AddUsbDevice(Id(L"USB\\VID_%04X&PID_%04X\\SER00001", USB_VID_FTDI, USB_PID_ADAPTER_A).c_str(),
                          c.description);
    EXPECT_EQ(Search(SF_DEFAULT), std::vector<std::wstring>{c.expected});
  }
}

TEST_F(PortEnumTest, SerialMapListingUpperCasesTheData) {
  devices.AddSerialComm(L"\\Device\\A0", L"com1");
  devices.AddSerialComm(L"\\Device\\B0", L"");
  DWORD number = 4;
  devices.AddSerialCommValue(L"\\Device\\C0", REG_DWORD, &number, sizeof number);
  devices.AddSerialComm(L"\\Device\\D0", L"Com9");
  devices.AddSerialCommValue(L"\\Device\\E0", REG_SZ, L"cnca0", 5 * sizeof(wchar_t));  // no terminator

  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSerialCommPorts(ports), S_OK);
  EXPECT_EQ(ports, (std::vector<std::wstring>{L"COM1", L"COM9", L"CNCA0"}));
}

TEST_F(PortEnumTest, SerialMapListingSkipsAValueTooLongAndReportsIt) {
  devices.AddSerialComm(L"\\Device\\Serial0", L"COM1");
  std::wstring longPort(300, L'x');  // 602 bytes: more than the 512-byte buffer
  devices.AddSerialComm(L"\\Device\\Serial1", longPort.c_str());
  devices.AddSerialComm(L"\\Device\\Serial2", L"COM2");

  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSerialCommPorts(ports), HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(ports, (std::vector<std::wstring>{L"COM1", L"COM2"}));
}

TEST_F(PortEnumTest, SerialMapListingWithoutTheMapIsEmptyAndSucceeds) {
  devices.RemoveSerialCommKey();
  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSerialCommPorts(ports), S_OK);
  EXPECT_TRUE(ports.empty());
}

TEST_F(PortEnumTest, DeviceClassListingGivesPortNamesAsStored) {
  devices.AddPort(L"ACPI\\PNP0501\\1", L"com3");
  DWORD number = 5;
  devices.AddPortValue(L"ACPI\\PNP0501\\2", REG_DWORD, &number, sizeof number);
  devices.AddPort(L"USB\\VID_1234&PID_5678\\0001", L"COM4");

  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSetupDiPorts(ports), S_OK);
  EXPECT_EQ(ports, (std::vector<std::wstring>{L"com3", L"COM4"}));
}

TEST_F(PortEnumTest, DeviceClassListingReportsADeviceWithoutPortName) {
  devices.AddPort(L"ACPI\\PNP0501\\1", L"COM3");
  devices.AddPort(L"ACPI\\PNP0501\\2", nullptr);
  devices.AddPort(L"ACPI\\PNP0501\\3", L"COM5");

  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSetupDiPorts(ports), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ports, (std::vector<std::wstring>{L"COM3", L"COM5"}));
}

TEST_F(PortEnumTest, NoDevicesGiveNoPorts) {
  std::vector<std::wstring> ports;
  EXPECT_EQ(EnumSetupDiPorts(ports), S_OK);
  EXPECT_TRUE(ports.empty());
  EXPECT_TRUE(Search(SF_DEFAULT).empty());
}

}  // namespace
