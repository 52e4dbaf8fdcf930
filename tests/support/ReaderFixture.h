// Test support: one reader object and everything it reaches, the common ground of the engine's reader
// tests.
//
// ReaderFixture installs for the length of a test: English texts on the test's thread and, through the
// add-in locale, on the reader's thread; a fake add-in context; a manual clock at kClockStart; the fake
// port factory; and a reader reporting to an events recorder. A test file adds the port its reader
// opens next (a scripted CFakePort or a simulator behind one) with AddPort and takes the reader as far
// as its tests start from: InitReader, then Connected for the state a successful connect leaves.
// Tests that run the reader's own thread on real time (a loopback simulator, a pty, a fake port that
// waits in real time) call UseRealTime before anything reads the clock. The tear-down stops a started
// thread and closes the port while the file's own objects (a transponder behind a simulator, a PC/SC
// watcher) are still there; a file that extends TearDown calls this one first.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "../doubles/FakeClock.h"
#include "../doubles/FakePort.h"
#include "AddinModule.h"
#include "FakeContext.h"
#include "Reader.h"
#include "ReaderEventsRecorder.h"

// Puts the record into the reader's slot as pending, as a card method does before it wakes the thread.
void PostCommand(CReader& reader, const std::shared_ptr<_CMD_INFO>& record);

class ReaderFixture : public ::testing::Test {
 protected:
  static constexpr DWORD kClockStart = 5000;

  ReaderFixture();
  ~ReaderFixture() override;
  void TearDown() override;

  // The port the reader gets at its next open, whatever the name; the factory owns it from here. On the
  // manual clock its reads advance the clock instead of sleeping.
  template <class Port>
  Port* AddPort(Port* port) {
    if (clock.IsManual()) port->UseVirtualTime(&clock);
    factory.Add(port);
    return port;
  }
  // From here the clock follows the system's tick count, and ports added after it wait in real time.
  void UseRealTime();
  // A format of the context's list.
  void AddFormat(UINT id, const wchar_t* formatTemplate, const wchar_t* params);
  // Format 1, the default: "%.3u,%.5u" of series byte 2 and number bytes 0..1, which makes "123,45678"
  // of the key line "Em-Marine[0A1B] 123,45678".
  void UseSeriesNumberFormat();
  // The reader on COM3 with a connect time-out of 10 s, a connect period of 3 s, no port check period and
  // these exchange limits, marked running as its thread would be (the test's thread plays the thread).
  void InitReader(UINT requestTimeout, UINT requestTries);
  // Opens COM3 at 9600 and leaves the reader as a successful connect in that mode with that model would;
  // false when the port did not open.
  bool Connected(UINT mode, UINT model);
  // Posts the record and runs its handler on the test's thread as the reader thread would; the status
  // in the command slot after it.
  HRESULT Run(const std::shared_ptr<_CMD_INFO>& record);

  ScopedThreadLanguage english{kEnglish};
  CFakeContext context;
  ScopedContext scopedContext{&context};
  CFakeClock clock{kClockStart};
  ScopedClock scopedClock{&clock};
  CFakePortFactory factory;
  ScopedPortFactory scopedFactory{&factory};
  CReaderEventsRecorder events;
  CReader reader;

 private:
  LCID m_savedLcid;
};
