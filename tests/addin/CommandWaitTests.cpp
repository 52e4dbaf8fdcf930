// The posting protocol of the card-command methods: a command left running with time-out 0 and
// followed with GetCommandStatus, BreakCommand and the "Command" event; a method that waits and is
// released by the completion, by BreakCommand, by Close or by Done. The test plays the reader thread
// (its own thread never runs): it completes the record the method posted.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "CommandFixture.h"

namespace {

class CommandWaitTest : public CommandTest {
 protected:
  // The reader thread's completion of the slot's record; false when it completed nothing.
  bool Complete(HRESULT code) {
    std::shared_ptr<_CMD_INFO> record = Slot();
    if (!record || Status() != kPending) return false;
    Reader->CompleteCommand(record.get(), code);
    return Status() == code;
  }

  // GetCommandStatus: code, status, done, total.
  struct Progress {
    UINT Code;
    HRESULT Status;
    UINT Done;
    UINT Total;
  };
  Progress StatusNow(UINT timeout = 0) {
    MethodCall call = Call(L"GetCommandStatus", {Str(kId), Empty(), Empty(), Empty(), Empty(), UI4(timeout)});
    EXPECT_TRUE(call.BoolResult());
    EXPECT_EQ(VTYPE_UI4, call.Params[1].vt);
    EXPECT_EQ(VTYPE_I4, call.Params[2].vt);
    return {call.Params[1].ulVal, call.Params[2].lVal, call.Params[3].ulVal, call.Params[4].ulVal};
  }

  // ReadMifareUL of pages 4 to 5 with the given time-out.
  std::vector<tVariant> UlRead(int32_t timeout) { return {Str(kId), I4(4), Empty(), I4(2), I4(timeout)}; }

  size_t CommandEvents() {
    size_t n = 0;
    for (const auto& event : host.Events()) n += event.Message == L"Command";
    return n;
  }
};

TEST_F(CommandWaitTest, TimeoutZeroLeavesTheCommandRunningAndStatusFollowsIt) {
  MethodCall call = Call(L"ReadMifareC", {Str(kId), I4(1), I4(0), Empty(), I4(3), Null(), Null(), Null(), I4(0),
                                          Null()});
  EXPECT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(kPending, addin.LastError);
  EXPECT_EQ(VTYPE_EMPTY, call.Params[3].vt) << "no data before the end";

  Progress p = StatusNow();
  EXPECT_EQ(3u, p.Code);
  EXPECT_EQ(kPending, p.Status);
  EXPECT_EQ(0u, p.Done);
  EXPECT_EQ(3u, p.Total);
  Slot()->Done = 2;  // two blocks read
  EXPECT_EQ(2u, StatusNow().Done);

  auto* record = static_cast<_CMD_MC_INFO*>(Slot().get());
  record->Data.assign(48, 0x33);
  record->Done = 3;
  ASSERT_TRUE(Complete(S_OK));
  p = StatusNow();
  EXPECT_EQ(S_OK, p.Status);
  EXPECT_EQ(3u, p.Done);
}

TEST_F(CommandWaitTest, BreakCommandAbortsAndAnIdleReaderStillAnswers) {
  MethodCall idle = Call(L"BreakCommand", {Str(kId)});
  EXPECT_TRUE(idle.BoolResult());
  Progress p = StatusNow();
  EXPECT_EQ(0u, p.Code);
  EXPECT_EQ(kAbort, p.Status);

  Call(L"InitializeTemic", {Str(kId), UI4(0)});
  EXPECT_TRUE(Call(L"BreakCommand", {Str(kId)}).BoolResult());
  p = StatusNow();
  EXPECT_EQ(9u, p.Code) << "the record stays in the slot";
  EXPECT_EQ(kAbort, p.Status);
  addin.ExternalEventFlags = EEF_COMMAND;
  Reader->CompleteCommand(Slot().get(), S_OK);
  EXPECT_EQ(kAbort, Status()) << "a broken command completes nothing";
  EXPECT_EQ(0u, CommandEvents());
}

TEST_F(CommandWaitTest, NewCommandBreaksTheRunningOne) {
  addin.ExternalEventFlags = EEF_COMMAND;
  Call(L"ReadMifareUL", UlRead(0));
  std::shared_ptr<_CMD_INFO> first = Slot();
  Call(L"InitializeTemic", {Str(kId), UI4(0)});
  EXPECT_EQ(9u, Slot()->Command);
  EXPECT_EQ(kPending, Status());
  EXPECT_FALSE(Reader->CompleteCommand(first.get(), S_OK)) << "the replaced command ends without completion";
  EXPECT_EQ(0u, CommandEvents());
  EXPECT_TRUE(Complete(S_OK));
  EXPECT_EQ(1u, CommandEvents());
}

TEST_F(CommandWaitTest, CommandEventOnlyWhenEnabledAndNobodyWaits) {
  Call(L"ReadMifareUL", UlRead(0));
  ASSERT_TRUE(Complete(S_OK));
  EXPECT_EQ(0u, CommandEvents()) << "not enabled";

  addin.ExternalEventFlags = EEF_COMMAND;
  addin.Ports[kId] = _PORT_INFO{kId, L"Gate"};
  // A signal is never waited for: its end is an event.
  MethodCall signal = Call(L"Signal", {Str(kId), Null(), Typed(VTYPE_BOOL, 1)});
  EXPECT_TRUE(signal.BoolResult());
  ASSERT_TRUE(Complete(S_OK));
  ASSERT_EQ(1u, CommandEvents());
  EXPECT_EQ(L"Gate", host.Events().back().Source);
  EXPECT_EQ(L"", host.Events().back().Data);
}

TEST_F(CommandWaitTest, WaitingMethodReturnsTheResultsWhenTheCommandEnds) {
  addin.ExternalEventFlags = EEF_COMMAND;
  std::vector<tVariant> args = UlRead(-1);
  MethodCall call;
  std::thread caller([&] { call = Call(L"ReadMifareUL", args); });
  ASSERT_TRUE(WaitForWaiter());
  EXPECT_EQ(Reader, addin.WaitingReader.load());
  auto* record = static_cast<_CMD_MUL_INFO*>(Slot().get());
  record->Data = {1, 2, 3, 4, 5, 6, 7, 8};
  record->Done = 2;
  ASSERT_TRUE(Complete(S_OK));
  caller.join();
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), TakeBlob(call.Params[2]));
  EXPECT_EQ(0u, CommandEvents()) << "the waiting method took the end";
  EXPECT_EQ(nullptr, addin.WaitingReader.load());
}

TEST_F(CommandWaitTest, WaitingMethodReportsTheHandlersError) {
  std::vector<tVariant> args = {Str(kId), I4(0), I4(0), Empty(), I4(1), Null(), Null(), Null(), I4(-1), Empty()};
  MethodCall call;
  std::thread caller([&] { call = Call(L"ReadMifareC", args); });
  ASSERT_TRUE(WaitForWaiter());
  ASSERT_TRUE(Complete(kNoKey));
  caller.join();
  EXPECT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(kNoKey, addin.LastError);
  EXPECT_EQ(VTYPE_EMPTY, call.Params[3].vt) << "no outputs after a failure";
}

TEST_F(CommandWaitTest, WaitThatRunsOutLeavesTheCommandPending) {
  MethodCall call = Call(L"ReadMifareUL", UlRead(30));
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(kPending, addin.LastError);
  EXPECT_EQ(kPending, Status());
}

// Two host threads wait on two readers; the event is one for the add-in. The end of the second
// reader's command must not end the first wait while its own command still runs.
TEST_F(CommandWaitTest, AnotherReadersEndDoesNotEndTheWait) {
  std::unique_ptr<CReader> added(new CReader);
  added->Init(static_cast<IReaderEvents*>(&addin), L"COM8");
  CReader* other = added.get();
  addin.Readers.emplace(L"COM8", std::move(added));
  addin.DeviceIds.emplace(L"COM8", _DEVICEID_INFO{-1, other});

  std::vector<tVariant> firstArgs = UlRead(-1);
  MethodCall first;
  std::atomic<bool> firstDone{false};
  std::thread firstCaller([&] {
    first = Call(L"ReadMifareUL", firstArgs);
    firstDone = true;
  });
  EXPECT_TRUE(WaitForWaiter());
  std::vector<tVariant> otherArgs = {Str(L"COM8"), I4(4), Empty(), I4(1), I4(-1)};
  MethodCall second;
  std::thread otherCaller([&] { second = Call(L"ReadMifareUL", otherArgs); });
  // The second thread waits once its command is posted and it owns the event.
  const DWORD start = GetTickCount();
  while ((other->CommandStatus != kPending || addin.WaitingReader.load() != other) && GetTickCount() - start < 20000)
    Sleep(5);
  std::shared_ptr<_CMD_INFO> otherRecord;
  {
    CCriticalSectionLock lock(&other->Lock);
    otherRecord = other->Command;
  }
  EXPECT_TRUE(otherRecord && other->CompleteCommand(otherRecord.get(), S_OK));
  otherCaller.join();
  EXPECT_TRUE(second.BoolResult());

  // Without the fault the first caller keeps waiting; with it, it returns at once (as pending).
  const DWORD quiet = GetTickCount();
  while (!firstDone && GetTickCount() - quiet < 1000) Sleep(5);
  EXPECT_FALSE(firstDone) << "the other reader's end released this wait";
  auto* record = static_cast<_CMD_MUL_INFO*>(Slot().get());
  if (record) record->Data = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_TRUE(Complete(S_OK));
  firstCaller.join();
  EXPECT_TRUE(first.BoolResult());
  if (first.BoolResult()) {
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), TakeBlob(first.Params[2]));
  }
}

// Each of these ends a command nobody completes, while a host thread waits for it without limit.
struct Release {
  const char* Name;
  void (*Act)(CVombra&);
};

class CommandReleaseTest : public CommandWaitTest, public ::testing::WithParamInterface<Release> {};

void PrintTo(const Release& r, std::ostream* out) { *out << r.Name; }

const Release kReleases[] = {
    {"BreakCommand",
     [](CVombra& addin) {
       tVariant id{};
       std::wstring text = L"COM9";
       id.pwstrVal = &text[0];
       id.wstrLen = uint32_t(text.size());
       id.vt = VTYPE_PWSTR;
       tVariant result{};
       addin.CallAsFunc(addin.FindMethod(L"BreakCommand"), &result, &id, 1);
     }},
    {"Close",
     [](CVombra& addin) {
       addin.DeviceIds.erase(L"COM9\\5");
       tVariant id{};
       std::wstring text = L"COM9";
       id.pwstrVal = &text[0];
       id.wstrLen = uint32_t(text.size());
       id.vt = VTYPE_PWSTR;
       tVariant result{};
       addin.CallAsFunc(addin.FindMethod(L"Close"), &result, &id, 1);
     }},
    {"Done", [](CVombra& addin) { addin.Done(); }},
    // Another host thread's command, not waited for, takes the completion event over.
    {"NewerCommandNotWaitedFor",
     [](CVombra& addin) {
       std::wstring text = L"COM9";
       tVariant params[5] = {};
       params[0].pwstrVal = &text[0];
       params[0].wstrLen = uint32_t(text.size());
       params[0].vt = VTYPE_PWSTR;
       params[1].lVal = 4;
       params[1].vt = VTYPE_I4;
       params[3].lVal = 1;
       params[3].vt = VTYPE_I4;
       params[4].lVal = 0;
       params[4].vt = VTYPE_I4;
       tVariant result{};
       addin.CallAsFunc(addin.FindMethod(L"ReadMifareUL"), &result, params, 5);
     }},
};

TEST_P(CommandReleaseTest, ReleasesTheWaitingMethodWithAbort) {
  std::vector<tVariant> args = UlRead(-1);
  MethodCall call;
  std::thread caller([&] { call = Call(L"ReadMifareUL", args); });
  ASSERT_TRUE(WaitForWaiter());
  GetParam().Act(addin);
  caller.join();
  EXPECT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(kAbort, addin.LastError);
}

INSTANTIATE_TEST_SUITE_P(Ways, CommandReleaseTest, ::testing::ValuesIn(kReleases),
                         [](const ::testing::TestParamInfo<Release>& info) { return info.param.Name; });

// Done closes the completion event, but never under a host thread that is still inside its wait on
// it: the waiter is held still (suspended) in the wait, and Done must not finish before it has left.
TEST_F(CommandWaitTest, DoneClosesTheEventOnlyAfterTheWaiterLeftIt) {
  std::vector<tVariant> args = UlRead(-1);
  MethodCall call;
  HANDLE callerThread = nullptr;
  std::thread caller([&] {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &callerThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    call = Call(L"ReadMifareUL", args);
  });
  ASSERT_TRUE(WaitForWaiter());
  ASSERT_NE(nullptr, callerThread);
  Sleep(20);  // into the wait itself
  ASSERT_NE(DWORD(-1), SuspendThread(callerThread));
  std::atomic<bool> done{false};
  std::thread closer([&] {
    addin.Done();
    done = true;
  });
  Sleep(500);
  EXPECT_FALSE(done) << "Done closed the event while a host thread was still waiting on it";
  ResumeThread(callerThread);
  closer.join();
  caller.join();
  CloseHandle(callerThread);
  EXPECT_TRUE(done);
  EXPECT_EQ(nullptr, addin.CommandEvent);
  EXPECT_TRUE(call.Answer);
  EXPECT_FALSE(call.BoolResult());
  EXPECT_EQ(kAbort, addin.LastError);
}

TEST_F(CommandWaitTest, StatusWithDefaultTimeoutBlocksUntilTheCommandEnds) {
  Call(L"ReadMifareUL", UlRead(0));
  MethodCall call;
  std::vector<tVariant> args = {Str(kId), Empty(), Empty(), Empty(), Empty(), UI4(0xFFFFFFFF)};
  std::thread caller([&] { call = Call(L"GetCommandStatus", args); });
  ASSERT_TRUE(WaitForWaiter());
  Slot()->Done = 2;
  ASSERT_TRUE(Complete(S_OK));
  caller.join();
  EXPECT_TRUE(call.BoolResult());
  EXPECT_EQ(1u, call.Params[1].ulVal);
  EXPECT_EQ(S_OK, call.Params[2].lVal);
  EXPECT_EQ(2u, call.Params[3].ulVal);
  EXPECT_EQ(2u, call.Params[4].ulVal);
}

TEST_F(CommandWaitTest, StatusOfAnEndedCommandDoesNotWait) {
  Call(L"ReadMifareUL", UlRead(0));
  ASSERT_TRUE(Complete(HRESULT(0x80040219)));
  Progress p = StatusNow(0xFFFFFFFF);
  EXPECT_EQ(HRESULT(0x80040219), p.Status);
  EXPECT_EQ(nullptr, addin.WaitingReader.load());
}

}  // namespace
