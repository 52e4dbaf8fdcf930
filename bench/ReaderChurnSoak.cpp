// Reader churn: sixteen readers over the loopback simulators (text readers raw and over Telnet,
// binary-mode readers, two converters with two addresses each, model-9 readers) while each
// simulator's script drops its link, sends garbage and bursts, stalls in the middle of a line or
// frame and comes back, goes silent; two host threads meanwhile close and reopen readers, ask for
// reconnects, run card commands and query. Afterwards the process must be back where it started
// (threads, handles, the host's live memory blocks, the bytes in use on the runtime's heap) and every
// key presented while its reader was connected must have reached the host exactly once. Each minute
// it prints the private bytes with the runtime heap's bytes in use (the add-in's) and the soak's own
// records (kept on a heap of their own, they grow by about a megabyte a minute).
//
// A key counts as presented while connected when the host had seen the reader's DeviceConnect
// before the key was sent (or put into the field) and nothing broke the reader's link in the first
// seconds after: no DeviceDisconnect, Close, Reconnect, card-command exchange or (behind a converter)
// silence of the other address. Such a key must arrive exactly once, with its own text; a key whose
// presentation something broke may be lost, but no key may arrive that was never presented.
//
//   SOAK_SECONDS  how long the churn runs (default 20)
//   SOAK_SEED     the scripts' random seed (default: the time)
//   SOAK_WARMUP   seconds of churn before the starting figures (default 5)
//   SOAK_LOG      the add-in's log file, written at the most detailed level (default: no log)
// Exit code 0 when nothing leaked and nothing was lost; 1 on a finding; 3 on a hang (watchdog).
// winsock2.h must come before windows.h, which would pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "FakeHost.h"
#include "SoakSupport.h"
#include "Vombra.h"
#include "sim/BinaryReaderSim.h"
#include "sim/ConverterSim.h"
#include "sim/FramedReaderSim.h"
#include "sim/LoopbackSim.h"
#include "sim/TextReaderSim.h"

namespace {

// The soak's own records grow with the run: they live on a heap of their own, so that what they
// take is told apart from what the add-in holds on the runtime's heap.
HANDLE OwnHeap() {
  static const HANDLE heap = HeapCreate(0, 0, 0);
  return heap;
}
template <class T>
struct OwnAllocator {
  using value_type = T;
  OwnAllocator() = default;
  template <class U>
  OwnAllocator(const OwnAllocator<U>&) {}
  T* allocate(size_t n) {
    void* block = HeapAlloc(OwnHeap(), 0, n * sizeof(T));
    if (!block) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, size_t) { HeapFree(OwnHeap(), 0, block); }
  template <class U>
  bool operator==(const OwnAllocator<U>&) const { return true; }
  template <class U>
  bool operator!=(const OwnAllocator<U>&) const { return false; }
};
using OwnText = std::basic_string<wchar_t, std::char_traits<wchar_t>, OwnAllocator<wchar_t>>;
using OwnLine = std::basic_string<char, std::char_traits<char>, OwnAllocator<char>>;
template <class T>
using OwnVector = std::vector<T, OwnAllocator<T>>;
OwnText Own(const std::wstring& text) { return OwnText(text.data(), text.size()); }

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
std::string Narrow(const wchar_t* text) { return Narrow(std::wstring(text)); }
std::string Narrow(const OwnText& text) { return std::string(text.begin(), text.end()); }

std::string Join(std::string bytes) { return bytes; }
std::string Join(const std::vector<std::string>& pieces) {
  std::string bytes;
  for (const std::string& piece : pieces) bytes += piece;
  return bytes;
}

// The key line of a sequence number and the text the soak's format makes of it.
std::string KeyLine(unsigned sequence) {
  char line[64];
  snprintf(line, sizeof line, "Em-Marine[0000] %.3u,%.5u", (sequence >> 16) & 0xFF, sequence & 0xFFFF);
  return line;
}
std::wstring KeyText(unsigned sequence) {
  wchar_t text[32];
  swprintf(text, 32, L"%.3u,%.5u", (sequence >> 16) & 0xFF, sequence & 0xFFFF);
  return text;
}

// A device model with the faults of a bad link around it: silence (requests taken in, nothing
// answered) and a reply cut in two, its second half held back until the script sends it.
template <class Device>
class CUnrulyModel {
 public:
  template <class... Args>
  explicit CUnrulyModel(Args&&... args) : Model(std::forward<Args>(args)...) {}

  std::string Take(const std::string& bytes) {
    std::string reply = Join(Model.Take(bytes));
    ForgetRequests();
    if (Silent) return std::string();
    if (StallNext && reply.size() >= 2) {
      StallNext = false;
      const size_t cut = reply.size() / 2;
      Held = reply.substr(cut);
      reply.resize(cut);
    }
    return reply;
  }
  void OnConnect() {
    Held.clear();
    if constexpr (HearsConnects<Device>::value) Model.OnConnect();
    // A binary-mode reader is identified in text only: the soak's readers are powered through
    // their link and start afresh with each connection.
    if constexpr (std::is_same<Device, CBinaryReaderModel>::value) Model.Restart();
  }

  // The soak never looks at what a device took in: the model's records of it go as they come, or they
  // would grow with the run.
  void ForgetRequests() {
    if constexpr (std::is_same<Device, CTextReaderLink>::value) {
      Model.Requests.clear();
      Model.RequestTicks.clear();
      Model.Subnegotiations.clear();
    } else if constexpr (std::is_same<Device, CFramedReaderModel>::value) {
      Model.Frames.clear();
      Model.Indications.clear();
    } else {
      Model.Requests.clear();
    }
  }

  Device Model;
  bool Silent = false;
  bool StallNext = false;
  std::string Held;
};

// Wine's Winsock gives a thread an event of its own on the thread's first blocking socket call and
// keeps it until the thread ends. A soak thread whose script happens to send nothing in the warm-up
// would make that event after the starting figures: each thread makes its first call here, at once.
void TouchWinsock() {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  char byte = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      sendto(s, &byte, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1) {
    recv(s, &byte, 1, 0);
  }
  closesocket(s);
}

enum class Kind { Text, Binary, Converter, Framed };

// One simulator as the scripts see it; a converter's simulator serves two readers.
class ISim {
 public:
  virtual ~ISim() = default;
  virtual std::wstring PortName() const = 0;
  virtual bool Connected() const = 0;
  virtual void Drop() = 0;
  // Bytes from the device of its own accord (Telnet-coded where the link speaks it).
  virtual bool SendBytes(const std::string& bytes) = 0;
  virtual void SetSilent(bool silent) = 0;
  // Cuts the next reply; TakeHeld gives its second half once it was cut.
  virtual void StallNextReply() = 0;
  virtual std::string TakeHeld() = 0;
  // The key in the field of the reader at address (-1: the only one); an empty key clears it.
  virtual void SetKey(int address, unsigned sequence, bool present) = 0;
};

template <class Device>
class CSim : public ISim, public CLoopbackSim<CUnrulyModel<Device>> {
 public:
  using Base = CLoopbackSim<CUnrulyModel<Device>>;
  template <class... Args>
  explicit CSim(Args&&... args) : Base(std::forward<Args>(args)...) {}

  std::wstring PortName() const override { return Base::PortName(); }
  bool Connected() const override { return Base::Connected(); }
  void Drop() override { Base::Drop(); }
  bool SendBytes(const std::string& bytes) override {
    std::string wire = bytes;
    if constexpr (std::is_same<Device, CTextReaderLink>::value) {
      wire = Base::Inspect([&](const CUnrulyModel<Device>& m) { return m.Model.Wire(bytes); });
    }
    return Base::Send(wire);
  }
  void SetSilent(bool silent) override {
    Base::Change([&](CUnrulyModel<Device>& m) { m.Silent = silent; });
  }
  void StallNextReply() override {
    Base::Change([](CUnrulyModel<Device>& m) { m.StallNext = true; });
  }
  std::string TakeHeld() override {
    std::string held;
    Base::Change([&](CUnrulyModel<Device>& m) { held.swap(m.Held); });
    return held;
  }
  void SetKey(int address, unsigned sequence, bool present) override {
    Base::Change([&](CUnrulyModel<Device>& m) { PutKey(m.Model, address, sequence, present); });
  }

 private:
  // Key bytes that every three neighbours of tell the sequence number (whichever bytes and in
  // whichever order the format shows).
  static std::string SequenceBytes(unsigned sequence, size_t length) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) bytes += char(i % 2 ? sequence & 0xFF : (sequence >> 8) & 0xFF);
    return bytes;
  }
  static void PutKey(CTextReaderLink&, int, unsigned, bool) {}
  static void PutKey(CBinaryReaderModel& model, int, unsigned sequence, bool present) {
    if (!present) {
      model.RemoveCard(SequenceBytes(sequence, 4));
      return;
    }
    SimCard card;
    card.Uid = SequenceBytes(sequence, 4);
    card.Sak = 0x08;
    card.Memory.assign(16 * 64, '\0');
    model.AddCard(card);
  }
  static void PutKey(CConverterModel& model, int address, unsigned sequence, bool present) {
    model.Readers[address].FieldKey = present ? KeyLine(sequence) : std::string();
  }
  static void PutKey(CFramedReaderModel& model, int, unsigned sequence, bool present) {
    model.EmMarine = present ? SequenceBytes(sequence, 5) : std::string();
  }
};

// The text the soak's format (byte 2, then bytes 0 and 1 as a little-endian word) makes of a
// presented key: the key line's own numbers, or the sequence bytes of a card's UID or code.
std::wstring KeyText(Kind kind, unsigned sequence) {
  if (kind == Kind::Text || kind == Kind::Converter) return KeyText(sequence);
  const unsigned high = (sequence >> 8) & 0xFF, low = sequence & 0xFF;
  wchar_t text[32];
  swprintf(text, 32, L"%.3u,%.5u", high, high | low << 8);
  return text;
}

struct Slot {
  Kind kind = Kind::Text;
  ISim* sim = nullptr;
  int address = -1;
  std::wstring port;  // what Open is given
  UINT flags = 0;
  UINT model = 0;
  std::wstring source;  // the events' source
  std::wstring deviceId;  // touched by the slot's host thread only

  // Under the soak's lock.
  bool open = false;
  bool connected = false;
  unsigned epoch = 0;  // moves whenever something breaks the reader's link
  DWORD sinceUnconnected = 0;
  OwnVector<OwnText> keys;  // TracksData texts in order of arrival
  long connects = 0, disconnects = 0, driverErrors = 0;
  std::deque<OwnLine, OwnAllocator<OwnLine>> trace;  // the last events and script steps, shown with a finding

  // The script's own.
  unsigned sequence = 0;
  OwnVector<OwnText> counted;  // texts of keys presented while connected
  std::set<OwnText, std::less<OwnText>, OwnAllocator<OwnText>> presented;  // texts of every key sent or shown
  long excluded = 0, lost = 0, garbage = 0, bursts = 0, stalls = 0, drops = 0, silences = 0;
};

CSectionLock g_lock;  // the slots' shared fields
// The churn threads live from before the starting figures to after the final ones (a thread's
// first socket call leaves per-thread state behind in the runtime): they run, or pause between the
// phases while the readers are closed and the process is measured.
enum Phase { kRun, kPause, kEnd };
std::atomic<int> g_phase{kPause};
std::atomic<int> g_busy{0};  // churn threads inside a step
bool Halting() { return g_phase != kRun; }

// A churn thread's step; false (and nothing done) unless the churn runs.
class CStep {
 public:
  CStep() { ++g_busy; }
  ~CStep() {
    if (m_counted) --g_busy;
  }
  bool Runs() {
    if (g_phase == kRun) return true;
    m_counted = false;
    --g_busy;
    return false;
  }

 private:
  bool m_counted = true;
};
std::atomic<long> g_failures{0};

void Fail(const char* format, const std::string& detail) {
  std::printf("FAIL: ");
  std::printf(format, detail.c_str());
  std::printf("\n");
  std::fflush(stdout);
  ++g_failures;
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Text: return "text";
    case Kind::Binary: return "binary";
    case Kind::Converter: return "converter";
    case Kind::Framed: return "model 9";
  }
  return "?";
}

// With g_lock held.
void Trace(Slot& slot, const std::string& what) {
  // The time of day, as the add-in's log writes it.
  SYSTEMTIME now;
  GetLocalTime(&now);
  char stamp[16];
  snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  const std::string line = stamp + (" " + what);
  slot.trace.emplace_back(line.data(), line.size());
  if (slot.trace.size() > 4000) slot.trace.pop_front();
}

// With g_lock held: the steps around the first that mentions focus, or the last ones.
void DumpTrace(const Slot& slot, const std::string& focus = std::string()) {
  size_t at = slot.trace.size();
  for (size_t i = 0; !focus.empty() && i < slot.trace.size(); ++i) {
    if (slot.trace[i].find(focus.c_str()) != OwnLine::npos) {
      at = i;
      break;
    }
  }
  const size_t from = at > 40 ? at - 40 : 0;
  const size_t to = std::min(slot.trace.size(), at + 40);
  std::printf("  %s reader %s, its steps:\n", KindName(slot.kind), Narrow(slot.source).c_str());
  for (size_t i = from; i < to; ++i) std::printf("    %s\n", slot.trace[i].c_str());
  std::fflush(stdout);
}

class CSoakHost : public CFakeHost {
 public:
  explicit CSoakHost(std::vector<Slot>& slots) : m_slots(slots) {}
  bool ExternalEvent(WCHAR_T* source, WCHAR_T* message, WCHAR_T* data) override {
    std::lock_guard<CSectionLock> hold(g_lock);
    Slot* slot = nullptr;
    for (Slot& s : m_slots) {
      if (s.source == source) slot = &s;
    }
    const std::wstring name = message;
    if (!slot) {
      // A converter's own events (its link as a whole) carry the port without an address; a lost
      // link breaks every address's presentation.
      bool converter = false;
      for (Slot& s : m_slots) {
        if (s.kind != Kind::Converter || s.sim->PortName() != source) continue;
        converter = true;
        Trace(s, "port " + Narrow(name));
        if (name == L"DeviceDisconnect") ++s.epoch;
      }
      if (!converter || (name != L"DeviceDisconnect" && name != L"DriverError")) {
        Fail("an event from an unknown source %s", Narrow(source) + " (" + Narrow(name) + ")");
      }
      ++Events;
      return true;
    }
    Trace(*slot, Narrow(name) + " " + Narrow(data));
    if (name == L"DeviceConnect") {
      ++slot->connects;
      if (slot->open) slot->connected = true;
    } else if (name == L"DeviceDisconnect") {
      ++slot->disconnects;
      slot->connected = false;
      slot->sinceUnconnected = GetTickCount();
      ++slot->epoch;
    } else if (name == L"TracksData") {
      slot->keys.emplace_back(data);
    } else if (name == L"DriverError") {
      ++slot->driverErrors;
    }
    ++Events;
    return true;
  }
  std::atomic<long> Events{0};

 private:
  std::vector<Slot>& m_slots;
};

// Arguments owned by the calling thread.
class Args {
 public:
  Args() { m_texts.reserve(16); }  // never reallocated under a handed-out pointer
  tVariant Text(const std::wstring& text) {
    m_texts.push_back(text);
    tVariant value{};
    value.pwstrVal = &m_texts.back()[0];
    value.wstrLen = uint32_t(text.size());
    value.vt = VTYPE_PWSTR;
    return value;
  }
  static tVariant Number(int32_t number) {
    tVariant value{};
    value.lVal = number;
    value.vt = VTYPE_I4;
    return value;
  }
  static tVariant Nothing() { return tVariant{}; }

 private:
  std::vector<std::wstring> m_texts;
};

class CChurn {
 public:
  CChurn(CVombra& addin, CSoakHost& host, std::vector<Slot>& slots, CWatchdog& watchdog)
      : m_addin(addin), m_host(host), m_slots(slots), m_watchdog(watchdog) {}

  // Calls the method as a function, hands every block the add-in put into the values back to the
  // host; the result's truth, and out the text left in the first parameter.
  bool Call(const wchar_t* name, std::vector<tVariant> params, std::wstring* out = nullptr) {
    const long method = m_addin.FindMethod(name);
    std::vector<tVariant> given = params;
    tVariant result{};
    const bool answer =
        m_addin.CallAsFunc(method, &result, params.empty() ? nullptr : params.data(), long(params.size()));
    for (size_t i = 0; i < params.size(); ++i) {
      if (params[i].pstrVal == given[i].pstrVal) continue;
      if (i == 0 && out) *out = CFakeHost::Text(params[i]);
      m_host.FreeVariant(params[i]);
    }
    const bool truth = answer && result.vt == VTYPE_BOOL && result.bVal;
    m_host.FreeVariant(result);
    return truth;
  }

  // The method's number result (-1 when it gave none).
  long CallNumber(const wchar_t* name, std::vector<tVariant> params) {
    const long method = m_addin.FindMethod(name);
    tVariant result{};
    const bool answer = m_addin.CallAsFunc(method, &result, params.data(), long(params.size()));
    const long number = answer && (result.vt == VTYPE_I4 || result.vt == VTYPE_UI4) ? long(result.lVal) : -1;
    m_host.FreeVariant(result);
    return number;
  }

  bool Open(Slot& slot) {
    {
      std::lock_guard<CSectionLock> hold(g_lock);
      slot.open = true;
      slot.connected = false;
      slot.sinceUnconnected = GetTickCount();
      ++slot.epoch;
    }
    bool opened;
    {
      // The connection parameters are the object's own: one Open at a time sets and uses them.
      std::lock_guard<CSectionLock> hold(m_openLock);
      m_addin.LiveParams.Port = slot.port;
      m_addin.LiveParams.Flags = slot.flags;
      m_addin.LiveParams.Model = slot.model;
      opened = Call(L"Open", {Args::Nothing()}, &slot.deviceId);
    }
    std::lock_guard<CSectionLock> hold(g_lock);
    if (!opened) {
      slot.open = false;
      Fail("Open refused %s", Narrow(slot.port));
    }
    Trace(slot, "host: opened " + Narrow(slot.deviceId));
    return opened;
  }

  void Close(Slot& slot) {
    {
      std::lock_guard<CSectionLock> hold(g_lock);
      if (!slot.open) return;
      slot.open = false;
      slot.connected = false;
      ++slot.epoch;
    }
    Args args;
    if (!Call(L"Close", {args.Text(slot.deviceId)})) Fail("Close refused %s", Narrow(slot.deviceId));
    std::lock_guard<CSectionLock> hold(g_lock);
    Trace(slot, "host: closed");
    ++slot.epoch;
  }

  // One host thread: closes and reopens, reconnects, runs card commands and queries on its readers.
  void HostThread(std::vector<Slot*> mine, unsigned seed) {
    TouchWinsock();
    std::mt19937 random(seed);
    while (g_phase != kEnd) {
      CStep step;
      if (!step.Runs()) {
        Sleep(10);
        continue;
      }
      m_watchdog.Beat("host thread");
      Slot& slot = *mine[random() % mine.size()];
      bool isOpen, idle;
      unsigned epoch;
      {
        std::lock_guard<CSectionLock> hold(g_lock);
        isOpen = slot.open;
        idle = slot.open && !slot.connected && GetTickCount() - slot.sinceUnconnected > 3000;
        epoch = slot.epoch;
      }
      if (idle) {
        // As an application does with a reader that stays disconnected: a converter address whose
        // identification failed waits for a reconnect request. A reader found connected without a
        // DeviceConnect (an address closed and reopened before its reader let it go) is taken as it is.
        Args args;
        const long state = CallNumber(L"GetStatus", {args.Text(slot.deviceId)});
        std::unique_lock<CSectionLock> hold(g_lock);
        if (state == RS_CONNECTED && slot.epoch == epoch) {
          Trace(slot, "host: found connected");
          slot.connected = true;
        } else if (state == RS_DISCONNECTED) {
          Trace(slot, "host: reconnect the disconnected reader");
          slot.sinceUnconnected = GetTickCount();
          ++slot.epoch;
          hold.unlock();
          Call(L"Reconnect", {args.Text(slot.deviceId)});
          ++Reconnects;
        }
        continue;
      }
      const unsigned roll = random() % 100;
      Args args;
      if (!isOpen) {
        Open(slot);
      } else if (roll < 10) {
        Note(slot, "host: close and open");
        Close(slot);
        ++Reopens;
        Sleep(random() % 300);
        Open(slot);
      } else if (roll < 18) {
        {
          std::lock_guard<CSectionLock> hold(g_lock);
          slot.connected = false;
          slot.sinceUnconnected = GetTickCount();
          ++slot.epoch;
          Trace(slot, "host: reconnect");
        }
        Call(L"Reconnect", {args.Text(slot.deviceId)});
        ++Reconnects;
      } else if (roll < 45) {
        // A card command's exchange takes the reader's replies: keys around it are not counted.
        {
          std::lock_guard<CSectionLock> hold(g_lock);
          Trace(slot, "host: card command");
          ++slot.epoch;
        }
        Call(L"ReadMifareUL", {args.Text(slot.deviceId), Args::Number(4), Args::Nothing(), Args::Number(1),
                               Args::Number(-1)});
        // A binary-mode reader holds its scan after a command until the application lets it go on.
        Call(L"ContinueScanning", {args.Text(slot.deviceId)});
        ++Commands;
        {
          std::lock_guard<CSectionLock> hold(g_lock);
          ++slot.epoch;
        }
      } else {
        Call(L"GetStatus", {args.Text(slot.deviceId)});
        Call(L"GetKeyInfo", {args.Text(slot.deviceId), Args::Number(0), Args::Nothing(), Args::Nothing(),
                             Args::Nothing(), Args::Nothing(), Args::Nothing(), Args::Nothing()});
        Call(L"ContinueScanning", {args.Text(slot.deviceId)});
        Call(L"GetCommandResult", {args.Text(slot.deviceId), Args::Number(1), Args::Nothing(), Args::Nothing()});
        Queries += 4;
      }
      Sleep(50 + random() % 250);
    }
  }

  // One reader's simulator script.
  void Script(Slot& slot, unsigned seed) {
    TouchWinsock();
    std::mt19937 random(seed);
    while (g_phase != kEnd) {
      CStep step;
      if (!step.Runs()) {
        Sleep(10);
        continue;
      }
      bool ready;
      {
        std::lock_guard<CSectionLock> hold(g_lock);
        ready = slot.open && slot.connected;
        if (slot.open && !slot.connected && GetTickCount() - slot.sinceUnconnected > 30000) {
          slot.sinceUnconnected = GetTickCount();
          Fail("%s open and not connected for 30 s", Narrow(slot.source));
        }
      }
      if (!ready) {
        Sleep(10);
        continue;
      }
      unsigned roll = random() % 100;
      // A converter's answers carry no address: bytes its link spews while an answer is awaited can
      // make one address's answer the other's, which no reader could tell. Its link is dropped and
      // silenced, never fed garbage or cut answers.
      if (slot.kind == Kind::Converter && roll >= 55 && roll < 82) roll = 95;
      if (roll < 55) {
        PresentKeys(slot, 1, false, random);
      } else if (roll < 65) {
        Note(slot, "garbage");
        ++slot.garbage;
        slot.sim->SendBytes(Garbage(slot.kind, 1 + random() % 40, random));
      } else if (roll < 72) {
        ++slot.bursts;
        Note(slot, "burst");
        if (slot.kind == Kind::Text) {
          PresentKeys(slot, 2 + random() % 6, false, random);
        } else {
          slot.sim->SendBytes(Garbage(slot.kind, 1000 + random() % 3000, random));
        }
      } else if (roll < 82) {
        ++slot.stalls;
        if (slot.kind != Kind::Text) Note(slot, "stalled reply");
        if (slot.kind == Kind::Text) {
          PresentKeys(slot, 1, true, random);
        } else {
          slot.sim->StallNextReply();
          std::string held;
          WaitFor([&] { return Halting() || !(held = slot.sim->TakeHeld()).empty(); }, 3000, 5);
          Sleep(50 + random() % 1500);
          if (!held.empty()) slot.sim->SendBytes(held);
        }
      } else if (roll < 88) {
        ++slot.drops;
        Note(slot, "drop");
        slot.sim->Drop();
      } else if (roll < 92) {
        ++slot.silences;
        // A converter's silence holds up its other address too.
        BreakSharers(slot, "silent");
        slot.sim->SetSilent(true);
        Sleep(200 + random() % 3000);
        slot.sim->SetSilent(false);
        BreakSharers(slot, "speaks");
      } else {
        Sleep(100 + random() % 400);
      }
      Sleep(10 + random() % 50);
    }
  }

  std::atomic<long> Reopens{0}, Reconnects{0}, Commands{0}, Queries{0};

 private:
  // Notes a step on the slot and breaks the presentations of every slot on the same simulator.
  void BreakSharers(Slot& slot, const std::string& what) {
    std::lock_guard<CSectionLock> hold(g_lock);
    Trace(slot, what);
    for (Slot& other : m_slots) {
      if (other.sim != slot.sim || &other == &slot) continue;
      Trace(other, "other address " + what);
      ++other.epoch;
    }
  }

  static void Note(Slot& slot, const std::string& what) {
    std::lock_guard<CSectionLock> hold(g_lock);
    Trace(slot, what);
  }

  // Bytes no reader can take for a key: text lines without a bracket, or anything for the framed
  // protocols.
  static std::string Garbage(Kind kind, size_t length, std::mt19937& random) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i) {
      char c = char(random() & 0xFF);
      if (kind == Kind::Text && (c == '[' || c == '\r' || c == '\n')) c = '?';
      bytes += c;
    }
    if (kind == Kind::Text) bytes += "\r\n";
    return bytes;
  }

  // Presents count keys in turn (text readers: lines sent together in one write; the others: each
  // put into the field until the host has it), and judges each.
  void PresentKeys(Slot& slot, unsigned count, bool stall, std::mt19937& random) {
    unsigned epoch;
    size_t before;
    std::vector<unsigned> numbers;
    {
      std::lock_guard<CSectionLock> hold(g_lock);
      if (!(slot.open && slot.connected)) return;
      epoch = slot.epoch;
      before = slot.keys.size();
      for (unsigned i = 0; i < count; ++i) {
        numbers.push_back(++slot.sequence);
        slot.presented.insert(Own(KeyText(slot.kind, slot.sequence)));
      }
      Trace(slot, "present " + std::to_string(numbers.front()) + (count > 1 ? "+" + std::to_string(count - 1) : "") +
                      (stall ? " stalled" : ""));
    }
    bool sent = true;
    if (slot.kind == Kind::Text) {
      std::string lines;
      for (unsigned n : numbers) lines += KeyLine(n) + "\r\n";
      if (stall) {
        const size_t cut = 1 + random() % (lines.size() - 1);
        sent = slot.sim->SendBytes(lines.substr(0, cut));
        Sleep(50 + random() % 1500);
        sent = slot.sim->SendBytes(lines.substr(cut)) && sent;
      } else {
        sent = slot.sim->SendBytes(lines);
      }
    } else {
      slot.sim->SetKey(slot.address, numbers[0], true);
    }
    // Each key's arrivals from the start of its presentation on.
    auto arrivals = [&](unsigned number) {
      const OwnText text = Own(KeyText(slot.kind, number));
      return std::count(slot.keys.begin() + long(before), slot.keys.end(), text);
    };
    auto allArrived = [&] {
      for (unsigned n : numbers) {
        if (arrivals(n) == 0) return false;
      }
      return true;
    };
    // Only a break in the first seconds excuses a key: the slowest sound delivery (a binary reader's
    // hold, a converter poll behind its sibling's timed-out exchange) takes about two; a key still
    // missing after that was lost by the add-in, whatever breaks the link later.
    const DWORD kExcuse = 4000, kDeadline = 10000;
    const DWORD sentAt = GetTickCount();
    bool broken = false;
    WaitFor(
        [&] {
          std::lock_guard<CSectionLock> hold(g_lock);
          if (slot.epoch != epoch && GetTickCount() - sentAt < kExcuse) broken = true;
          return Halting() || broken || allArrived();
        },
        kDeadline, 5);
    if (slot.kind != Kind::Text) slot.sim->SetKey(slot.address, numbers[0], false);
    std::lock_guard<CSectionLock> hold(g_lock);
    broken = broken || !sent;
    if (broken || (Halting() && !allArrived())) {
      Trace(slot, "not counted");
      slot.excluded += long(numbers.size());
      return;
    }
    for (unsigned n : numbers) {
      if (arrivals(n) == 0) {
        ++slot.lost;
        Fail("%s", Narrow(slot.source) + ": key " + Narrow(KeyText(slot.kind, n)) +
                       ", presented while connected, never arrived");
        DumpTrace(slot);
        continue;
      }
      slot.counted.push_back(Own(KeyText(slot.kind, n)));
    }
  }

  CVombra& m_addin;
  CSoakHost& m_host;
  std::vector<Slot>& m_slots;
  CWatchdog& m_watchdog;
  CSectionLock m_openLock;
};

SimIdentity TextIdentity(unsigned serial) {
  SimIdentity id;
  id.Serial = serial;
  id.Version = "1.4";
  return id;
}

SimIdentity BinaryIdentity(unsigned serial) {
  SimIdentity id;
  id.ModelName = "KD-6 B";
  id.HwCode = 0x811;
  id.Serial = serial;
  id.Version = "1.8";
  return id;
}

struct Counts {
  long threads, handles;
  size_t blocks, privateBytes, runtimeHeap, ownRecords;
};

Counts Measure(CSoakHost& host) {
  return {ProcessThreads(), SettledHandles(),       host.OutstandingBlocks(),
          PrivateBytes(),   RuntimeHeapBusyBytes(), HeapBusyBytes(OwnHeap())};
}

}  // namespace

int main() {
  const long seconds = EnvNumber("SOAK_SECONDS", 20);
  const unsigned seed = unsigned(EnvNumber("SOAK_SEED", long(GetTickCount())));
  std::printf("reader churn soak: %ld s, seed %u\n", seconds, seed);
  std::fflush(stdout);
  CWatchdog watchdog(90000);

  // The simulators: seven text readers (two over Telnet), three binary-mode readers, two converters
  // with readers at addresses 3 and 5, two model-9 readers.
  std::vector<std::unique_ptr<ISim>> sims;
  std::vector<Slot> slots;
  auto add = [&](Kind kind, ISim* sim, int address, UINT flags, UINT model) {
    Slot slot;
    slot.kind = kind;
    slot.sim = sim;
    slot.address = address;
    slot.port = sim->PortName() + (address >= 0 ? L"\\" + std::to_wstring(address) : std::wstring());
    slot.source = slot.port;
    slot.flags = flags;
    slot.model = model;
    slots.push_back(slot);
  };
  for (unsigned i = 0; i < 7; ++i) {
    const bool nvt = i >= 5;
    sims.emplace_back(new CSim<CTextReaderLink>(TextIdentity(100 + i), nvt));
    add(Kind::Text, sims.back().get(), -1, nvt ? UINT(RDF_NVT) : 0u, 0);
  }
  for (unsigned i = 0; i < 3; ++i) {
    sims.emplace_back(new CSim<CBinaryReaderModel>(BinaryIdentity(200 + i)));
    add(Kind::Binary, sims.back().get(), -1, RDF_BINARY, 0);
  }
  for (unsigned i = 0; i < 2; ++i) {
    auto* converter = new CSim<CConverterModel>();
    converter->Change([&](CUnrulyModel<CConverterModel>& m) {
      m.Model.Readers[3] = SimAddressReader{TextIdentity(300 + 10 * i), ""};
      m.Model.Readers[5] = SimAddressReader{TextIdentity(305 + 10 * i), ""};
    });
    sims.emplace_back(converter);
    add(Kind::Converter, converter, 3, RDF_BINARY | RDF_DIFFERENT_CODES, 0);
    add(Kind::Converter, converter, 5, RDF_BINARY | RDF_DIFFERENT_CODES, 0);
  }
  for (unsigned i = 0; i < 2; ++i) {
    sims.emplace_back(new CSim<CFramedReaderModel>());
    add(Kind::Framed, sims.back().get(), -1, 0, 9);
  }

  CSoakHost host(slots);
  int status = 0;
  {
    CVombra addin(L"VombraExtension");
    addin.setMemManager(host.Memory());
    addin.Host = static_cast<IAddInDefBase*>(&host);
    // Init is not run: it would read the registry.
    addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    addin.LiveParams.ConnectPeriod = 300;
    addin.LiveParams.RequestTimeout = 800;
    addin.ExternalEventFlags = EEF_DEVICE_CONNECT | EEF_DEVICE_DISCONNECT;
    if (const char* log = std::getenv("SOAK_LOG")) {
      addin.LogPath.assign(log, log + std::strlen(log));
      addin.LogLevel = 6;
    }
    // Series and number: the key line's own decimal numbers come back as they were sent.
    _FORMAT_INFO format;
    format.Id = 1;
    format.Name = L"SeriesNumber";
    format.Template = L"%.3u,%.5u";
    format.Params = L"b2 w01";
    addin.Formats.push_back(format);
    addin.DefaultFormatId = 1;

    CChurn churn(addin, host, slots, watchdog);
    auto closeAll = [&] {
      for (Slot& slot : slots) churn.Close(slot);
      // The simulators see their links end.
      if (!WaitFor([&] {
            for (auto& sim : sims) {
              if (sim->Connected()) return false;
            }
            return true;
          },
                   5000)) {
        Fail("%s", "a simulator's link outlived its reader's Close");
      }
    };

    std::vector<std::thread> threads;
    for (size_t i = 0; i < slots.size(); ++i) {
      threads.emplace_back([&, i] { churn.Script(slots[i], seed + unsigned(i) * 7919u); });
    }
    for (int h = 0; h < 2; ++h) {
      std::vector<Slot*> mine;
      for (size_t i = size_t(h); i < slots.size(); i += 2) mine.push_back(&slots[i]);
      threads.emplace_back([&, mine, h] { churn.HostThread(mine, seed ^ (0x9E3779B9u * unsigned(h + 1))); });
    }
    // Runs the churn for a time, then pauses it and closes every reader.
    auto churnFor = [&](long milliseconds, bool report) {
      const DWORD began = GetTickCount();
      g_phase = kRun;
      long lastReport = 0;
      while (long(GetTickCount() - began) < milliseconds) {
        Sleep(250);
        watchdog.Beat("main");
        const long elapsed = long(GetTickCount() - began) / 1000;
        if (report && elapsed / 60 != lastReport / 60) {
          long counted = 0;
          {
            std::lock_guard<CSectionLock> hold(g_lock);
            for (Slot& slot : slots) counted += long(slot.counted.size());
          }
          // Taken with readers open: each live reader thread's stacks (3 MB under Wine) are in the
          // private bytes here, not in the start and end figures.
          std::printf("%ld s: keys counted %ld, events %ld, failures %ld, threads %ld, private bytes %zu, "
                      "runtime heap %zu, soak records %zu\n",
                      elapsed, counted, host.Events.load(), g_failures.load(), ProcessThreads(), PrivateBytes(),
                      RuntimeHeapBusyBytes(), HeapBusyBytes(OwnHeap()));
          std::fflush(stdout);
        }
        lastReport = elapsed;
      }
      g_phase = kPause;
      // A step may wait for a card command or a key: the watchdog judges a hang.
      while (g_busy != 0) Sleep(10);
      watchdog.Beat("paused");
      for (auto& sim : sims) sim->SetSilent(false);
      closeAll();
      Sleep(300);
    };

    // Warm-up: every reader opened until connected, then a short churn, so that what the first
    // connects and the threads' first calls make once (Winsock, the runtime's pools, per-thread
    // state) is in the starting figures.
    for (Slot& slot : slots) churn.Open(slot);
    if (!WaitFor([&] {
          std::lock_guard<CSectionLock> hold(g_lock);
          for (Slot& slot : slots) {
            if (!slot.connected) return false;
          }
          return true;
        },
                 30000)) {
      for (Slot& slot : slots) {
        if (!slot.connected) Fail("%s never connected in the warm-up", Narrow(slot.source));
      }
    }
    churnFor(EnvNumber("SOAK_WARMUP", 5) * 1000, false);
    TouchWinsock();
    const Counts start = Measure(host);
    const std::vector<ULONG_PTR> startHandles = HandleValues();
    std::printf("start: threads %ld, handles %ld, host blocks %zu, private bytes %zu, runtime heap %zu, "
                "soak records %zu\n",
                start.threads, start.handles, start.blocks, start.privateBytes, start.runtimeHeap, start.ownRecords);
    std::fflush(stdout);

    const DWORD began = GetTickCount();
    churnFor(seconds * 1000, true);
    const double duration = (GetTickCount() - began) / 1000.0;
    // A reader thread that Close left to end by itself takes its handles with it a little later.
    WaitFor(
        [&] {
          const Counts now = Measure(host);
          return now.threads <= start.threads && now.handles <= start.handles;
        },
        10000, 100);
    const Counts end = Measure(host);
    g_phase = kEnd;
    for (std::thread& t : threads) t.join();
    watchdog.Beat("end");

    // Every counted key arrived exactly once; nothing arrived that was never presented.
    long counted = 0, excluded = 0, lost = 0, keys = 0, connects = 0, disconnects = 0, errors = 0;
    long garbage = 0, bursts = 0, stalls = 0, drops = 0, silences = 0;
    for (Slot& slot : slots) {
      std::map<OwnText, int> arrivals;
      for (const OwnText& text : slot.keys) ++arrivals[text];
      for (const OwnText& text : slot.counted) {
        if (arrivals[text] != 1) {
          Fail("%s", Narrow(slot.source) + ": key " + Narrow(text) + " arrived " + std::to_string(arrivals[text]) +
                         " times");
          DumpTrace(slot, Narrow(text));
        }
      }
      for (const auto& arrival : arrivals) {
        if (!slot.presented.count(arrival.first)) {
          Fail("%s", Narrow(slot.source) + ": key " + Narrow(arrival.first) + " was never presented");
        }
      }
      counted += long(slot.counted.size());
      excluded += slot.excluded;
      lost += slot.lost;
      keys += long(slot.keys.size());
      connects += slot.connects;
      disconnects += slot.disconnects;
      errors += slot.driverErrors;
      garbage += slot.garbage;
      bursts += slot.bursts;
      stalls += slot.stalls;
      drops += slot.drops;
      silences += slot.silences;
      if (slot.counted.empty() && seconds >= 10) {
        Fail("%s counted no key at all", Narrow(slot.source));
        DumpTrace(slot);
      }
    }

    std::printf("duration %.1f s\n", duration);
    std::printf("keys: counted %ld (each arrived once), not counted %ld, lost %ld, events with a key %ld\n",
                counted, excluded, lost, keys);
    std::printf("links: connects %ld, disconnects %ld, driver errors %ld; host: reopens %ld, reconnects %ld, "
                "card commands %ld, queries %ld\n",
                connects, disconnects, errors, churn.Reopens.load(), churn.Reconnects.load(),
                churn.Commands.load(), churn.Queries.load());
    std::printf("simulators: garbage %ld, bursts %ld, stalls %ld, drops %ld, silences %ld\n", garbage, bursts,
                stalls, drops, silences);
    std::printf("end: threads %ld, handles %ld, host blocks %zu, private bytes %zu, runtime heap %zu, "
                "soak records %zu\n",
                end.threads, end.handles, end.blocks, end.privateBytes, end.runtimeHeap, end.ownRecords);
    // Fewer is Wine's own coming and going; more is something left behind.
    if (end.threads > start.threads) Fail("%s", "threads left: " + std::to_string(end.threads - start.threads));
    if (end.handles > start.handles) {
      Fail("%s", "handles left: " + std::to_string(end.handles - start.handles));
      for (ULONG_PTR value : HandleValues()) {
        if (!std::binary_search(startHandles.begin(), startHandles.end(), value)) {
          std::printf("  new handle %llx: %s\n", (unsigned long long)value, Narrow(HandleType(value)).c_str());
        }
      }
    }
    // The runtime's heap holds what the add-in allocates (the soak's growing records are on a heap of
    // their own): with every reader closed it is back where it started, give or take the runtime's
    // own small change.
    const size_t kHeapSlack = 64 * 1024;
    if (end.runtimeHeap > start.runtimeHeap + kHeapSlack) {
      Fail("%s", "runtime heap grew by " + std::to_string(end.runtimeHeap - start.runtimeHeap) + " bytes");
    }
    if (end.blocks != start.blocks) Fail("%s", "host blocks left: " + std::to_string(long(end.blocks - start.blocks)));
    if (host.StrayFrees() != 0) Fail("%s", "stray frees: " + std::to_string(host.StrayFrees()));
    CloseHandle(addin.CommandEvent);
    addin.CommandEvent = nullptr;
  }
  status = g_failures ? 1 : 0;
  std::printf("%s\n", status ? "FAILED" : "PASSED");
  std::fflush(stdout);
  return status;
}
