// The texts GetParameters puts into its XML document: inserted texts escaped, and the labels of the
// prefix and suffix characters. No Windows header, so that the native sanitizer build and its
// fuzzers compile it as it is.
#pragma once

#include <string>

// text as XML attribute value or element content: "&", "<", ">" and the double quote as entities;
// tab, line feed and carriage return as character references, so that an attribute keeps them; a
// character XML cannot hold at all (another control character, U+FFFE, U+FFFF, half a surrogate
// pair) as U+FFFD, so that a stray one in a stored name cannot make the whole document unreadable.
std::wstring SettingsXmlEscape(const std::wstring& text);

// The label of a prefix or suffix character, -1 to 127, already in XML form: "&lt;NONE&gt;",
// "9 (TAB)", "33 (&#x21;)", "127 (DEL)".
std::wstring SettingsControlLabel(int value);
