// The XML document: exact output, round trips of generated trees, the forgiving parser's edge cases
// and the lookups. No Windows header: the same tables run in the native sanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "Xml.h"

namespace {

// A tree as one line: name, (attributes in order), 'text', {children;...}. The document adds
// "D:doctype|" in front and shows the root (declaration attributes, top-level elements) unnamed.
std::wstring DumpNode(const CMXNode& node) {
  std::wstring out = node.GetName();
  if (!node.GetAttributes().empty()) {
    out += L'(';
    for (size_t i = 0; i < node.GetAttributes().size(); ++i) {
      if (i) out += L',';
      out += node.GetAttributes()[i].first + L'=' + node.GetAttributes()[i].second;
    }
    out += L')';
  }
  if (!node.GetText().empty()) out += L'\'' + node.GetText() + L'\'';
  if (!node.GetChildren().empty()) {
    out += L'{';
    for (size_t i = 0; i < node.GetChildren().size(); ++i) {
      if (i) out += L';';
      out += DumpNode(*node.GetChildren()[i]);
    }
    out += L'}';
  }
  return out;
}

std::wstring DumpDocument(const CMemXML& xml) {
  std::wstring out;
  if (!xml.GetDoctype().empty()) out += L"D:" + xml.GetDoctype() + L'|';
  return out + DumpNode(xml.GetRoot());
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char escaped[16];
      snprintf(escaped, sizeof(escaped), "\\u%04X", unsigned(c));
      out += escaped;
    }
  }
  return out;
}

// Writing

TEST(XmlSerialize, FiveLineExample) {
  CMemXML xml;
  xml.GetRoot().SetAttribute(L"version", L"1.0");
  CMXNode* root = xml.GetRoot().AddChild(L"Root");
  root->SetAttribute(L"a", L"1");
  root->AddChild(L"Empty");
  root->AddChild(L"Item")->SetText(L"text");
  std::wstring out;
  xml.Serialize(out);
  EXPECT_EQ(out,
            L"<?xml version=\"1.0\"?>\r\n"
            L"<Root a=\"1\">\r\n"
            L"\t<Empty/>\r\n"
            L"\t<Item>text</Item>\r\n"
            L"</Root>\r\n");
}

TEST(XmlSerialize, EmptyDocumentIsTheDeclarationAlone) {
  CMemXML xml;
  std::wstring out = L"stale";
  xml.Serialize(out);
  EXPECT_EQ(out, L"<?xml?>\r\n");
}

TEST(XmlSerialize, LayoutRules) {
  CMemXML xml;
  xml.SetDoctype(L"<!DOCTYPE Vombra>");
  CMXNode* top = xml.GetRoot().AddChild(L"Top");
  top->SetText(L"dropped: a node with children writes only them");
  CMXNode* item = top->AddChild(L"Item");
  item->SetAttribute(L"b", L"1");
  item->SetAttribute(L"a", L"<\"&'>");
  item->SetAttribute(L"B", L"3");  // the same attribute: its value changes, its place does not
  item->SetText(L" a<b & c> ");
  top->AddChild(L"Deeper")->AddChild(L"Leaf");
  std::wstring out;
  xml.Serialize(out);
  EXPECT_EQ(out,
            L"<?xml?>\r\n"
            L"<!DOCTYPE Vombra>\r\n"
            L"<Top>\r\n"
            L"\t<Item b=\"3\" a=\"&lt;&quot;&amp;&apos;&gt;\"> a&lt;b &amp; c&gt; </Item>\r\n"
            L"\t<Deeper>\r\n"
            L"\t\t<Leaf/>\r\n"
            L"\t</Deeper>\r\n"
            L"</Top>\r\n");
}

// Round trips of generated trees

class TreeGenerator {
 public:
  explicit TreeGenerator(unsigned seed) : m_random(seed) {}

  void Fill(CMemXML& xml) {
    xml.GetRoot().SetAttribute(L"version", L"1.0");
    if (Chance(3)) xml.GetRoot().SetAttribute(L"encoding", Text(6).c_str());
    if (Chance(3)) xml.SetDoctype(L"<!DOCTYPE Vombra [<!ENTITY e \"x\">]>");
    const int count = 1 + Pick(3);
    for (int i = 0; i < count; ++i) FillNode(*xml.GetRoot().AddChild(Name()), 0);
  }

 private:
  bool Chance(int oneIn) { return Pick(oneIn) == 0; }
  int Pick(int n) { return int(m_random() % unsigned(n)); }

  const wchar_t* Name() {
    static const wchar_t* const kNames[] = {L"Item", L"item", L"Formats", L"a", L"\x0424\x043E\x0440\x043C"};
    return kNames[Pick(5)];
  }

  // Texts made of everything the writer must escape or keep: quotes, markup, entities, TAB, CR LF,
  // blanks and letters beyond ASCII.
  std::wstring Text(int maxLength) {
    static const wchar_t kChars[] = L"\"'<>&;#x/=?! \t\r\na\x042F\x00E9";
    std::wstring text;
    const int length = Pick(maxLength + 1);
    for (int i = 0; i < length; ++i) text += kChars[Pick(int(sizeof(kChars) / sizeof(wchar_t)) - 1)];
    if (Chance(6)) text = Chance(2) ? L"   " : L"\t\r\n ";  // blank text survives too
    return text;
  }

  void FillNode(CMXNode& node, int depth) {
    std::vector<std::wstring> names = {L"id", L"Name", L"value", L"x-y", L"\x0438\x043C\x044F"};
    std::shuffle(names.begin(), names.end(), m_random);
    const int attributes = Pick(4);
    for (int i = 0; i < attributes; ++i) node.SetAttribute(names[size_t(i)].c_str(), Text(8).c_str());
    const int children = depth < 4 ? Pick(4) : 0;
    for (int i = 0; i < children; ++i) FillNode(*node.AddChild(Name()), depth + 1);
    if (children == 0 && !Chance(4)) node.SetText(Text(10));
  }

  std::mt19937 m_random;
};

TEST(XmlRoundTrip, GeneratedTreesParseBackTheSame) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    CMemXML original;
    TreeGenerator(seed).Fill(original);
    std::wstring text;
    original.Serialize(text);
    CMemXML parsed;
    parsed.Parse(text.c_str());
    ASSERT_EQ(Narrow(DumpDocument(parsed)), Narrow(DumpDocument(original))) << "seed " << seed;
    std::wstring again;
    parsed.Serialize(again);
    ASSERT_EQ(again, text) << "seed " << seed;
  }
}

// Reading

struct ParseCase {
  const char* name;
  std::wstring text;
  std::wstring tree;
  friend void PrintTo(const ParseCase& row, std::ostream* out) { *out << row.name; }
};

const ParseCase kParseCases[] = {
    {"Nothing", L"", L""},
    {"NoTags", L"just text", L""},
    {"TagNeverEnds", L"<a x=\"1\"", L""},
    {"EmptyTagSkipped", L"<><a/>", L"{a}"},
    {"TextAroundChildDropped", L"<a>x<b/>y</a>", L"{a{b}}"},
    {"TextBeforeOpeningTagDropped", L"<a>x<b>y</b></a>", L"{a{b'y'}}"},
    {"IndentationBetweenChildrenDropped", L"<a>\r\n\t<b/>\r\n</a>", L"{a{b}}"},
    {"BlankTextKept", L"<a>  </a>", L"{a'  '}"},
    {"TextWithoutClosingTagDropped", L"<a>text", L"{a}"},
    {"ClosingTagClosesWhateverIsOpen", L"<a><b></x></y><c/>", L"{a{b};c}"},
    {"EmptyClosingTagClosesNothing", L"<a></><b/></a>", L"{a{b}}"},
    {"ClosingTagAtTopLevel", L"</a><b/>", L"{b}"},
    {"UnclosedElementsStay", L"<a><b>", L"{a{b}}"},
    {"SiblingsWithTexts", L"<a>x</a>y<b>z</b>", L"{a'x';b'z'}"},
    {"SameNamesKeptInOrder", L"<a>1</a><A>2</A><a>3</a>", L"{a'1';A'2';a'3'}"},
    {"TabBelongsToName", L"<a\tb=\"1\" c=\"2\"/>", L"{a\tb=\"1\"(c=2)}"},
    {"SingleQuotesJoinNextName", L"<a x='1' y=\"2\"/>", L"{a(x='1' y=2)}"},
    {"UnquotedJoinsNextName", L"<a x=1 y=\"2\"/>", L"{a(x=1 y=2)}"},
    {"MissingClosingQuoteNotStored", L"<a x=\"1/><b/>", L"{a;b}"},
    {"LaterMissingQuoteNotStored", L"<a x=\"1\" y=\"2/>", L"{a(x=1)}"},
    {"OneSpaceAfterEquals", L"<a x= \"1\"/>", L"{a(x=1)}"},
    {"TwoSpacesAfterEquals", L"<a x=  \"1\"/>", L"{a}"},
    {"RepeatedAttributeOverwrites", L"<a x=\"1\" X=\"2\"/>", L"{a(x=2)}"},
    {"CharacterAfterValueSkipped", L"<a x=\"1\"y=\"2\"/>", L"{a(x=1)}"},
    {"NameSpacesTrimmed", L"<a   x  =\"1\"  y=\"2\"/>", L"{a(x=1,y=2)}"},
    {"ValueEntitiesDecoded", L"<a x=\"&lt;&amp;&#x41;\" y=\"a>b\"/>", L"{a(x=<&A)}"},
    {"TextEntitiesDecoded", L"<a>&quot;&#x416;&gt;</a>", L"{a'\"\x0416>'}"},
    {"Declaration", L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<r/>",
     L"(version=1.0,encoding=UTF-8){r}"},
    {"DoctypeWithInternalSubset", L"<!DOCTYPE r [<!ENTITY e \"<x>\">]><r/>",
     L"D:<!DOCTYPE r [<!ENTITY e \"<x>\">]>|{r}"},
    {"OnlyExactDoctypeKept", L"<!doctype r><!DOCTYPEX r><r/>", L"{r}"},
    {"CommentDropped", L"<!-- note --><r/>", L"{r}"},
    {"CommentWithBracketsDropped", L"<!-- <b> --><r/>", L"{r}"},
    {"DeclarationNeverEnds", L"<r/><!x <<>", L"{r}"},
    {"ProcessingInstructionNotLeftOpen", L"<?pi x?><r/>", L"{?pi;r}"},
    {"SelfClosingWithAttributes", L"<a x=\"1\"/><b/>", L"{a(x=1);b}"},
};

class XmlParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(XmlParseTest, ReadsWhatItCan) {
  CMemXML xml;
  xml.Parse(GetParam().text.c_str());
  EXPECT_EQ(Narrow(DumpDocument(xml)), Narrow(GetParam().tree));
}

INSTANTIATE_TEST_SUITE_P(Cases, XmlParseTest, testing::ValuesIn(kParseCases),
                         [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(XmlParse, ClearsTheDocumentFirst) {
  CMemXML xml;
  xml.Parse(L"<?xml v=\"1\"?><!DOCTYPE d><a/>");
  xml.Parse(L"<b/>");
  EXPECT_EQ(Narrow(DumpDocument(xml)), "{b}");
}

TEST(XmlParse, CountedTextStopsAtItsLength) {
  const wchar_t text[] = L"<a>x\0y</a><b/>";
  CMemXML xml;
  xml.Parse(text, 10);  // up to "</a>", the NUL inside included
  EXPECT_EQ(DumpDocument(xml), std::wstring(L"{a'x\0y'}", 8));
  xml.Parse(text, 3);
  EXPECT_EQ(DumpDocument(xml), L"{a}");
  xml.Parse(nullptr);
  EXPECT_EQ(DumpDocument(xml), L"");
}

TEST(XmlParse, DeepNestingNeitherParsingNorFreeingRecurses) {
  std::wstring text;
  for (int i = 0; i < 200000; ++i) text += L"<a>";
  {
    CMemXML xml;
    xml.Parse(text.c_str());
    const CMXNode* node = &xml.GetRoot();
    int depth = 0;
    while (!node->GetChildren().empty()) {
      node = node->GetChildren().front();
      ++depth;
    }
    EXPECT_EQ(depth, 200000);
  }
}

// Entities

TEST(XmlEntities, UnescapeTable) {
  const struct {
    const wchar_t* text;
    std::wstring decoded;
  } cases[] = {
      {L"&#x41;", L"A"},
      {L"&#65;", L""},
      {L"&#X41;", L""},
      {L"&LT;", L"<"},
      {L"&QuOt;&apos;", L"\"'"},
      {L"&copy;", L""},
      {L"a & b", L"a "},
      {L"x&", L"x"},
      {L"&;", L""},
      {L"&#x;", L""},
      {L"&#x", L""},
      {L"&#x41", L"A"},
      {L"a&gt", L"a>"},
      {L"&#x10000;", L""},
      {L"&#xFFFF;", L"\xFFFF"},
      {L"&amp;lt;", L"&lt;"},
      {L"&#x0;", L""},  // a NUL is no character of a text
  };
  CMemXML xml;
  for (const auto& c : cases) {
    std::wstring out = L"stale";
    xml.Unescape(out, c.text);
    EXPECT_EQ(Narrow(out), Narrow(c.decoded)) << Narrow(c.text);
  }
  std::wstring out;
  xml.Unescape(out, L"&lt;&gt;", 4);  // the counted form: "&lt;" only
  EXPECT_EQ(out, L"<");
}

TEST(XmlEntities, EscapeTable) {
  CMemXML xml;
  std::wstring out = L"stale";
  xml.Escape(out, L"\"&'<>a\tb\r\n\x0416");
  EXPECT_EQ(out, L"&quot;&amp;&apos;&lt;&gt;a\tb\r\n\x0416");
  xml.Escape(out, L"<<", 1);
  EXPECT_EQ(out, L"&lt;");
}

// Lookups

TEST(XmlLookup, ChildrenAndAttributesIgnoreCase) {
  CMXNode node(L"n");
  CMXNode* first = node.AddChild(L"Item");
  CMXNode* second = node.AddChild(L"ITEM");
  node.AddChild(L"Other");
  EXPECT_EQ(node.GetChildren().size(), 3u);
  EXPECT_EQ(node.FindChild(L"item"), first);  // the first added wins
  EXPECT_NE(node.FindChild(L"item"), second);
  EXPECT_EQ(node.FindChild(L"Items"), nullptr);
  EXPECT_EQ(node.FindChild(L""), nullptr);
  node.SetAttribute(L"Id", L"5");
  EXPECT_EQ(node.GetAttribute(L"ID"), L"5");
  EXPECT_EQ(node.GetAttribute(L"missing"), L"");
  EXPECT_TRUE(XmlNameEquals(L"Formats", L"FORMATS"));
  EXPECT_FALSE(XmlNameEquals(L"Format", L"Formats"));
}

TEST(XmlLookup, FindPathTable) {
  const struct {
    const wchar_t* path;
    bool create;
    const wchar_t* found;  // the found node's dump; null: no node
    const wchar_t* tree;   // the tree afterwards
  } cases[] = {
      {L"A\\B", false, L"b", L"r{a{b}}"},    {L"\\A\\\\B\\", false, L"b", L"r{a{b}}"},
      {L"", false, L"r{a{b}}", L"r{a{b}}"},  {L"\\\\", true, L"r{a{b}}", L"r{a{b}}"},
      {L"a\\c", false, nullptr, L"r{a{b}}"}, {L"a\\C\\d", true, L"d", L"r{a{b;C{d}}}"},
      {L"A\\b", true, L"b", L"r{a{b}}"},
  };
  for (const auto& c : cases) {
    CMXNode root(L"r");
    root.AddChild(L"a")->AddChild(L"b");
    const CMXNode* found = root.FindPath(c.path, c.create);
    if (c.found) {
      ASSERT_NE(found, nullptr) << Narrow(c.path);
      EXPECT_EQ(Narrow(DumpNode(*found)), Narrow(c.found)) << Narrow(c.path);
    } else {
      EXPECT_EQ(found, nullptr) << Narrow(c.path);
    }
    EXPECT_EQ(Narrow(DumpNode(root)), Narrow(c.tree)) << Narrow(c.path);
  }
}

TEST(XmlLookup, ClearEmptiesEverything) {
  CMemXML xml;
  xml.Parse(L"<?xml version=\"1.0\"?><!DOCTYPE d><a><b/></a>");
  xml.GetRoot().SetText(L"t");
  xml.Clear();
  EXPECT_EQ(DumpDocument(xml), L"");
  EXPECT_EQ(xml.GetRoot().FindChild(L"a"), nullptr);
}

}  // namespace
