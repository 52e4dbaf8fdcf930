// Test support: a converter with several text-protocol readers behind it, each at its own decimal
// address. "#<address> i" and "#<address> r" (CR-terminated) reach the reader at that address; a
// request for an address where no reader sits goes unanswered. With echo on, the converter repeats
// the five-digit address on a line of its own before an identification reply. Readers of the older
// firmware forms (version 409 or 410) answer a key request with "<address> <decimal number>" or
// "<address> No card"; the others with a key line or "No card".
#pragma once

// TextReaderSim.h brings Winsock 2, which must come before windows.h.
#include "TextReaderSim.h"

#include "LoopbackSim.h"
#include "SimFakePort.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct SimAddressReader {
  SimIdentity Identity;
  // The key in the field: a key line, or for the older firmware the decimal number; empty: none.
  std::string FieldKey;
};

// The converter and its readers, without a transport.
class CConverterModel {
 public:
  // The bytes answering what the host wrote (may hold several requests or part of one).
  std::string Take(const std::string& bytes);
  // The older firmware forms answer keys in decimal.
  static bool DecimalFirmware(const SimIdentity& identity) {
    return identity.Version == "409" || identity.Version == "410";
  }

  std::map<int, SimAddressReader> Readers;
  bool Echo = false;
  std::vector<std::string> Requests;  // without their terminators, in order

 private:
  std::string Answer(const std::string& request) const;
  std::string m_line;
};

// The converter behind the in-process fake port.
using CConverterSimFakePort = CSimDeviceFakePort<CConverterModel>;

// The same converter on the far side of a loopback TCP connection (a raw link, no Telnet), served by
// its own thread; the test's thread changes it through Change.
class CConverterSim : public CLoopbackSim<CConverterModel> {};
