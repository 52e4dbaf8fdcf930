// The serial ports of the computer: the candidates of the reader search, each with the reader models
// that may sit behind it, and the plain port names that the settings description offers.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The bits of the SearchFlags setting.
enum SEARCH_FLAGS : UINT {
  SF_STD_COM = 0x1,      // ports of the registry serial-port map whose device is a standard serial port
  SF_VIRTUAL_COM = 0x2,  // ports of the Ports device class
  SF_USB_IDS = 0x4,      // with SF_VIRTUAL_COM: only USB ports of known vendor and product IDs
  SF_USB_NAMES = 0x8,    // with both: FTDI ports classified by the description their USB device reports
  SF_IP = 0x10,          // converters that answer a UDP broadcast
  SF_CCID = 0x20,        // PC/SC readers
  SF_DEFAULT = SF_VIRTUAL_COM | SF_USB_IDS | SF_USB_NAMES | SF_CCID,
};

// Any reader model (bit n = model n of READER_MODEL).
constexpr UINT SEARCH_ANY_MODEL = 0xFFFFFFFF;

// A candidate port and the mask of reader models that may sit behind it.
struct _SEARCHPORT_INFO {
  std::wstring Name;
  UINT Models = SEARCH_ANY_MODEL;
};

// USB identifiers. FTDI's vendor ID and its own default product ID are public knowledge; the other
// values identify the reader family's own adapters and are placeholders of ours until the adapters'
// real identifiers are entered here.
constexpr UINT USB_VID_FTDI = 0x0403;
constexpr UINT USB_PID_FTDI_DEFAULT = 0x6001;
constexpr UINT USB_PID_ADAPTER_A = 0xA0A1;  // under FTDI's vendor ID
constexpr UINT USB_PID_ADAPTER_B = 0xA0B2;  // under FTDI's vendor ID
constexpr UINT USB_VID_ADAPTER_V = 0xF1A5;
constexpr UINT USB_PID_ADAPTER_C = 0xC0C3;  // under vendor V
constexpr UINT USB_VID_ADAPTER_W = 0xF1A7;
constexpr UINT USB_PID_ADAPTER_D = 0xD0D4;  // under vendor W
constexpr UINT USB_PID_ADAPTER_E = 0xE0E5;  // under vendor W

struct _USBID_INFO {
  UINT Vendor;
  UINT Product;
  UINT Models;
};
constexpr size_t USB_ID_COUNT = 6;
extern const _USBID_INFO g_UsbIdTable[USB_ID_COUNT];

// The descriptions that the USB bus reports for FTDI-based adapters of one reader kind.
struct _USBNAME_INFO {
  const wchar_t* Description;  // compared whole, without regard to case
  UINT Models;
};
constexpr size_t USB_NAME_COUNT = 7;
extern const _USBNAME_INFO g_UsbNameTable[USB_NAME_COUNT];

// Appends the candidate ports that the flags ask for; throws COSException when the registry map
// cannot be enumerated or a device-setup call fails.
void SearchComPorts(std::vector<_SEARCHPORT_INFO>& out, UINT searchFlags);

// The ports of the registry serial-port map, upper-cased, in enumeration order. Never throws for a
// registry failure: S_OK (also without the map), or the last failure as an HRESULT with whatever was
// read.
HRESULT EnumSerialCommPorts(std::vector<std::wstring>& out);

// The "PortName" values of the present Ports-class devices, in device order; failures as above.
HRESULT EnumSetupDiPorts(std::vector<std::wstring>& out);
