#include "FakeDevices.h"

#include <setupapi.h>

#include <gtest/gtest.h>

#include <cwchar>

// MinGW's setupapi.h does not declare it; Wine's setupapi.dll exports it.
extern "C" WINSETUPAPI WINBOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                                DEVPROPTYPE, const BYTE*, DWORD, DWORD);

namespace {

const wchar_t SERIALCOMM_KEY[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const GUID PORTS_CLASS = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID USB_CLASS = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID USB_DEVICE_INTERFACE = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const wchar_t USB_INTERFACE_CLASS_KEY[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const DEVPROPKEY BUS_REPORTED_DESCRIPTION = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};

HKEY OpenSerialComm(REGSAM access) {
  HKEY key = nullptr;
  // HARDWARE is volatile, so the map must be too when it has to be made again.
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, nullptr, REG_OPTION_VOLATILE, access, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return nullptr;
  }
  return key;
}

// Removes every device of a set, present or not.
void RemoveDevices(HDEVINFO set) {
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
    SetupDiRemoveDevice(set, &device);
  }
  SetupDiDestroyDeviceInfoList(set);
}

// Wine's PnP manager marks an interface as present with Linked = 1 under its DeviceClasses entry;
// a registered fake has nobody to do that for it.
void LinkUsbInterfaces() {
  HKEY classKey = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, USB_INTERFACE_CLASS_KEY, 0, KEY_READ, &classKey), ERROR_SUCCESS);
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD chars = 512;
    if (RegEnumKeyExW(classKey, index, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::wstring control = std::wstring(name) + L"\\#\\Control";
    HKEY key = nullptr;
    if (RegCreateKeyExW(classKey, control.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
      DWORD linked = 1;
      RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof linked);
      RegCloseKey(key);
    }
  }
  RegCloseKey(classKey);
}

}  // namespace

CFakeDevices::CFakeDevices() : m_mutex(CreateMutexW(nullptr, FALSE, L"VombraPortDeviceTests")) {
  if (m_mutex) WaitForSingleObject(m_mutex, INFINITE);  // an abandoned mutex is still ours
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    m_hadSerialComm = true;
    for (DWORD index = 0;; ++index) {
      wchar_t name[256];
      DWORD chars = 256;
      BYTE data[1024];
      DWORD bytes = sizeof data;
      DWORD type = 0;
      if (RegEnumValueW(key, index, name, &chars, nullptr, &type, data, &bytes) != ERROR_SUCCESS) break;
      m_savedSerialComm.push_back({name, type, std::vector<BYTE>(data, data + bytes)});
    }
    RegCloseKey(key);
  }
  ClearSerialComm();
  RemoveAllDevices();
}

CFakeDevices::~CFakeDevices() {
  RemoveAllDevices();
  ClearSerialComm();
  if (m_hadSerialComm) {
    HKEY key = OpenSerialComm(KEY_WRITE);
    if (key) {
      for (const SavedValue& value : m_savedSerialComm) {
        RegSetValueExW(key, value.Name.c_str(), 0, value.Type, value.Data.data(), DWORD(value.Data.size()));
      }
      RegCloseKey(key);
    }
  }
  if (m_mutex) {
    ReleaseMutex(m_mutex);
    CloseHandle(m_mutex);
  }
}

void CFakeDevices::ClearSerialComm() {
  HKEY key = OpenSerialComm(KEY_READ | KEY_WRITE);
  if (!key) return;
  for (;;) {
    wchar_t name[1024];
    DWORD chars = 1024;
    if (RegEnumValueW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (RegDeleteValueW(key, name) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
}

void CFakeDevices::RemoveAllDevices() {
  RemoveDevices(SetupDiGetClassDevsW(&PORTS_CLASS, nullptr, nullptr, 0));
  RemoveDevices(SetupDiGetClassDevsW(&USB_DEVICE_INTERFACE, nullptr, nullptr, DIGCF_DEVICEINTERFACE));
}

void CFakeDevices::AddSerialComm(const wchar_t* name, const wchar_t* port) {
  AddSerialCommValue(name, REG_SZ, port, DWORD((wcslen(port) + 1) * sizeof(wchar_t)));
}

void CFakeDevices::AddSerialCommValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
  HKEY key = OpenSerialComm(KEY_WRITE);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  RegCloseKey(key);
}

void CFakeDevices::RemoveSerialCommKey() {
  LONG rc = RegDeleteKeyW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY);
  ASSERT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) << rc;
}

void CFakeDevices::AddPort(const wchar_t* instanceId, const wchar_t* portName) {
  if (portName) {
    AddPortValue(instanceId, REG_SZ, portName, DWORD((wcslen(portName) + 1) * sizeof(wchar_t)));
  } else {
    AddPortValue(instanceId, REG_NONE, nullptr, 0);
  }
}

void CFakeDevices::AddPortValue(const wchar_t* instanceId, DWORD type, const void* data, DWORD bytes) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&PORTS_CLASS, nullptr);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, instanceId, &PORTS_CLASS, L"Test serial port", nullptr, 0, &device))
      << GetLastError();
  ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) << GetLastError();
  HKEY key = SetupDiCreateDevRegKeyW(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
  ASSERT_NE(key, INVALID_HANDLE_VALUE);
  if (type != REG_NONE) {
    EXPECT_EQ(RegSetValueExW(key, L"PortName", 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  }
  RegCloseKey(key);
  SetupDiDestroyDeviceInfoList(set);
}

void CFakeDevices::AddUsbDevice(const wchar_t* instanceId, const wchar_t* description) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&USB_CLASS, nullptr);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, instanceId, &USB_CLASS, L"Test USB device", nullptr, 0, &device))
      << GetLastError();
  ASSERT_TRUE(SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr)) << GetLastError();
  ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(set, &device, &USB_DEVICE_INTERFACE, nullptr, 0, nullptr))
      << GetLastError();
  if (description) {
    EXPECT_TRUE(SetupDiSetDevicePropertyW(set, &device, &BUS_REPORTED_DESCRIPTION, DEVPROP_TYPE_STRING,
                                          reinterpret_cast<const BYTE*>(description),
                                          DWORD((wcslen(description) + 1) * sizeof(wchar_t)), 0))
        << GetLastError();
  }
  SetupDiDestroyDeviceInfoList(set);
  LinkUsbInterfaces();
}
