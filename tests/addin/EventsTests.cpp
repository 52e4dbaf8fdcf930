// What the host receives for each reader report: the event's source (port,
// converter address, port table), its name in both languages, its data, the
// switches of ExternalEventFlags, the sounds, and that no lock of the add-in or
// the reader is held while the host handles the event. The handlers are called
// here directly on a reader that has no thread, as the reader's thread would
// call them.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "AddinModule.h"
#include "FakeHost.h"
#include "KeyModel.h"
#include "Reader.h"
#include "SoundRecorder.h"
#include "Vombra.h"

namespace {

// A host that can run a probe while it handles an event, as the platform runs
// application code.
class CProbeHost : public CFakeHost {
public:
  bool ExternalEvent(WCHAR_T *source, WCHAR_T *message,
                     WCHAR_T *data) override {
    if (Probe)
      Probe();
    return CFakeHost::ExternalEvent(source, message, data);
  }
  std::function<void()> Probe;
};

// One file per slot, so a recorded play names the slot that sounded.
std::wstring SoundFile(int slot) {
  return L"C:\\sounds\\slot" + std::to_wstring(slot) + L".wav";
}

class EventsTest : public ::testing::Test {
protected:
  void SetUp() override {
    addin.Host = static_cast<IAddInDefBase *>(&host);
    for (int slot = 0; slot < int(SOUND_COUNT); ++slot)
      addin.SoundFileList[slot] = SoundFile(slot);
    reader.Init(&addin, L"COM3");
  }

  void MapPort(const std::wstring &port, const std::wstring &deviceId) {
    addin.Ports[port] = _PORT_INFO{port, deviceId};
  }

  _KEY_INFO Key(const std::wstring &text) {
    _KEY_INFO key;
    key.KeyType = 1;
    key.Text = text;
    return key;
  }

  std::vector<int> SoundedSlots() const {
    std::vector<int> slots;
    for (const auto &play : recorder.Plays()) {
      for (int slot = 0; slot < int(SOUND_COUNT); ++slot) {
        if (play.Text == SoundFile(slot))
          slots.push_back(slot);
      }
    }
    return slots;
  }

  ScopedThreadLanguage english{kEnglish};
  CSoundRecorder recorder;
  CProbeHost host;
  CVombra addin{L"VombraExtension"};
  CReader reader;
};

// --- The source of an event.

enum class Report { Number, Error };

struct SourceCase {
  const char *Name;
  const wchar_t *Port;
  int Address;
  const wchar_t *TablePort; // null: no port-table entry
  const wchar_t *TableId;
  Report Kind;
  const wchar_t *Source;
};

void PrintTo(const SourceCase &c, std::ostream *out) { *out << c.Name; }

class EventSourceTest : public EventsTest,
                        public ::testing::WithParamInterface<SourceCase> {};

TEST_P(EventSourceTest, NamesThePortAddressOrDeviceId) {
  const SourceCase &c = GetParam();
  reader.Init(&addin, c.Port);
  reader.Address = c.Address;
  if (c.TablePort)
    MapPort(c.TablePort, c.TableId);
  if (c.Address == -1) {
    reader.Keys.push_back(Key(L"012,12345"));
  } else {
    reader.AddressMap[c.Address].Text = L"012,12345";
  }
  if (c.Kind == Report::Number) {
    addin.OnNumberTransfer(&reader, 0);
  } else {
    addin.OnReaderError(&reader, E_FAIL, L"broken");
  }
  auto events = host.Events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ(c.Source, events[0].Source);
  EXPECT_EQ(c.Kind == Report::Number ? L"TracksData" : L"DriverError",
            events[0].Message);
  EXPECT_EQ(c.Kind == Report::Number ? L"012,12345" : L"broken",
            events[0].Data);
}

const SourceCase kSourceCases[] = {
    {"PortAlone", L"COM3", -1, nullptr, nullptr, Report::Number, L"COM3"},
    {"PortMapped", L"COM3", -1, L"COM3", L"Turnstile", Report::Number,
     L"Turnstile"},
    {"PortMappedToNothing", L"COM3", -1, L"COM3", L"", Report::Number, L"COM3"},
    {"ConverterAddress", L"COM4", 5, nullptr, nullptr, Report::Number,
     L"COM4\\5"},
    {"ConverterAddressMapped", L"COM4", 5, L"COM4\\5", L"Gate", Report::Number,
     L"Gate"},
    {"PortMappedButNotTheAddress", L"COM4", 5, L"COM4", L"Gate", Report::Number,
     L"COM4\\5"},
    {"TcpPort", L"127.0.0.1:4001", -1, nullptr, nullptr, Report::Number,
     L"127.0.0.1:4001"},
    {"DriverErrorIgnoresTheTable", L"COM3", -1, L"COM3", L"Turnstile",
     Report::Error, L"COM3"},
    {"DriverErrorAtAnAddress", L"COM4", 7, L"COM4\\7", L"Gate", Report::Error,
     L"COM4\\7"},
};

INSTANTIATE_TEST_SUITE_P(Cases, EventSourceTest,
                         ::testing::ValuesIn(kSourceCases),
                         [](const ::testing::TestParamInfo<SourceCase> &info) {
                           return info.param.Name;
                         });

// --- The data of a transferred number.

struct DataCase {
  const char *Name;
  int Address; // -1: keys in the field; else the converter address with a
               // record holding "A5"
  INT64 Index;
  const wchar_t *Data;
};

void PrintTo(const DataCase &c, std::ostream *out) { *out << c.Name; }

class NumberDataTest : public EventsTest,
                       public ::testing::WithParamInterface<DataCase> {};

TEST_P(NumberDataTest, TakesTheKeyOrAddressRecordText) {
  const DataCase &c = GetParam();
  reader.Address = c.Address;
  reader.Keys = {Key(L"first"), Key(L"second")};
  reader.AddressMap[5].Text = L"A5";
  addin.OnNumberTransfer(&reader, c.Index);
  auto events = host.Events();
  ASSERT_EQ(1u, events.size()) << "a number always raises its event";
  EXPECT_EQ(c.Data, events[0].Data);
}

const DataCase kDataCases[] = {
    {"FirstKey", -1, 0, L"first"},       {"SecondKey", -1, 1, L"second"},
    {"IndexPastTheKeys", -1, 2, L""},    {"NegativeIndex", -1, -1, L""},
    {"AddressRecord", 5, 0, L"A5"},      {"AddressRecordOtherIndex", 5, 1, L""},
    {"AddressWithoutRecord", 6, 0, L""},
};

INSTANTIATE_TEST_SUITE_P(Cases, NumberDataTest, ::testing::ValuesIn(kDataCases),
                         [](const ::testing::TestParamInfo<DataCase> &info) {
                           return info.param.Name;
                         });

// --- Which handler raises what, under which switch, with which sound.

enum class Handler {
  Number,
  TransferError,
  Found,
  Lost,
  LostEmpty,
  Error,
  Connect,
  Disconnect,
  Command,
  Temic
};

struct HandlerCase {
  const char *Name;
  Handler Which;
  UINT Flags;           // ExternalEventFlags
  const wchar_t *Event; // null: no event
  const wchar_t *Russian;
  const wchar_t *Data;
  int Sound; // -1: none
};

void PrintTo(const HandlerCase &c, std::ostream *out) { *out << c.Name; }

class HandlerTest
    : public EventsTest,
      public ::testing::WithParamInterface<std::tuple<HandlerCase, bool>> {
protected:
  void Run(Handler which) {
    _KEYNUM_INFO uid{};
    switch (which) {
    case Handler::Number:
      addin.OnNumberTransfer(&reader, 0);
      break;
    case Handler::TransferError:
      addin.OnNumberTransferError(&reader, 0, E_FAIL, L"bad format");
      break;
    case Handler::Found:
      addin.OnKeyFound(&reader, 0);
      break;
    case Handler::Lost:
      addin.OnKeyLost(&reader, 1, &uid, &uid, L"012,12345");
      break;
    case Handler::LostEmpty:
      addin.OnKeyLost(&reader, 1, &uid, &uid, L"");
      break;
    case Handler::Error:
      addin.OnReaderError(&reader, E_FAIL, L"");
      break;
    case Handler::Connect:
      addin.OnReaderConnect(&reader);
      break;
    case Handler::Disconnect:
      addin.OnReaderDisconnect(&reader);
      break;
    case Handler::Command:
      addin.OnCommandDone(&reader);
      break;
    case Handler::Temic:
      addin.OnTemicScanCycle(&reader);
      break;
    }
  }
};

TEST_P(HandlerTest, RaisesItsEventAndSound) {
  const HandlerCase &c = std::get<0>(GetParam());
  const bool russian = std::get<1>(GetParam());
  addin.ExternalEventFlags = c.Flags;
  addin.SoundEnabled = true;
  addin.RussianNames = russian;
  reader.Keys.push_back(Key(L"012,12345"));
  Run(c.Which);

  auto events = host.Events();
  if (c.Event) {
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"COM3", events[0].Source);
    EXPECT_EQ(russian ? c.Russian : c.Event, events[0].Message);
    EXPECT_EQ(c.Data, events[0].Data);
  } else {
    EXPECT_TRUE(events.empty());
  }
  EXPECT_EQ(c.Sound == -1 ? std::vector<int>{} : std::vector<int>{c.Sound},
            SoundedSlots());
}

TEST_P(HandlerTest, SoundsOffPlayNothingAndKeepTheEvents) {
  const HandlerCase &c = std::get<0>(GetParam());
  addin.ExternalEventFlags = c.Flags;
  addin.SoundEnabled = false;
  reader.Keys.push_back(Key(L"012,12345"));
  Run(c.Which);
  EXPECT_EQ(c.Event ? 1u : 0u, host.Events().size());
  EXPECT_TRUE(recorder.Plays().empty());
}

const HandlerCase kHandlerCases[] = {
    {"Number", Handler::Number, 0, L"TracksData", L"ДанныеКарты", L"012,12345",
     0},
    {"TransferErrorRaisesNothing", Handler::TransferError, 0xF, nullptr,
     nullptr, nullptr, 1},
    {"KeyFoundOnlySounds", Handler::Found, 0xF, nullptr, nullptr, nullptr, 5},
    {"LostEnabled", Handler::Lost, 0x4, L"NoCard", L"НетКарты", L"012,12345",
     6},
    {"LostOff", Handler::Lost, 0xB, nullptr, nullptr, nullptr, 6},
    {"LostWithoutText", Handler::LostEmpty, 0x4, nullptr, nullptr, nullptr, 6},
    {"DriverErrorAlways", Handler::Error, 0, L"DriverError", L"ОшибкаДрайвера",
     L"", 4},
    {"ConnectEnabled", Handler::Connect, 0x1, L"DeviceConnect",
     L"УстройствоПодключено", L"", 2},
    {"ConnectOff", Handler::Connect, 0xE, nullptr, nullptr, nullptr, 2},
    {"DisconnectEnabled", Handler::Disconnect, 0x2, L"DeviceDisconnect",
     L"УстройствоОтключено", L"", 3},
    {"DisconnectOff", Handler::Disconnect, 0xD, nullptr, nullptr, nullptr, 3},
    {"CommandEnabled", Handler::Command, 0x8, L"Command", L"Комманда", L"", -1},
    {"CommandOff", Handler::Command, 0x7, nullptr, nullptr, nullptr, -1},
    {"TemicCycleDoesNothing", Handler::Temic, 0xF, nullptr, nullptr, nullptr,
     -1},
};

INSTANTIATE_TEST_SUITE_P(
    Cases, HandlerTest,
    ::testing::Combine(::testing::ValuesIn(kHandlerCases), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<HandlerCase, bool>> &info) {
      return std::string(std::get<0>(info.param).Name) +
             (std::get<1>(info.param) ? "Russian" : "English");
    });

// A finished command that a method waits for wakes the method instead of
// raising "Command"; one of another reader still raises it.
TEST_F(EventsTest, WaitedCommandSetsTheEventInsteadOfRaisingIt) {
  addin.ExternalEventFlags = 0x8;
  addin.CommandEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(nullptr, addin.CommandEvent);
  CReader other;
  other.Init(&addin, L"COM9");

  addin.WaitingReader = &reader;
  addin.OnCommandDone(&other);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(addin.CommandEvent, 0));
  ASSERT_EQ(1u, host.Events().size());
  EXPECT_EQ(L"COM9", host.Events()[0].Source);

  addin.OnCommandDone(&reader);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(addin.CommandEvent, 0));
  EXPECT_EQ(1u, host.Events().size()) << "no event for the waited reader";
}

// Without a host nothing is sent and nothing breaks.
TEST_F(EventsTest, WithoutHostTheEventIsDropped) {
  addin.Host = nullptr;
  EXPECT_FALSE(addin.ExternalEvent(L"COM3", L"TracksData", L"1"));
  host.AcceptEvents = false;
  addin.Host = static_cast<IAddInDefBase *>(&host);
  EXPECT_FALSE(addin.ExternalEvent(L"COM3", L"TracksData", L"1"))
      << "the host's refusal comes back";
  host.AcceptEvents = true;
  EXPECT_TRUE(addin.ExternalEvent(L"COM3", L"TracksData", L"1"));
}

// While the host handles an event, another thread can take the add-in lock and
// the reader's lock: a host that calls the add-in from its own thread during
// the event never deadlocks.
TEST_F(EventsTest, NoLockIsHeldWhileTheHostHandlesAnEvent) {
  addin.ExternalEventFlags = 0xF;
  reader.Keys.push_back(Key(L"012,12345"));
  std::vector<bool> free;
  host.Probe = [&] {
    auto other = std::async(std::launch::async, [&] {
      for (int i = 0; i < 200; ++i) {
        if (TryEnterCriticalSection(&addin.Lock)) {
          bool readerFree = TryEnterCriticalSection(&reader.Lock);
          if (readerFree)
            LeaveCriticalSection(&reader.Lock);
          LeaveCriticalSection(&addin.Lock);
          if (readerFree)
            return true;
        }
        Sleep(5);
      }
      return false;
    });
    free.push_back(other.wait_for(std::chrono::seconds(5)) ==
                       std::future_status::ready &&
                   other.get());
  };
  _KEYNUM_INFO uid{};
  addin.OnNumberTransfer(&reader, 0);
  addin.OnKeyLost(&reader, 1, &uid, &uid, L"x");
  addin.OnReaderError(&reader, E_FAIL, L"e");
  addin.OnReaderConnect(&reader);
  addin.OnReaderDisconnect(&reader);
  addin.OnCommandDone(&reader);
  EXPECT_EQ(std::vector<bool>(6, true), free);
}

// Events keep coming from several reader threads at once; each arrives exactly
// once.
TEST_F(EventsTest, ReaderThreadsReportAtTheSameTime) {
  constexpr int kThreads = 8;
  constexpr int kEach = 200;
  std::vector<std::unique_ptr<CReader>> readers;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    readers.emplace_back(new CReader);
    readers.back()->Init(&addin, (L"COM" + std::to_wstring(10 + t)).c_str());
    readers.back()->Keys.push_back(Key(L"k" + std::to_wstring(t)));
  }
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        addin.OnNumberTransfer(readers[size_t(t)].get(), 0);
    });
  }
  for (auto &thread : threads)
    thread.join();
  std::vector<int> perReader(kThreads, 0);
  for (const auto &event : host.Events()) {
    for (int t = 0; t < kThreads; ++t) {
      if (event.Source == L"COM" + std::to_wstring(10 + t) &&
          event.Data == L"k" + std::to_wstring(t))
        ++perReader[size_t(t)];
    }
  }
  EXPECT_EQ(std::vector<int>(kThreads, kEach), perReader);
}

} // namespace
