// Key reporting: the number text of a key (the format chosen for it, filled by the format applier)
// and the key list with the events and log lines of each change.
#include "Core.h"
#include "FormatApply.h"
#include "KdParser.h"
#include "Reader.h"
#include "ReaderSupport.h"
#include "ResourceIds.h"
#include "VombraContext.h"

using namespace reader_support;

bool CReader::FormatKey(UINT keyType, const _KEYNUM_INFO* key, std::wstring* text) {
  text->clear();
  if (!g_pVombra) return true;
  UINT formatId;
  {
    CCriticalSectionLock lock(&Lock);
    formatId = FormatId;
  }
  HRESULT error = S_OK;
  std::wstring errorText;
  {
    // Never under the reader lock: the add-in takes its lock first.
    CCriticalSectionLock lock(g_pVombra->GetLock());
    try {
      int index = -1;
      if (formatId) {
        index = g_pVombra->GetFormatIndex(formatId);
      } else {
        UINT id = 0;
        for (const _KEYFILTER_INFO& filter : g_pVombra->GetKeyFilters()) {
          if (keyType < 32 && (filter.KeyTypes & (1u << keyType)) &&
              (filter.KeySize == 0 || filter.KeySize == key->Length)) {
            id = filter.FormatId;
            break;
          }
        }
        if (!id) id = g_pVombra->GetDefaultFormatId();
        if (id) index = g_pVombra->GetFormatIndex(id);
      }
      const auto& formats = g_pVombra->GetFormats();
      if (index >= 0 && size_t(index) < formats.size() && !formats[size_t(index)].Template.empty()) {
        const _FORMAT_INFO& format = formats[size_t(index)];
        FormatKeyNumber(*text, format.Template.c_str(), format.Params.c_str(), key);
      }
    } catch (const CKdParserException& e) {
      error = e.Code;
      errorText = WideMessage(e);
    } catch (const std::exception& e) {
      error = E_FAIL;
      errorText = WideMessage(e);
    }
  }
  if (error == S_OK) return true;
  text->clear();
  ReportErrorEx(1, error, errorText.c_str(), false);
  return false;
}

// Step 4 of adding a key, also used when a key's number arrives later.
static void ReportNumber(CReader* reader, INT64 index, HRESULT status, const _KEY_INFO& record) {
  const std::wstring type = KeyTypeName(record.KeyType);
  const std::wstring uid = KeyText(record.Uid, record.KeyType);
  const std::wstring data = record.NumberStatus == 0 ? KeyText(record.Number, record.KeyType) : std::wstring();
  if (status >= 0) {
    if (!record.Text.empty()) {
      reader->Events->OnNumberTransfer(reader, index);
      if (LogLevel() >= 5)
        reader->Log(0, IDS_LOG_NUMBER_TRANSFERRED, record.Text.c_str(), type.c_str(), uid.c_str(), data.c_str());
    } else if (LogLevel() >= 2) {
      const std::wstring from = record.NumberStatus == 0 ? data : uid;
      reader->Log(1, IDS_LOG_NO_FORMAT_FOR_KEY, type.c_str(), from.c_str());
    }
  } else if (status != E_PENDING) {
    std::wstring text;
    FormatMessageText(text, g_hResInstance, DWORD(status));
    if (LogLevel() >= 2)
      reader->Log(2, IDS_LOG_NUMBER_TRANSFER_ERROR, type.c_str(), uid.c_str(), data.c_str(), UINT(status),
                  text.c_str());
    reader->Events->OnNumberTransferError(reader, index, status, text.c_str());
  }
}

INT64 CReader::AddKey(const _KEY_INFO& key, bool events) {
  _KEY_INFO record = key;
  record.Text.clear();
  HRESULT status = key.NumberStatus;
  if (key.NumberStatus >= 0) {
    if (!FormatKey(key.KeyType, key.NumberStatus == 0 ? &key.Number : &key.Uid, &record.Text)) status = LastError;
  }
  INT64 index;
  {
    CCriticalSectionLock lock(&Lock);
    Keys.push_back(record);
    index = INT64(Keys.size()) - 1;
  }
  if (LogLevel() >= 5) Log(0, IDS_LOG_KEY_FOUND, KeyTypeName(record.KeyType), KeyText(record.Uid, record.KeyType).c_str());
  if (events && Events) {
    Events->OnKeyFound(this, index);
    ReportNumber(this, index, status, record);
  }
  return index;
}

void CReader::UpdateKeyNumber(INT64 index, HRESULT status, const _KEYNUM_INFO& number, bool events) {
  _KEY_INFO record;
  {
    CCriticalSectionLock lock(&Lock);
    if (index < 0 || size_t(index) >= Keys.size()) return;
    record = Keys[size_t(index)];
  }
  const HRESULT old = record.NumberStatus;
  if (status == old && (status != 0 || CompareKeyNum(number, record.Number) == 0)) return;
  HRESULT reported = status;
  if (status == 0) {
    record.Number = number;
    if (!FormatKey(record.KeyType, &number, &record.Text)) reported = LastError;
  } else {
    record.Number = {};
    record.Text.clear();
  }
  record.NumberStatus = status;
  {
    CCriticalSectionLock lock(&Lock);
    if (size_t(index) >= Keys.size()) return;
    _KEY_INFO& stored = Keys[size_t(index)];
    stored.NumberStatus = status;
    stored.Number = record.Number;
    stored.Text = record.Text;
  }
  if (old != 0 && events && Events) ReportNumber(this, index, reported, record);
}

void CReader::RemoveKey(INT64 index, bool events) {
  _KEY_INFO record;
  {
    CCriticalSectionLock lock(&Lock);
    if (index < 0 || size_t(index) >= Keys.size()) return;
    record = Keys[size_t(index)];
    Keys.erase(Keys.begin() + index);
  }
  if (LogLevel() >= 5) Log(0, IDS_LOG_KEY_LOST, KeyTypeName(record.KeyType), KeyText(record.Uid, record.KeyType).c_str());
  if (events && Events) {
    Events->OnKeyLost(this, record.KeyType, &record.Uid, record.NumberStatus == 0 ? &record.Number : &record.Uid,
                      record.Text.c_str());
  }
}

INT64 CReader::RemoveKeys(const std::function<bool(const _KEY_INFO&)>& gone, bool events) {
  INT64 count;
  {
    CCriticalSectionLock lock(&Lock);
    count = INT64(Keys.size());
  }
  for (INT64 i = count - 1; i >= 0; --i) {
    bool remove;
    {
      CCriticalSectionLock lock(&Lock);
      remove = size_t(i) < Keys.size() && gone(Keys[size_t(i)]);
    }
    if (remove) RemoveKey(i, events);
  }
  return count;
}

void CReader::UpdateKeyList(const _KEY_INFO& key, bool events) {
  if (key.Uid.Length == 0) {
    // The Temic keys of a Temic-capable reader stay: only the Temic scan removes them.
    const bool keepTemic = (StatusFlags & RSF_TEMIC) != 0;
    RemoveKeys([keepTemic](const _KEY_INFO& k) { return !(keepTemic && k.KeyType == KT_TEMIC); }, events);
    return;
  }
  INT64 index;
  {
    CCriticalSectionLock lock(&Lock);
    index = FindKeyByUid(Keys, key.KeyType, key.Uid);
  }
  if (index >= 0) {
    if (key.NumberStatus != E_PENDING) UpdateKeyNumber(index, key.NumberStatus, key.Number, events);
  } else {
    AddKey(key, events);
  }
  NoCardPending = 0;
}
