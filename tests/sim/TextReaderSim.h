// Test support: a text-protocol reader on the far side of a loopback TCP connection, as a reader
// behind a network converter looks to the add-in. It answers the identification request for a
// chosen model, serial number and firmware with one canonical reply layout, the key request with the
// key in its field, the programming and Ultralight commands with "OK"; on demand it sends key lines,
// "No card", raw bytes, goes silent or drops the link. In NVT mode it speaks Telnet as a converter
// does: 0xFF doubled both ways, subnegotiations taken apart (SET-BAUDRATE becomes its line speed).
//
// It is served by the loopback server's thread; the test's thread scripts it and reads what it saw.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "../doubles/FakePort.h"
#include "LoopbackSim.h"

struct SimIdentity {
  std::string ModelName = "KD-6 A";
  unsigned HwCode = 0x301;
  unsigned Serial = 12345;
  std::string Version = "1.0";
};

// The device itself, without a transport: the requests it understands and its answers.
class CTextReaderModel {
 public:
  explicit CTextReaderModel(const SimIdentity& identity) : m_identity(identity) {}
  // The identification reply for an identity: "<model> S/N: <serial> [<hw hex>]" CR LF
  // "Software version: <version>" CR LF.
  static std::string InfoReply(const SimIdentity& identity);
  // The bytes answering one request (its terminator removed); empty when silent.
  std::string Answer(const std::string& request) const;

  std::string FieldKey;  // the key line of the key in the field; empty: none
  bool Silent = false;
  // Ultralight pages written with "put" (4 bytes each); a page never written holds its own number in
  // every byte. Answering a "put" changes the card, hence mutable.
  mutable std::map<unsigned, std::string> UltralightPages;
  // Answers the "t57" commands (a Temic transponder near the reader); none: the reader refuses them.
  std::function<std::string(const std::string&)> Temic;

 private:
  SimIdentity m_identity;
};

// The device as the far end of a converter's TCP port has it: the Telnet layer of NVT mode (0xFF
// doubled both ways, subnegotiations taken apart, SET-BAUDRATE the line speed), requests put together
// from their lines and recorded, and the device's answers. The loopback server hands it the bytes of
// the connection.
class CTextReaderLink {
 public:
  CTextReaderLink(const SimIdentity& identity, bool nvt) : Model(identity), m_nvt(nvt) {}

  // A new connection: the Telnet state and a partial request start afresh.
  void OnConnect();
  // The bytes answering what the host wrote, as they go on the wire.
  std::string Take(const std::string& bytes);
  // Bytes as they go on the wire: 0xFF doubled in NVT mode.
  std::string Wire(const std::string& bytes) const;

  CTextReaderModel Model;
  // Answers only while the line runs at this speed (0: at any).
  unsigned RequiredBaud = 0;
  // The line speed last set through SET-BAUDRATE (0: never).
  unsigned Baud = 0;
  // The requests (without their terminators) in order, with their tick count of arrival.
  std::vector<std::string> Requests;
  std::vector<DWORD> RequestTicks;
  // Subnegotiations seen, each as its raw content (option byte first).
  std::vector<std::string> Subnegotiations;

 private:
  void OnData(char c, std::string* reply);
  void OnRequest(const std::string& request, std::string* reply);

  bool m_nvt;
  std::string m_line;
  enum class Nvt { Data, Iac, Option, Sub, SubIac } m_state = Nvt::Data;
  std::string m_sub;
};

class CTextReaderSim : public CLoopbackSim<CTextReaderLink> {
 public:
  CTextReaderSim(const SimIdentity& identity, bool nvt) : CLoopbackSim(identity, nvt) {}

  // The key the reader holds in its field (empty: none); a key request answers it.
  void SetFieldKey(const std::string& keyLine);
  // Sends a line (CR LF added) now, on the open connection.
  bool SendLine(const std::string& line);
  bool SendRaw(const std::string& bytes);
  // Silent: requests are taken in but never answered.
  void SetSilent(bool silent);
  // The Temic transponder near the reader (see CTemicTransponder; empty: none).
  void SetTemic(std::function<std::string(const std::string&)> temic);
  // Answers only while the line runs at this speed (0: at any), as a reader set to another speed
  // hears nothing but noise.
  void SetRequiredBaud(unsigned baud);

  // What the simulator has seen (connections, Connected and Drop come with the loopback server).
  std::vector<std::string> Requests() const;
  std::vector<DWORD> RequestTicks() const;
  unsigned Baud() const;
  std::vector<std::string> Subnegotiations() const;
};

// The same device served through the in-process fake port: each request written to the port is
// answered at once with the device's reply (scripted exchanges of the fake port come first).
class CSimFakePort : public CFakePort {
 public:
  explicit CSimFakePort(const SimIdentity& identity) : Model(identity) {}
  HRESULT Write(const BYTE* data, UINT size, UINT timeout) override;

  CTextReaderModel Model;  // set up before the reader runs

 private:
  std::string m_line;
};
