// Test support: a text-protocol reader on the far side of a loopback TCP connection, as a reader
// behind a network converter looks to the add-in. It answers the identification request for a
// chosen model, serial number and firmware with one canonical reply layout, the key request with the
// key in its field, the programming and Ultralight commands with "OK"; on demand it sends key lines,
// "No card", raw bytes, goes silent or drops the link. In NVT mode it speaks Telnet as a converter
// does: 0xFF doubled both ways, subnegotiations taken apart (SET-BAUDRATE becomes its line speed).
//
// It runs its own thread; the test's thread scripts it and reads what it saw.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../doubles/FakePort.h"

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

class CTextReaderSim {
 public:
  CTextReaderSim(const SimIdentity& identity, bool nvt);
  ~CTextReaderSim();
  CTextReaderSim(const CTextReaderSim&) = delete;
  CTextReaderSim& operator=(const CTextReaderSim&) = delete;

  bool Listening() const { return m_listener != INVALID_SOCKET; }
  std::wstring PortName() const;

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
  void SetRequiredBaud(unsigned baud) { m_requiredBaud = baud; }
  // Ends the open connection with a reset, as a converter losing power.
  void Drop();

  // What the simulator has seen.
  int Connections() const { return m_connections; }
  bool WaitConnections(int count, DWORD timeout) const;
  bool Connected() const;
  // The requests (without their terminators) in order, with their tick count of arrival.
  std::vector<std::string> Requests() const;
  std::vector<DWORD> RequestTicks() const;
  // The line speed last set through SET-BAUDRATE (0: never).
  unsigned Baud() const { return m_baud; }
  // Subnegotiations seen, each as its raw content (option byte first).
  std::vector<std::string> Subnegotiations() const;

 private:
  void Serve();
  void Take(const char* bytes, size_t n);
  void OnData(char c);
  void OnRequest(const std::string& request);
  bool SendLocked(const std::string& bytes);

  bool m_nvt;
  SOCKET m_listener = INVALID_SOCKET;
  USHORT m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_connections{0};
  std::atomic<unsigned> m_baud{0};
  std::atomic<unsigned> m_requiredBaud{0};

  mutable std::mutex m_mutex;  // guards everything below
  SOCKET m_client = INVALID_SOCKET;
  CTextReaderModel m_model;
  std::string m_line;
  std::vector<std::string> m_requests;
  std::vector<DWORD> m_requestTicks;
  std::vector<std::string> m_subs;
  // Telnet receive state.
  enum class Nvt { Data, Iac, Option, Sub, SubIac } m_state = Nvt::Data;
  std::string m_sub;
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
