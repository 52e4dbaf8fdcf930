// The preset formats: RCDATA 805 merged into the settings document's format list.
#include <algorithm>

#include "AppConfig.h"
#include "AppSettings.h"
#include "ConfigResourceIds.h"
#include "Core.h"
#include "Exceptions.h"
#include "Strings.h"

namespace {

const LANGID kPresetsResourceLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// The presets exist once, in English; FindResourceW looks in the thread's language first and falls
// back differently on Windows and under Wine, so the English one is asked for by name when that fails.
HRSRC FindPresets() {
  HRSRC resource = FindResourceW(g_hResInstance, MAKEINTRESOURCEW(IDR_PRESET_FORMATS), RT_RCDATA);
  if (!resource) {
    resource = FindResourceExW(g_hResInstance, RT_RCDATA, MAKEINTRESOURCEW(IDR_PRESET_FORMATS),
                               kPresetsResourceLanguage);
  }
  return resource;
}

bool IsPreset(const std::wstring& name) { return !name.empty() && name[0] == L'\n'; }

// A preset's name without its mark: the text after the first blank, or after the line feed alone.
std::wstring PlainName(const std::wstring& name) {
  const size_t space = name.find(L' ');
  return name.substr(space == std::wstring::npos ? 1 : space + 1);
}

}  // namespace

std::wstring CAppSettings::PresetPrefix() {
  std::wstring mark;
  LoadStr(IDS_PRESET_PREFIX, mark);
  return L"\n" + mark + L" ";
}

LANGID CAppSettings::PresetsLanguage() { return FindPresets() ? GetUILanguage() : kPresetsResourceLanguage; }

void CAppSettings::LoadPresetFormats(LANGID language, bool adopt) {
  if (language == 0) language = PresetsLanguage();
  _DOC_UPDATE_INFO batch(this);
  HRSRC resource = FindPresets();
  HGLOBAL loaded = resource ? LoadResource(g_hResInstance, resource) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (!bytes) ThrowOSException(GetLastError());
  size_t size = SizeofResource(g_hResInstance, resource);
  std::wstring text;
  if (size >= 3 && std::equal(bytes, bytes + 3, "\xEF\xBB\xBF")) {
    MultiByteToWide(bytes + 3, size - 3, text, CP_UTF8);
  } else {
    MultiByteToWide(bytes, size, text, CP_ACP);
  }
  MergePresetFormats(text, language, adopt);
}

void CAppSettings::MergePresetFormats(const std::wstring& presetsText, LANGID language, bool adopt) {
  _DOC_UPDATE_INFO batch(this);
  for (_FORMAT_INFO_EX& format : formats) format.Flags |= FORMAT_FROM_RESOURCE;
  CMemXML presets;
  presets.Parse(presetsText.c_str(), presetsText.size());
  CMXNode* items = presets.GetRoot().FindPath(L"Vombra\\Configurator\\Formats", false);
  const std::wstring prefix = PresetPrefix();
  const std::vector<CMXNode*> none;
  for (const CMXNode* element : items ? items->GetChildren() : none) {
    _FORMAT_INFO_EX item;
    if (!CAppConfig::ReadFormatItem(element, item)) continue;
    if (adopt) {
      // A copy of a preset that an old file kept as a user format becomes the preset again.
      auto copy = std::find_if(formats.begin(), formats.end(), [&](const _FORMAT_INFO_EX& f) {
        return !IsPreset(f.Name) && f.Name == item.Name && f.Template == item.Template &&
               f.Params == item.Params;
      });
      if (copy != formats.end()) {
        copy->Name = prefix + copy->Name;
        copy->Flags &= ~FORMAT_FROM_RESOURCE;
        continue;
      }
    }
    auto preset = std::find_if(formats.begin(), formats.end(), [&](const _FORMAT_INFO_EX& f) {
      return IsPreset(f.Name) && PlainName(f.Name) == item.Name;
    });
    if (preset != formats.end()) {
      // The technician's comment, key filters and flags stay; the format itself is the resource's.
      preset->Name = prefix + item.Name;
      preset->Template = item.Template;
      preset->Params = item.Params;
      preset->Flags &= ~FORMAT_FROM_RESOURCE;
      continue;
    }
    // No id another format holds, a preset's included: such an item gets a fresh one.
    if (item.Id != 0 && FindFormatIndex(item.Id) >= 0) item.Id = 0;
    item.Name = prefix + item.Name;
    AppendFormat(std::move(item));
  }
  formats.erase(std::remove_if(formats.begin(), formats.end(),
                               [](const _FORMAT_INFO_EX& f) {
                                 return (f.Flags & FORMAT_FROM_RESOURCE) && IsPreset(f.Name);
                               }),
                formats.end());
  for (_FORMAT_INFO_EX& format : formats) format.Flags &= ~FORMAT_FROM_RESOURCE;
  AssignMissingFormatIds();
  presetsLanguage = language;
  formatsEdited = true;
  UpdateAllViews(HINT_FORMATS);
  MarkConfigModified();
  // Formats the registry needs may have changed with them.
  SetSettingsModified(true);
}
