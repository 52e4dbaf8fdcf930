// Serial-port enumeration: the registry's serial-port map and the Windows device-setup information.
#include "PortEnum.h"

#include <setupapi.h>

#include <cwchar>
#include <map>

#include "Core.h"
#include "Exceptions.h"
#include "Handles.h"

const _USBID_INFO g_UsbIdTable[USB_ID_COUNT] = {
    {USB_VID_FTDI, USB_PID_ADAPTER_A, 0x24A},       // models 1, 3, 6, 9
    {USB_VID_FTDI, USB_PID_ADAPTER_B, 0x134},       // models 2, 4, 5, 8
    {USB_VID_FTDI, USB_PID_FTDI_DEFAULT, 0x37E},    // models 1, 2, 3, 4, 5, 6, 8, 9
    {USB_VID_ADAPTER_V, USB_PID_ADAPTER_C, 0x80},   // model 7
    {USB_VID_ADAPTER_W, USB_PID_ADAPTER_D, 0x402},  // models 1, 10
    {USB_VID_ADAPTER_W, USB_PID_ADAPTER_E, 0x800},  // model 11
};

const _USBNAME_INFO g_UsbNameTable[USB_NAME_COUNT] = {
    {L"USB Tarvelon Adapter A", 0x2},   {L"USB Tarvelon Adapter B", 0x8},   {L"USB Tarvelon Adapter C", 0x40},
    {L"USB Tarvelon Adapter D", 0x200}, {L"M561 Converter E", 0x134},       {L"USB Tarvelon Bridge F", 0x134},
    {L"USB Tarvelon Adapter G", 0xC02},
};

namespace {

const wchar_t SERIALCOMM_KEY[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// The Ports device class and the USB device interface class.
const GUID PORTS_CLASS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID USB_DEVICE_INTERFACE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
// The description that the USB bus reports for a device (a string property).
const DEVPROPKEY BUS_REPORTED_DESCRIPTION = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

constexpr DWORD INSTANCE_ID_CHARS = 201;
constexpr size_t SERIAL_CHARS = 8;

typedef BOOL(WINAPI* GetDevicePropertyProc)(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE*, PBYTE,
                                            DWORD, PDWORD, DWORD);

// Registry text as read: the byte count need not cover a terminator, and a stored terminator (or
// anything after one) is not part of the text.
std::wstring TextOfData(const wchar_t* data, DWORD bytes) {
  const size_t chars = bytes / sizeof(wchar_t);
  return std::wstring(data, wcsnlen(data, chars));
}

void UpperCase(std::wstring& text) {
  if (!text.empty()) CharUpperBuffW(&text[0], DWORD(text.size()));
}

// "PortName" of a device's hardware key; false when the device has no readable REG_SZ name.
bool ReadPortName(HDEVINFO set, SP_DEVINFO_DATA* device, std::wstring& name) {
  // SetupDiOpenDevRegKey fails with INVALID_HANDLE_VALUE, not NULL, which the owner would try to close.
  HKEY opened = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (opened == INVALID_HANDLE_VALUE) return false;
  CRegKey key(opened);
  wchar_t data[128 / sizeof(wchar_t)] = {};
  DWORD type = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  name = TextOfData(data, size);
  return !name.empty();
}

// The vendor, product and serial text of a USB serial port's device-instance ID; false for an ID of
// another bus or a malformed one. An FTDI port carries the adapter's serial number with a channel
// letter appended; the first eight characters are the serial of the USB device itself.
bool ParsePortInstanceId(const wchar_t* id, UINT& vendor, UINT& product, std::wstring& serial) {
  wchar_t serialText[SERIAL_CHARS + 1] = {};
  serial.clear();
  if (wcsncmp(id, L"USB\\", 4) == 0) {
    return swscanf(id + 4, L"VID_%x&PID_%x", &vendor, &product) == 2;
  }
  if (wcsncmp(id, L"FTDIBUS\\", 8) == 0) {
    if (swscanf(id + 8, L"VID_%x+PID_%x+%8ls", &vendor, &product, serialText) < 2) return false;
    serial = serialText;
    return true;
  }
  return false;
}

bool FindUsbModels(UINT vendor, UINT product, UINT& models) {
  for (const _USBID_INFO& row : g_UsbIdTable) {
    if (row.Vendor == vendor && row.Product == product) {
      models = row.Models;
      return true;
    }
  }
  return false;
}

void AddStandardPorts(std::vector<_SEARCHPORT_INFO>& out) {
  CRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
    // A failed open holds no key, whatever it left in the slot.
    key.Detach();
    return;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    // One character more than the 128 bytes the value may fill, so the text always ends.
    wchar_t data[128 / sizeof(wchar_t) + 1] = {};
    DWORD nameChars = 256;
    DWORD dataBytes = 128;
    DWORD type = 0;
    LONG rc = RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                            &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // A value too long for the buffers is no standard port name: skip it rather than lose the rest.
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) ThrowOSException(rc);
    if (type != REG_SZ) continue;
    std::wstring port = TextOfData(data, dataBytes);
    if (port.empty()) continue;
    UpperCase(port);
    const wchar_t* slash = wcsrchr(name, L'\\');
    if (slash && _wcsnicmp(slash + 1, L"Serial", 6) == 0) out.push_back({port, SEARCH_ANY_MODEL});
  }
}

// With SF_USB_NAMES: the FTDI ports set aside by serial text get the models of their USB device's
// description, or else those of their product ID.
void ClassifyByUsbNames(std::vector<_SEARCHPORT_INFO>& out, std::multimap<std::wstring, _SEARCHPORT_INFO>& ftdi) {
  CModule setupapi(LoadLibraryW(L"Setupapi.dll"));
  if (!setupapi) ThrowOSException(GetLastError());
  auto getProperty =
      reinterpret_cast<GetDevicePropertyProc>((void*)GetProcAddress(setupapi.Get(), "SetupDiGetDevicePropertyW"));
  if (!getProperty) ThrowOSException(GetLastError());

  CDevInfoSet set(SetupDiGetClassDevsW(&USB_DEVICE_INTERFACE, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set.Valid()) ThrowOSException(GetLastError());
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA deviceInterface{};
    deviceInterface.cbSize = sizeof deviceInterface;
    if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &USB_DEVICE_INTERFACE, index, &deviceInterface)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    DWORD size = 0;
    if (SetupDiGetDeviceInterfaceDetailW(set.Get(), &deviceInterface, nullptr, 0, &size, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      ThrowOSException(GetLastError());
    }
    std::vector<BYTE> detailBlock(size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                      ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)
                                      : size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBlock.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(set.Get(), &deviceInterface, detail, DWORD(detailBlock.size()), nullptr,
                                          &device)) {
      ThrowOSException(GetLastError());
    }
    wchar_t id[INSTANCE_ID_CHARS] = {};
    if (!SetupDiGetDeviceInstanceIdW(set.Get(), &device, id, INSTANCE_ID_CHARS, nullptr)) {
      ThrowOSException(GetLastError());
    }

    UINT vendor = 0;
    UINT product = 0;
    wchar_t serialText[SERIAL_CHARS + 1] = {};
    if (swscanf(id, L"%*[^\\]\\VID_%x&PID_%x\\%8ls", &vendor, &product, serialText) != 3) continue;
    if (vendor != USB_VID_FTDI) continue;
    auto range = ftdi.equal_range(serialText);
    if (range.first == range.second) continue;

    // One byte more than the property may fill, so the text always ends.
    wchar_t description[256 / sizeof(wchar_t) + 1] = {};
    DEVPROPTYPE type = 0;
    DWORD bytes = 0;
    if (!getProperty(set.Get(), &device, &BUS_REPORTED_DESCRIPTION, &type, reinterpret_cast<BYTE*>(description),
                     256, &bytes, 0) ||
        type != DEVPROP_TYPE_STRING) {
      continue;
    }
    for (const _USBNAME_INFO& row : g_UsbNameTable) {
      if (_wcsicmp(description, row.Description) != 0) continue;
      // A multi-channel adapter has one port per channel under the same serial: all of them are its.
      for (auto entry = range.first; entry != range.second; ++entry) out.push_back({entry->second.Name, row.Models});
      ftdi.erase(range.first, range.second);
      break;
    }
  }
  for (const auto& entry : ftdi) out.push_back(entry.second);
}

void AddDeviceClassPorts(std::vector<_SEARCHPORT_INFO>& out, UINT flags) {
  if ((flags & SF_USB_NAMES) && !IsWindowsVistaOrLater()) flags &= ~SF_USB_NAMES;
  CDevInfoSet set(SetupDiGetClassDevsW(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT));
  if (!set.Valid()) ThrowOSException(GetLastError());

  std::multimap<std::wstring, _SEARCHPORT_INFO> ftdi;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set.Get(), index, &device)) {
      DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) break;
      ThrowOSException(error);
    }
    std::wstring name;
    if (!ReadPortName(set.Get(), &device, name)) continue;
    if (!(flags & SF_USB_IDS)) {
      out.push_back({name, SEARCH_ANY_MODEL});
      continue;
    }
    wchar_t id[INSTANCE_ID_CHARS] = {};
    if (!SetupDiGetDeviceInstanceIdW(set.Get(), &device, id, INSTANCE_ID_CHARS, nullptr)) continue;
    UINT vendor = 0;
    UINT product = 0;
    UINT models = 0;
    std::wstring serial;
    if (!ParsePortInstanceId(id, vendor, product, serial) || !FindUsbModels(vendor, product, models)) continue;
    if ((flags & SF_USB_NAMES) && vendor == USB_VID_FTDI) {
      ftdi.emplace(serial, _SEARCHPORT_INFO{name, models});
    } else {
      out.push_back({name, models});
    }
  }
  if (flags & SF_USB_NAMES) ClassifyByUsbNames(out, ftdi);
}

}  // namespace

void SearchComPorts(std::vector<_SEARCHPORT_INFO>& out, UINT searchFlags) {
  if (searchFlags & SF_STD_COM) AddStandardPorts(out);
  if (searchFlags & SF_VIRTUAL_COM) AddDeviceClassPorts(out, searchFlags);
}

HRESULT EnumSerialCommPorts(std::vector<std::wstring>& out) {
  CRegKey key;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, key.Receive());
  if (rc != ERROR_SUCCESS) {
    key.Detach();  // nothing to close, as above
    return rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
  }
  LONG failure = ERROR_SUCCESS;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    wchar_t data[512 / sizeof(wchar_t) + 1] = {};
    DWORD nameChars = 256;
    DWORD dataBytes = 512;
    DWORD type = 0;
    rc = RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data),
                       &dataBytes);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) {
      failure = rc;
      continue;
    }
    if (type != REG_SZ) continue;
    std::wstring port = TextOfData(data, dataBytes);
    if (port.empty()) continue;
    UpperCase(port);
    out.push_back(std::move(port));
  }
  return failure == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(failure);
}

HRESULT EnumSetupDiPorts(std::vector<std::wstring>& out) {
  CDevInfoSet set(SetupDiGetClassDevsW(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT));
  if (!set.Valid()) return HRESULT_FROM_WIN32(GetLastError());
  LONG failure = ERROR_SUCCESS;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set.Get(), index, &device)) {
      DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_ITEMS) break;
      return HRESULT_FROM_WIN32(error);
    }
    HKEY opened = SetupDiOpenDevRegKey(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (opened == INVALID_HANDLE_VALUE) {
      failure = LONG(GetLastError());
      continue;
    }
    CRegKey key(opened);
    DWORD type = 0;
    DWORD bytes = 0;
    LONG rc = RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, nullptr, &bytes);
    std::vector<wchar_t> data;
    if (rc == ERROR_SUCCESS && type == REG_SZ) {
      data.assign(bytes / sizeof(wchar_t) + 1, L'\0');
      rc = RegQueryValueExW(key.Get(), L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    }
    if (rc != ERROR_SUCCESS) {
      failure = rc;
      continue;
    }
    if (type != REG_SZ) continue;
    std::wstring port = TextOfData(data.data(), bytes);
    if (!port.empty()) out.push_back(std::move(port));
  }
  return failure == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(failure);
}
