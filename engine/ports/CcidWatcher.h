// The PC/SC watcher: the add-in's one smart-card context, the PC/SC readers registered in its slots
// and the thread that reports card insertion and removal to them; and the card type from an ATR.
#pragma once

#include <windows.h>
#include <winscard.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "Atr.h"
#include "Handles.h"
#include "KeyModel.h"
#include "Thread.h"

class CCcidConnection;

// Events of a slot callback; a list callback gets CCID_LIST_CHANGED.
enum : int {
  CCID_NO_CARD = 0,
  CCID_CARD_PRESENT = 1,
  CCID_READER_GONE = 2,
  CCID_LIST_CHANGED = 1,
};

struct _CCIDCALLBACK_INFO {
  void* Context;  // handed back unchanged
  void (*Proc)(void* context, CCcidConnection* watcher, int event);
};

struct _CCIDSLOT_INFO {
  _CCIDCALLBACK_INFO Callback{};
  std::wstring Reader;  // the PC/SC reader name; empty = a free slot
  // A card event was reported, so the reader's disappearance is reported too. Written by the
  // watcher thread, read by the reader threads while it runs.
  std::atomic<BYTE> Announced{0};

  _CCIDSLOT_INFO() = default;
  _CCIDSLOT_INFO(const _CCIDSLOT_INFO& other)
      : Callback(other.Callback), Reader(other.Reader), Announced(other.Announced.load()) {}
  _CCIDSLOT_INFO& operator=(const _CCIDSLOT_INFO& other) {
    Callback = other.Callback;
    Reader = other.Reader;
    Announced = other.Announced.load();
    return *this;
  }
};

class CCcidConnection : public CThread {
 public:
  CCcidConnection();
  ~CCcidConnection() override;

  // S_OK when a context is held (established now if there was none); E_FAIL without a service.
  HRESULT EstablishContext();
  // AddReader, RemoveReader and Stop join the watcher thread: never call them from a callback (they
  // throw std::system_error there) nor while holding a lock that a callback takes.

  // Registers a reader in the first free slot (or a new one) and (re)starts the thread; *slot is the
  // 1-based slot number, 0 on failure.
  HRESULT AddReader(const wchar_t* reader, _CCIDCALLBACK_INFO callback, size_t* slot);
  // Frees a slot (0: nothing to do; beyond the list: E_INVALIDARG); the thread restarts while any
  // reader remains.
  HRESULT RemoveReader(size_t slot);
  // Halts the thread (promptly, whatever it is doing); releaseContext also lets the context go.
  void Stop(bool releaseContext);

  // The reader name in a slot (empty for a free slot); false when there is no such slot.
  bool GetSlotReader(size_t slot, std::wstring& reader);
  bool IsSlotAnnounced(size_t slot);

  // Watches the PnP pseudo-reader "\\?PnP?\Notification" too, so that ListCallback hears of readers
  // plugged in and out; done once per watcher (true again afterwards). False when no context can be had:
  // nothing is marked, and the readers already watched stay watched.
  bool AddPnpNotification();
  bool IsPnpNotificationAdded();

  // Lists the PC/SC readers in the service's order; none is S_OK with an empty list.
  static HRESULT ListCcidReaders(SCARDCONTEXT context, std::vector<std::wstring>* readers);

  // Called on the watcher thread for a watched entry without a slot whose state changed.
  _CCIDCALLBACK_INFO ListCallback{};
  // 0 when none. Card connections use it; the watcher thread replaces it when the service drops it.
  std::atomic<SCARDCONTEXT> Context{0};

 protected:
  DWORD Run() override;

 private:
  void RefuseOnWatcherThread() const;
  void StartWatching();
  void RepointStates();
  void ReportChanges();
  void RenewContext();

  // Written by Stop under m_lock, read by the watcher thread.
  std::atomic<BYTE> Running{0};
  // Changed only under m_lock while the thread is stopped; the thread reads them, reader threads
  // read Slots through the accessors (under m_lock).
  std::vector<SCARD_READERSTATEW> States;
  std::vector<_CCIDSLOT_INFO> Slots;
  bool m_pnpAdded = false;  // under m_lock

  // Serialises AddReader, RemoveReader, Stop and EstablishContext of all threads; never taken by the
  // watcher thread. m_contextLock guards the replacing of Context; order: m_lock, then m_contextLock.
  CRITICAL_SECTION m_lock;
  CRITICAL_SECTION m_contextLock;
  CKernelHandle m_stopEvent;  // set by Stop: ends the thread's pause after a failed status wait
  CKernelHandle m_finished;   // set when Run returns
  std::atomic<DWORD> m_threadId{0};
};
