// Test support: serial ports and USB devices registered in the test prefix, for the port enumeration
// and everything built on it. The fixture owns the machine's port state for its life: it holds a lock
// that every such fixture of every test executable shares, starts from no ports at all (Wine lists
// COM1 in the serial-port map at every start) and puts the map back and removes its devices at the end.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CFakeDevices {
 public:
  CFakeDevices();
  ~CFakeDevices();
  CFakeDevices(const CFakeDevices&) = delete;
  CFakeDevices& operator=(const CFakeDevices&) = delete;

  // A value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Windows enumerates values in the order they were
  // added, Wine in the order of their names: tests add them in name order.
  void AddSerialComm(const wchar_t* name, const wchar_t* port);
  void AddSerialCommValue(const wchar_t* name, DWORD type, const void* data, DWORD bytes);
  // Removes the serial-port map itself (it comes back at the end).
  void RemoveSerialCommKey();

  // A present device of the Ports class with this instance ID and "PortName" in its hardware key; a
  // null port name leaves the value out (the key is there). Windows lists devices in the order they
  // were installed, Wine in the order of their instance IDs: tests add them in that order.
  void AddPort(const wchar_t* instanceId, const wchar_t* portName);
  // The same with a "PortName" value of any type (REG_NONE: no value).
  void AddPortValue(const wchar_t* instanceId, DWORD type, const void* data, DWORD bytes);
  // A present USB device with a USB device interface and, unless null, a bus-reported description.
  void AddUsbDevice(const wchar_t* instanceId, const wchar_t* description);

 private:
  struct SavedValue {
    std::wstring Name;
    DWORD Type;
    std::vector<BYTE> Data;
  };
  void ClearSerialComm();
  void RemoveAllDevices();

  HANDLE m_mutex;
  std::vector<SavedValue> m_savedSerialComm;
  bool m_hadSerialComm = false;
};
