// The reader thread: the loop, the changes handed over by the host's threads, the timers of the text
// mode and the single error report.
#include "Reader.h"

#include "Clock.h"
#include "Core.h"
#include "Exceptions.h"
#include "ReaderSupport.h"
#include "ResourceIds.h"
#include "VombraContext.h"

using namespace reader_support;

DWORD CReader::Run() {
  ApplyThreadLocale();
  HANDLE handles[4] = {WakeEvent, WriteEvent, ReadEvent, RxEvent};
  // Leaves only through LeaveLoop, so that a stop withdrawn meanwhile keeps the thread going.
  while (Running || !LeaveLoop()) {
    try {
      if (Changes) ApplyChanges();
      NextWait = INFINITE;
      Address = -1;

      if (CommandStatus == E_PENDING) {
        std::shared_ptr<_CMD_INFO> command;
        HRESULT status;
        {
          CCriticalSectionLock lock(&Lock);
          status = CommandStatus;
          command = Command;
        }
        if (status == E_PENDING && command) {
          if (State == RS_CONNECTED || Connect()) {
            if (command->Handler) {
              command->Handler(this, command.get());
            } else {
              CompleteCommand(command.get(), E_NOTIMPL);
            }
          } else {
            // Connect has already failed the command when it saw it pending; this catches the rest.
            CompleteCommand(command.get(), LastError < 0 ? LastError : E_FAIL);
          }
        }
      }
      HandleInterceptedLines();

      if (Model == RM_KD6_G) CcidModePoll();
      const DWORD now = Ticks();
      // A PC/SC reader connects when its watcher slot reports, not by time.
      if (Model != RM_KD6_G && State != RS_CONNECTED && !(StatusFlags & (RSF_UNSUPPORTED | RSF_CONNECT_DUE)) && ConnectPeriod != INFINITE) {
        if (TimerDue(NextWait, ConnectTime, ConnectPeriod, now)) StatusFlags |= RSF_CONNECT_DUE;
      }
      if (StatusFlags & RSF_CONNECT_DUE) {
        StatusFlags &= ~RSF_CONNECT_DUE;
        Disconnect();
        if (!Connect() && ConnectPeriod != INFINITE) ShortenWait(NextWait, ConnectPeriod);
      }
      if (State == RS_CONNECTED && Mode == PM_TEXT) TextModePoll();
      if (State == RS_CONNECTED && Mode == PM_BINARY) BinaryModePoll();
      if (State == RS_CONNECTED && Mode == PM_FRAMED) FramedModePoll();
      if (State == RS_CONNECTED && Mode == PM_CONVERTER) ConverterModePoll();

      if (!Running) continue;

      DWORD result = WaitForMultipleObjects(4, handles, FALSE, NextWait);
      if (State == RS_CONNECTED && Port && result >= WAIT_OBJECT_0 + 1 && result <= WAIT_OBJECT_0 + 3) {
        HRESULT hr = result == WAIT_OBJECT_0 + 1   ? Port->OnWriteEvent()
                     : result == WAIT_OBJECT_0 + 2 ? Port->OnReadEvent()
                                                   : Port->OnRxEvent();
        if (FAILED(hr)) ThrowPortException(hr, Port->GetName());
        StatusFlags |= RSF_PORT_EVENT;
      }
    } catch (const CKdPortException& e) {
      ReportError(3, e.Code(), WideMessage(e).c_str());
    } catch (const COSException& e) {
      HRESULT code = int(e.Code()) > 0 ? HRESULT_FROM_WIN32(e.Code()) : HRESULT(e.Code());
      ReportError(2, code, WideMessage(e).c_str());
    } catch (const std::exception& e) {
      ReportError(1, E_FAIL, WideMessage(e).c_str());
    }
  }
  try {
    Disconnect();
  } catch (const std::exception&) {
    // The thread ends in any case.
  }
  return 0;
}

bool CReader::LeaveLoop() {
  CCriticalSectionLock lock(&Lock);
  if (Running) return false;
  Leaving = true;
  return true;
}

bool CReader::WithdrawStop() {
  CCriticalSectionLock lock(&Lock);
  if (Leaving) return false;
  Running = 1;
  // The break would cut short the exchange the thread is caught in once it comes back.
  ResetEvent(BreakEvent);
  return true;
}

void CReader::ApplyChanges() {
  UINT changes;
  UINT flags;
  UINT speed;
  {
    CCriticalSectionLock lock(&Lock);
    changes = Changes;
    Changes = 0;
    flags = ConnectFlags;
    speed = Speed;
    // The break that announced a reconnect has done its work; left set it would cut short the
    // first read of the very connect it asked for. Under the lock, so a later request keeps its own.
    if (changes & RC_RECONNECT) ResetEvent(BreakEvent);
    if (changes & RC_ADDRESSES) RebuildAddresses();
    if (changes & RC_ADDRESS_RECONNECT) MarkAddressesForReconnect();
  }
  if (flags & RDF_DIFFERENT_CODES) {
    StatusFlags |= RSF_DIFFERENT_CODES;
  } else {
    StatusFlags &= ~RSF_DIFFERENT_CODES;
  }
  if (changes & RC_PARAMS) ApplyThreadLocale();
  if ((changes & RC_SPEED) && !(changes & RC_RECONNECT)) ApplySpeed(speed);
  if (changes & RC_RECONNECT) {
    CCriticalSectionLock lock(&Lock);
    StatusFlags &= ~RSF_UNSUPPORTED;
    StatusFlags |= RSF_CONNECT_DUE;
    Model = 0;
    Version = 0;
    InfoText.clear();
  }
  if (changes & RC_CONTINUE_SCAN) StatusFlags |= RSF_SCAN_DUE;
}

void CReader::ReportError(int kind, HRESULT code, const wchar_t* text) { ReportErrorEx(kind, code, text, true); }

void CReader::ReportErrorEx(int kind, HRESULT code, const wchar_t* text, bool endCommand) {
  SetLastError(code, text);
  if (endCommand) FailPendingCommand(code);
  if (code == E_ABORT) return;
  if (LogLevel() >= 5) {
    std::wstring escaped;
    EscapeLogTextW(escaped, text ? text : L"", -1);
    switch (kind) {
      case 2:
        Log(2, IDS_LOG_OS_ERROR, int(code & 0xFFFF), escaped.c_str());
        break;
      case 3:
        Log(2, IDS_LOG_PORT_ERROR, UINT(code), escaped.c_str());
        break;
      default:
        Log(2, IDS_LOG_ERROR, escaped.c_str());
        break;
    }
  }
  if (kind == 3) Disconnect();
  if (Events) Events->OnReaderError(this, code, text ? text : L"");
  Sleep(100);
}

void CReader::TextModePoll() {
  HandleInterceptedLines();
  if (StatusFlags & RSF_PORT_EVENT) PollText();

  // Key hold: the Temic scan pauses while it runs. When it ends the scan goes on only if Temic
  // reading is on: otherwise a transponder it found would stay reported with nothing to remove it.
  if ((StatusFlags & RSF_HOLD) && g_pVombra) {
    UINT delay = g_pVombra->GetIdentKeyDelay();
    if (delay != INFINITE && TimerDue(NextWait, HoldStart, delay, Ticks())) StatusFlags &= ~RSF_HOLD;
  }
  if (!(StatusFlags & RSF_HOLD) && (StatusFlags & RSF_TEMIC) && g_pVombra && g_pVombra->GetTemic().Enabled) {
    TemicScanPoll();
  }

  if (NoCardPending && TimerDue(NextWait, NoCardTime, kNoCardDelay, Ticks())) OnNoCard(false);

  if (RxPeriod != INFINITE && TimerDue(NextWait, LastPollTime, RxPeriod, Ticks())) {
    PollText();
    ShortenWait(NextWait, RxPeriod);
  }
  HandleInterceptedLines();
}
