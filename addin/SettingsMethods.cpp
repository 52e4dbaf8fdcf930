// Loading and saving the settings in parts, and the modified-parts mask that says which parts differ
// from the registry.
#include "Core.h"
#include "RegistryStore.h"
#include "Thread.h"
#include "Vombra.h"

namespace {

const VARIANT_TYPE PARTS_TYPE[] = {VTYPE_UI4};

}  // namespace

void CVombra::ReadSettings(UINT parts) {
  _SETTINGS_INFO record;
  RegLoadSettings(record, parts);  // a failed load changes nothing in the object

  Hive = record.Hive;
  LegacyNames = record.LegacyNames;
  ModifiedParts &= ~parts;
  // Single numbers that reader threads read are written before the lock; the wholes under it.
  if (parts & SP_MAIN) {
    SavedParams.Port = record.Portname;
    SavedParams.Model = record.Model;
    SavedParams.Speed = record.Speed;
    SavedParams.StopBits = record.StopBits;
    SavedParams.Flags = record.Flags;
    SavedParams.ConnectTimeout = record.ConnectTimeout;
    SavedParams.RequestTimeout = record.ReqTimeout;
    SavedParams.RequestTries = record.ReqTries;
    SavedParams.ConnectPeriod = record.ConnectPeriod;
    SavedParams.RxPeriod = record.RxPeriod;
    SavedParams.FormatId = record.FormatId;
    SavedParams.Prefix = record.Prefix;
    SavedParams.Suffix = record.Suffix;
    SettingFlags = record.SettingFlags;
    LogLevel = record.LogLevel;
    LogMaxSize = record.LogMaxSize;
    ExternalEventFlags = record.ExternalEventFlags;
    SearchFlags = record.SearchFlags;
    FindIpTimeout = record.FindIpTimeout;
    FindIpTries = record.FindIpTries;
    AdditionalPorts = record.AdditionalPorts;
    KeyTypes = record.KeyTypes;
    IdentKeyDelay = record.IdentKeyDelay;
    DelayKeyTypes = record.DelayKeyTypes;
  }

  CCriticalSectionLock lock(&Lock);
  if (parts & SP_MAIN) {
    MifareC = record.MifareC;
    MifareP = record.MifareP;
    MifareUL = record.MifareUL;
    Temic = record.Temic;
    LiveParams = SavedParams;
    SoundEnabled = record.SoundEnabled;
    for (size_t i = 0; i < SOUND_COUNT; ++i) SoundFileList[i] = record.SoundFileList[i];
    // The open MCI file may belong to a path that has just been replaced.
    CloseMedia();
  }
  if (parts & SP_LISTS) {
    Formats = std::move(record.Formats);
    FormatNewId = record.FormatNewId;
    FormatIndexCache.clear();
    KeyFilters = std::move(record.KeyFilters);
    KeyFilterNewId = record.KeyFilterNewId;
    KeyFilterSortCol = record.KeyFilterSortCol;
    DefaultFormatId = record.DefaultFormatId;
  }
  if (parts & SP_PORTS) Ports = std::move(record.Ports);
}

void CVombra::WriteSettings(UINT parts) {
  _SETTINGS_INFO record;
  if (parts & SP_MAIN) {
    record.Portname = SavedParams.Port;
    record.Model = SavedParams.Model;
    record.Speed = SavedParams.Speed;
    record.StopBits = SavedParams.StopBits;
    record.Flags = SavedParams.Flags;
    record.ConnectTimeout = SavedParams.ConnectTimeout;
    record.ReqTimeout = SavedParams.RequestTimeout;
    record.ReqTries = SavedParams.RequestTries;
    record.ConnectPeriod = SavedParams.ConnectPeriod;
    record.RxPeriod = SavedParams.RxPeriod;
    record.FormatId = SavedParams.FormatId;
    record.Prefix = SavedParams.Prefix;
    record.Suffix = SavedParams.Suffix;
    record.SettingFlags = SettingFlags;
    record.LogLevel = LogLevel;
    record.LogMaxSize = LogMaxSize;
    record.ExternalEventFlags = ExternalEventFlags;
    record.SearchFlags = SearchFlags;
    record.FindIpTimeout = FindIpTimeout;
    record.FindIpTries = FindIpTries;
    record.AdditionalPorts = AdditionalPorts;
    record.KeyTypes = KeyTypes;
    record.IdentKeyDelay = IdentKeyDelay;
    record.DelayKeyTypes = DelayKeyTypes;
    record.MifareC = MifareC;
    record.MifareP = MifareP;
    record.MifareUL = MifareUL;
    record.Temic = Temic;
    record.SoundEnabled = SoundEnabled;
    for (size_t i = 0; i < SOUND_COUNT; ++i) record.SoundFileList[i] = SoundFileList[i];
  }
  if (parts & SP_LISTS) {
    record.KeyFilters = KeyFilters;
    record.KeyFilterNewId = KeyFilterNewId;
    record.KeyFilterSortCol = KeyFilterSortCol;
    record.DefaultFormatId = DefaultFormatId;
    record.Formats = Formats;
    record.FormatNewId = FormatNewId;
  }
  if (parts & SP_PORTS) record.Ports = Ports;
  record.Hive = Hive;
  record.LegacyNames = LegacyNames;
  RegSaveSettings(record, parts);  // on a throw ModifiedParts stays as it was
  ModifiedParts &= ~parts;
}

bool CVombra::LoadSettings(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  if (!CheckArgs(params, count, PARTS_TYPE, 1)) return true;
  ReadSettings(params[0].ulVal);
  SetBool(result, true);
  return true;
}

bool CVombra::SaveSettings(tVariant* result, tVariant* params, long count) {
  if (!result || !params || count < 1) return Refuse();
  SetBool(result, false);
  if (!CheckArgs(params, count, PARTS_TYPE, 1)) return true;
  UINT parts = params[0].ulVal;
  WriteSettings(parts != 0 ? parts : ModifiedParts);
  SetBool(result, true);
  return true;
}
