// What a reader's reports become for the host: external events with their
// source and data, event sounds and log lines. The handlers run on the thread
// that drives the reader; they copy what they need under the add-in lock and
// then the reader's lock, and call the host with neither held, so a host that
// calls back into the add-in from another thread while it handles an event
// never waits.
#include <exception>
#include <string>

#include "Core.h"
#include "KeyModel.h"
#include "Reader.h"
#include "ResourceIds.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

enum EventSound {
  SOUND_TRANSFERRED = 0,
  SOUND_TRANSFER_ERROR = 1,
  SOUND_CONNECT = 2,
  SOUND_DISCONNECT = 3,
  SOUND_DRIVER_ERROR = 4,
  SOUND_KEY_FOUND = 5,
  SOUND_KEY_LOST = 6,
};

struct EventName {
  const wchar_t* English;
  const wchar_t* Russian;
};

const EventName TRACKS_DATA = {L"TracksData", L"ДанныеКарты"};
const EventName NO_CARD = {L"NoCard", L"НетКарты"};
const EventName DRIVER_ERROR = {L"DriverError", L"ОшибкаДрайвера"};
const EventName DEVICE_CONNECT = {L"DeviceConnect", L"УстройствоПодключено"};
const EventName DEVICE_DISCONNECT = {L"DeviceDisconnect", L"УстройствоОтключено"};
// The spelling is the one applications already match on.
const EventName COMMAND = {L"Command", L"Комманда"};

std::wstring Escaped(const std::wstring& text) {
  std::wstring out;
  EscapeLogTextW(out, text.c_str(), int(text.size()));
  return out;
}

}  // namespace

std::wstring CVombra::EventSource(CReader* reader, bool lookup) {
  std::wstring source = reader->PortName;
  if (reader->Address != -1) {
    std::wstring address;
    StrFormat(address, L"\\%d", reader->Address);
    source += address;
  }
  if (lookup) {
    auto entry = Ports.find(source);
    if (entry != Ports.end() && !entry->second.DeviceId.empty()) source = entry->second.DeviceId;
  }
  return source;
}

bool CVombra::ExternalEvent(const wchar_t* source, const wchar_t* name, const wchar_t* data) {
  // The texts go to the log escaped: a key's text must not be able to write log
  // lines of its own.
  if (LogLevel >= 6) {
    Log(0, nullptr, IDS_LOG_CALL_EXTERNAL_EVENT, Escaped(source).c_str(), Escaped(name).c_str(), Escaped(data).c_str());
  }
  if (!Host) return false;
  // The host's interface takes writable texts; it gets copies.
  std::wstring sourceCopy(source), nameCopy(name), dataCopy(data);
  bool answer = Host->ExternalEvent(&sourceCopy[0], &nameCopy[0], &dataCopy[0]);
  if (LogLevel >= 6) Log(0, nullptr, IDS_LOG_EXTERNAL_EVENT_RESULT, answer ? L"true" : L"false");
  return answer;
}

void CVombra::OnNumberTransfer(CReader* reader, INT64 index) {
  std::wstring data;
  try {
    std::wstring source;
    {
      CCriticalSectionLock addinLock(&Lock);
      source = EventSource(reader, true);
      CCriticalSectionLock readerLock(&reader->Lock);
      if (reader->Address != -1) {
        if (index == 0) {
          auto record = reader->AddressMap.find(reader->Address);
          if (record != reader->AddressMap.end()) data = record->second.Text;
        }
      } else if (index >= 0 && index < INT64(reader->Keys.size())) {
        data = reader->Keys[size_t(index)].Text;
      }
    }
    ExternalEvent(source.c_str(), RussianNames ? TRACKS_DATA.Russian : TRACKS_DATA.English, data.c_str());
    if (SoundEnabled) PlayEventSound(SOUND_TRANSFERRED);
    if (LogLevel >= 4) Log(0, nullptr, IDS_LOG_KEY_TRANSFERRED, Escaped(data).c_str());
  } catch (const std::exception& e) {
    // Nothing may return to the reader's thread; the failure is heard and
    // logged instead.
    try {
      if (SoundEnabled) PlayEventSound(SOUND_TRANSFER_ERROR);
      if (LogLevel >= 2) {
        std::wstring reason;
        EscapeLogText(reason, e.what(), -1);
        Log(2, nullptr, IDS_LOG_KEY_TRANSFER_FAILED, Escaped(data).c_str(), reason.c_str());
      }
    } catch (const std::exception&) {
    }
  }
}

void CVombra::OnNumberTransferError(CReader* reader, INT64 index, HRESULT, const wchar_t* text) {
  try {
    if (LogLevel >= 2) {
      UINT keyType = 0;
      _KEYNUM_INFO uid{};
      _KEYNUM_INFO number{};
      bool haveNumber = false;
      {
        CCriticalSectionLock addinLock(&Lock);
        CCriticalSectionLock readerLock(&reader->Lock);
        if (reader->Address != -1) {
          auto record = reader->AddressMap.find(reader->Address);
          if (index == 0 && record != reader->AddressMap.end()) {
            keyType = record->second.KeyType;
            uid = record->second.Key;
          }
        } else if (index >= 0 && index < INT64(reader->Keys.size())) {
          const _KEY_INFO& key = reader->Keys[size_t(index)];
          keyType = key.KeyType;
          uid = key.Uid;
          if (key.NumberStatus == 0) {
            number = key.Number;
            haveNumber = true;
          } else if (key.NumberStatus == 1) {
            number = key.Uid;
            haveNumber = true;
          }
        }
      }
      std::wstring keyText;
      if (uid.Length != 0) {
        std::wstring part;
        keyText = KeyTypeName(KEY_TYPE(keyType));
        keyText += L", UID: ";
        KeyNumToStr(part, uid, KEY_TYPE(keyType));
        keyText += part;
        if (haveNumber && number.Length != 0) {
          keyText += L", Number: ";
          KeyNumToStr(part, number, KEY_TYPE(keyType));
          keyText += part;
        }
      }
      Log(2, nullptr, IDS_LOG_KEY_TRANSFER_FAILED, Escaped(keyText).c_str(), Escaped(text ? text : L"").c_str());
    }
    if (SoundEnabled) PlayEventSound(SOUND_TRANSFER_ERROR);
  } catch (const std::exception&) {
  }
}

void CVombra::OnKeyFound(CReader*, INT64) {
  try {
    if (SoundEnabled) PlayEventSound(SOUND_KEY_FOUND);
  } catch (const std::exception&) {
  }
}

void CVombra::OnKeyLost(CReader* reader, UINT, const _KEYNUM_INFO*, const _KEYNUM_INFO*, const wchar_t* text) {
  try {
    if (ExternalEventFlags & EEF_NO_CARD) {
      std::wstring source;
      {
        CCriticalSectionLock addinLock(&Lock);
        source = EventSource(reader, true);
      }
      if (text && *text) ExternalEvent(source.c_str(), RussianNames ? NO_CARD.Russian : NO_CARD.English, text);
    }
    if (SoundEnabled) PlayEventSound(SOUND_KEY_LOST);
  } catch (const std::exception&) {
  }
}

void CVombra::OnReaderError(CReader* reader, HRESULT, const wchar_t* text) {
  try {
    std::wstring source;
    {
      CCriticalSectionLock addinLock(&Lock);
      source = EventSource(reader, false);
    }
    ExternalEvent(source.c_str(), RussianNames ? DRIVER_ERROR.Russian : DRIVER_ERROR.English, text ? text : L"");
    if (SoundEnabled) PlayEventSound(SOUND_DRIVER_ERROR);
  } catch (const std::exception&) {
  }
}

namespace {

// Connect and disconnect differ only in their sound, flag and name.
void RaiseConnectionEvent(CVombra* addin, CReader* reader, int sound, UINT flag, const EventName& name) {
  try {
    if (addin->SoundEnabled) addin->PlayEventSound(sound);
    if (addin->ExternalEventFlags & flag) {
      std::wstring source;
      {
        CCriticalSectionLock addinLock(&addin->Lock);
        source = addin->EventSource(reader, true);
      }
      addin->ExternalEvent(source.c_str(), addin->RussianNames ? name.Russian : name.English, L"");
    }
  } catch (const std::exception&) {
  }
}

}  // namespace

void CVombra::OnReaderConnect(CReader* reader) {
  RaiseConnectionEvent(this, reader, SOUND_CONNECT, EEF_DEVICE_CONNECT, DEVICE_CONNECT);
}

void CVombra::OnReaderDisconnect(CReader* reader) {
  RaiseConnectionEvent(this, reader, SOUND_DISCONNECT, EEF_DEVICE_DISCONNECT, DEVICE_DISCONNECT);
}

void CVombra::OnCommandDone(CReader* reader) {
  if (reader == WaitingReader.load()) {
    SignalCommandEvent();
    return;
  }
  try {
    if (ExternalEventFlags & EEF_COMMAND) {
      std::wstring source;
      {
        CCriticalSectionLock addinLock(&Lock);
        source = EventSource(reader, true);
      }
      ExternalEvent(source.c_str(), RussianNames ? COMMAND.Russian : COMMAND.English, L"");
    }
  } catch (const std::exception&) {
  }
}

void CVombra::OnTemicScanCycle(CReader*) {}
