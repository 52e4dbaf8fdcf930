// ConfigVombra.xml, the configurator's own configuration file, as an XML tree that knows its path and
// version and is written back only when changed. Saving works on the file's own tree, so what the
// configurator does not know survives.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "AppSettings.h"
#include "Xml.h"

constexpr UINT kConfigVersion = 0x0102;  // "2.1": major in the low byte, minor in the high byte

class CAppConfig : public CMemXML {
 public:
  CAppConfig() = default;
  ~CAppConfig() override = default;

  // Remembers path and reads the file when it exists (a missing file leaves an empty tree); the
  // version comes from Vombra\Configurator. Throws CFileException when the file cannot be read.
  void Load(const wchar_t* path);
  // Makes the tree a current file: nothing for one; else everything under Configurator goes and
  // the declaration, Vombra and Configurator with version "2.1" are set.
  void InitRoot();
  // Writes the file when the tree changed, creating its folder first. Throws CFileException.
  void Save();

  const std::wstring& GetPath() const { return m_path; }
  bool IsModified() const { return m_modified; }
  void SetModified() { m_modified = true; }
  // Major number in the low byte, minor in the high byte; 0 when the file has none.
  UINT GetVersion() const { return m_version; }
  // The Configurator element; null when the file has none.
  CMXNode* GetConfigurator() const { return m_configurator; }

  // --- Sections. Readers leave what the file lacks as it was.
  static void ReadConfirmFlags(const CMXNode* main, UINT& flags);
  void WriteConfirmFlags(CMXNode* main, UINT flags);
  void WriteLastKey(UINT keyType, const _KEYNUM_INFO& key);
  // Null arrays are neither read nor written; showStates has SHOW_STATE_COUNT entries.
  static void ReadFormPos(const CMXNode* ui, POINT* positions, SIZE* sizes, int* showStates);
  void WriteFormPos(CMXNode* ui, const POINT* positions, const SIZE* sizes, const int* showStates);
  static void ReadColumns(const CMXNode* parent, COLUMN_SET& set);
  void WriteColumns(CMXNode* parent, const COLUMN_SET& set);
  // False for an item without a name. The id is N of a name "ItemN" (any case), else 0.
  static bool ReadFormatItem(const CMXNode* item, _FORMAT_INFO_EX& format);
  void WriteFormatItem(CMXNode* formats, const _FORMAT_INFO_EX& format);
  static void ReadMethodArgs(const CMXNode* methArgs, const wchar_t* name, METHOD_ARGS& args);
  void WriteMethodArgs(CMXNode* methArgs, const wchar_t* name, const METHOD_ARGS& args);

 private:
  std::wstring m_path;
  bool m_modified = false;
  UINT m_version = 0;
  CMXNode* m_configurator = nullptr;
};

// The first child of that name, added when there is none.
CMXNode* FindOrAddChild(CMXNode* parent, const wchar_t* name);

// Attribute numbers as the file holds them: taken only when the text is a number (a digit was read),
// with the C library's reading (blanks and a sign first, trailing text ignored). False leaves out
// as it was.
bool ReadAttrUInt(const CMXNode* node, const wchar_t* name, UINT& out, int base = 10);
bool ReadAttrInt(const CMXNode* node, const wchar_t* name, int& out);
void WriteAttrUInt(CMXNode* node, const wchar_t* name, UINT value);
void WriteAttrInt(CMXNode* node, const wchar_t* name, int value);
// A flag attribute: "1" or "0" written, any number read (non-zero = set).
bool ReadAttrFlag(const CMXNode* node, const wchar_t* name, UINT& flags, UINT bit);
bool ReadAttrBool(const CMXNode* node, const wchar_t* name, bool& out);
void WriteAttrBool(CMXNode* node, const wchar_t* name, bool value);
