// GetParameters: the settings description compared byte for byte with a document typed from the
// rules of the format, and read back with the system's XML parser where the content varies.
#include <windows.h>

#include <msxml2.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AddinLog.h"
#include "AddinModule.h"
#include "FakeDevices.h"
#include "FakeHost.h"
#include "PortEnum.h"
#include "Vombra.h"
#include "doubles/winscard/WinscardDouble.h"

namespace {

// IXMLDOMDocument; MinGW's headers declare its IID without a definition to link.
const IID IID_XmlDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// The expected document of the golden fixture as typed: "⇥" stands for a tab, and each line ends
// with CR LF except the last.
const wchar_t GOLDEN[] = LR"xml(<?xml version="1.0" encoding="UTF-8" ?>
<Settings>
<Page Caption="Parameters">
<Group Caption="Reader connection">
<Parameter Name="Port" Caption="Port" TypeValue="String" DefaultValue="COM3">
<ChoiceList>
<Item Value="Auto">Auto</Item>
<Item Value="">  =====  Found ports:  =====</Item>
<Item Value="COM1">COM1</Item>
<Item Value="COM3">COM3 (Gate &lt;1&gt;)</Item>
<Item Value="Desk Reader 0">Desk Reader 0</Item>
<Item Value="">  =====  Additional ports:  =====</Item>
<Item Value="COM20">COM20</Item>
<Item Value="127.0.0.1:4001">127.0.0.1:4001</Item>
</ChoiceList>
</Parameter>
<Parameter Name="Model" Caption="Model" TypeValue="Number" DefaultValue="2">
<ChoiceList>
<Item Value="0">Auto</Item>
⇥<Item Value="1">KD-6 A</Item>
⇥<Item Value="2">Orvel 3A</Item>
⇥<Item Value="3">KD-6 B</Item>
⇥<Item Value="4">Orvel 3B</Item>
⇥<Item Value="5">KD-6 H</Item>
⇥<Item Value="6">KD-6 C</Item>
⇥<Item Value="7">KD-6 D</Item>
⇥<Item Value="8">Orvel 7</Item>
⇥<Item Value="9">PX-2210</Item>
⇥<Item Value="10">KD-6 E</Item>
⇥<Item Value="11">KD-6 MQ-F</Item>
⇥<Item Value="12">KD-6 G</Item>
</ChoiceList>
</Parameter>
<Parameter Name="Speed" Caption="Speed" TypeValue="Number" DefaultValue="9600">
<ChoiceList>
<Item Value="0">Auto</Item>
<Item Value="9600">9600</Item>
<Item Value="19200">19200</Item>
<Item Value="38400">38400</Item>
<Item Value="57600">57600</Item>
<Item Value="115200">115200</Item>
<Item Value="230400">230400</Item>
</ChoiceList>
</Parameter>
<Parameter Name="Wiegand" Caption="Wiegand" TypeValue="Boolean" DefaultValue="true"/>
</Group>
<Group Caption="Key format">
<Parameter Name="ReaderFormatID" Caption="Format:" TypeValue="Number" DefaultValue="5">
<ChoiceList>
<Item Value="0">Auto</Item>
⇥<Item Value="1">Standard</Item>
⇥<Item Value="5">Wiegand &amp; 26</Item>
</ChoiceList>
</Parameter>
</Group>
<Group Caption="Device parameters">
<Parameter Name="Prefix" Caption="Prefix" TypeValue="Number" DefaultValue="-1">
<ChoiceList>
⇥<Item Value="-1">&lt;NONE&gt;</Item>
⇥<Item Value="0">0 (NUL)</Item>
⇥<Item Value="1">1 (SOH)</Item>
⇥<Item Value="2">2 (STX)</Item>
⇥<Item Value="3">3 (ETX)</Item>
⇥<Item Value="4">4 (EOT)</Item>
⇥<Item Value="5">5 (ENQ)</Item>
⇥<Item Value="6">6 (ACK)</Item>
⇥<Item Value="7">7 (BEL)</Item>
⇥<Item Value="8">8 (BS)</Item>
⇥<Item Value="9">9 (TAB)</Item>
⇥<Item Value="10">10 (LF)</Item>
⇥<Item Value="11">11 (VT)</Item>
⇥<Item Value="12">12 (FF)</Item>
⇥<Item Value="13">13 (CR)</Item>
⇥<Item Value="14">14 (SO)</Item>
⇥<Item Value="15">15 (SI)</Item>
⇥<Item Value="16">16 (DLE)</Item>
⇥<Item Value="17">17 (DC1)</Item>
⇥<Item Value="18">18 (DC2)</Item>
⇥<Item Value="19">19 (DC3)</Item>
⇥<Item Value="20">20 (DC4)</Item>
⇥<Item Value="21">21 (NAK)</Item>
⇥<Item Value="22">22 (SYN)</Item>
⇥<Item Value="23">23 (ETB)</Item>
⇥<Item Value="24">24 (CAN)</Item>
⇥<Item Value="25">25 (EM)</Item>
⇥<Item Value="26">26 (SUB)</Item>
⇥<Item Value="27">27 (ESC)</Item>
⇥<Item Value="28">28 (FS)</Item>
⇥<Item Value="29">29 (GS)</Item>
⇥<Item Value="30">30 (RS)</Item>
⇥<Item Value="31">31 (US)</Item>
⇥<Item Value="32">32 (SPACE)</Item>
⇥<Item Value="33">33 (&#x21;)</Item>
⇥<Item Value="34">34 (&#x22;)</Item>
⇥<Item Value="35">35 (&#x23;)</Item>
⇥<Item Value="36">36 (&#x24;)</Item>
⇥<Item Value="37">37 (&#x25;)</Item>
⇥<Item Value="38">38 (&#x26;)</Item>
⇥<Item Value="39">39 (&#x27;)</Item>
⇥<Item Value="40">40 (&#x28;)</Item>
⇥<Item Value="41">41 (&#x29;)</Item>
⇥<Item Value="42">42 (&#x2a;)</Item>
⇥<Item Value="43">43 (&#x2b;)</Item>
⇥<Item Value="44">44 (&#x2c;)</Item>
⇥<Item Value="45">45 (&#x2d;)</Item>
⇥<Item Value="46">46 (&#x2e;)</Item>
⇥<Item Value="47">47 (&#x2f;)</Item>
⇥<Item Value="48">48 (&#x30;)</Item>
⇥<Item Value="49">49 (&#x31;)</Item>
⇥<Item Value="50">50 (&#x32;)</Item>
⇥<Item Value="51">51 (&#x33;)</Item>
⇥<Item Value="52">52 (&#x34;)</Item>
⇥<Item Value="53">53 (&#x35;)</Item>
⇥<Item Value="54">54 (&#x36;)</Item>
⇥<Item Value="55">55 (&#x37;)</Item>
⇥<Item Value="56">56 (&#x38;)</Item>
⇥<Item Value="57">57 (&#x39;)</Item>
⇥<Item Value="58">58 (&#x3a;)</Item>
⇥<Item Value="59">59 (&#x3b;)</Item>
⇥<Item Value="60">60 (&#x3c;)</Item>
⇥<Item Value="61">61 (&#x3d;)</Item>
⇥<Item Value="62">62 (&#x3e;)</Item>
⇥<Item Value="63">63 (&#x3f;)</Item>
⇥<Item Value="64">64 (&#x40;)</Item>
⇥<Item Value="65">65 (&#x41;)</Item>
⇥<Item Value="66">66 (&#x42;)</Item>
⇥<Item Value="67">67 (&#x43;)</Item>
⇥<Item Value="68">68 (&#x44;)</Item>
⇥<Item Value="69">69 (&#x45;)</Item>
⇥<Item Value="70">70 (&#x46;)</Item>
⇥<Item Value="71">71 (&#x47;)</Item>
⇥<Item Value="72">72 (&#x48;)</Item>
⇥<Item Value="73">73 (&#x49;)</Item>
⇥<Item Value="74">74 (&#x4a;)</Item>
⇥<Item Value="75">75 (&#x4b;)</Item>
⇥<Item Value="76">76 (&#x4c;)</Item>
⇥<Item Value="77">77 (&#x4d;)</Item>
⇥<Item Value="78">78 (&#x4e;)</Item>
⇥<Item Value="79">79 (&#x4f;)</Item>
⇥<Item Value="80">80 (&#x50;)</Item>
⇥<Item Value="81">81 (&#x51;)</Item>
⇥<Item Value="82">82 (&#x52;)</Item>
⇥<Item Value="83">83 (&#x53;)</Item>
⇥<Item Value="84">84 (&#x54;)</Item>
⇥<Item Value="85">85 (&#x55;)</Item>
⇥<Item Value="86">86 (&#x56;)</Item>
⇥<Item Value="87">87 (&#x57;)</Item>
⇥<Item Value="88">88 (&#x58;)</Item>
⇥<Item Value="89">89 (&#x59;)</Item>
⇥<Item Value="90">90 (&#x5a;)</Item>
⇥<Item Value="91">91 (&#x5b;)</Item>
⇥<Item Value="92">92 (&#x5c;)</Item>
⇥<Item Value="93">93 (&#x5d;)</Item>
⇥<Item Value="94">94 (&#x5e;)</Item>
⇥<Item Value="95">95 (&#x5f;)</Item>
⇥<Item Value="96">96 (&#x60;)</Item>
⇥<Item Value="97">97 (&#x61;)</Item>
⇥<Item Value="98">98 (&#x62;)</Item>
⇥<Item Value="99">99 (&#x63;)</Item>
⇥<Item Value="100">100 (&#x64;)</Item>
⇥<Item Value="101">101 (&#x65;)</Item>
⇥<Item Value="102">102 (&#x66;)</Item>
⇥<Item Value="103">103 (&#x67;)</Item>
⇥<Item Value="104">104 (&#x68;)</Item>
⇥<Item Value="105">105 (&#x69;)</Item>
⇥<Item Value="106">106 (&#x6a;)</Item>
⇥<Item Value="107">107 (&#x6b;)</Item>
⇥<Item Value="108">108 (&#x6c;)</Item>
⇥<Item Value="109">109 (&#x6d;)</Item>
⇥<Item Value="110">110 (&#x6e;)</Item>
⇥<Item Value="111">111 (&#x6f;)</Item>
⇥<Item Value="112">112 (&#x70;)</Item>
⇥<Item Value="113">113 (&#x71;)</Item>
⇥<Item Value="114">114 (&#x72;)</Item>
⇥<Item Value="115">115 (&#x73;)</Item>
⇥<Item Value="116">116 (&#x74;)</Item>
⇥<Item Value="117">117 (&#x75;)</Item>
⇥<Item Value="118">118 (&#x76;)</Item>
⇥<Item Value="119">119 (&#x77;)</Item>
⇥<Item Value="120">120 (&#x78;)</Item>
⇥<Item Value="121">121 (&#x79;)</Item>
⇥<Item Value="122">122 (&#x7a;)</Item>
⇥<Item Value="123">123 (&#x7b;)</Item>
⇥<Item Value="124">124 (&#x7c;)</Item>
⇥<Item Value="125">125 (&#x7d;)</Item>
⇥<Item Value="126">126 (&#x7e;)</Item>
⇥<Item Value="127">127 (DEL)</Item>
</ChoiceList>
</Parameter>
<Parameter Name="Suffix" Caption="Suffix" TypeValue="Number" DefaultValue="13">
<ChoiceList>
⇥<Item Value="-1">&lt;NONE&gt;</Item>
⇥<Item Value="0">0 (NUL)</Item>
⇥<Item Value="1">1 (SOH)</Item>
⇥<Item Value="2">2 (STX)</Item>
⇥<Item Value="3">3 (ETX)</Item>
⇥<Item Value="4">4 (EOT)</Item>
⇥<Item Value="5">5 (ENQ)</Item>
⇥<Item Value="6">6 (ACK)</Item>
⇥<Item Value="7">7 (BEL)</Item>
⇥<Item Value="8">8 (BS)</Item>
⇥<Item Value="9">9 (TAB)</Item>
⇥<Item Value="10">10 (LF)</Item>
⇥<Item Value="11">11 (VT)</Item>
⇥<Item Value="12">12 (FF)</Item>
⇥<Item Value="13">13 (CR)</Item>
⇥<Item Value="14">14 (SO)</Item>
⇥<Item Value="15">15 (SI)</Item>
⇥<Item Value="16">16 (DLE)</Item>
⇥<Item Value="17">17 (DC1)</Item>
⇥<Item Value="18">18 (DC2)</Item>
⇥<Item Value="19">19 (DC3)</Item>
⇥<Item Value="20">20 (DC4)</Item>
⇥<Item Value="21">21 (NAK)</Item>
⇥<Item Value="22">22 (SYN)</Item>
⇥<Item Value="23">23 (ETB)</Item>
⇥<Item Value="24">24 (CAN)</Item>
⇥<Item Value="25">25 (EM)</Item>
⇥<Item Value="26">26 (SUB)</Item>
⇥<Item Value="27">27 (ESC)</Item>
⇥<Item Value="28">28 (FS)</Item>
⇥<Item Value="29">29 (GS)</Item>
⇥<Item Value="30">30 (RS)</Item>
⇥<Item Value="31">31 (US)</Item>
⇥<Item Value="32">32 (SPACE)</Item>
⇥<Item Value="33">33 (&#x21;)</Item>
⇥<Item Value="34">34 (&#x22;)</Item>
⇥<Item Value="35">35 (&#x23;)</Item>
⇥<Item Value="36">36 (&#x24;)</Item>
⇥<Item Value="37">37 (&#x25;)</Item>
⇥<Item Value="38">38 (&#x26;)</Item>
⇥<Item Value="39">39 (&#x27;)</Item>
⇥<Item Value="40">40 (&#x28;)</Item>
⇥<Item Value="41">41 (&#x29;)</Item>
⇥<Item Value="42">42 (&#x2a;)</Item>
⇥<Item Value="43">43 (&#x2b;)</Item>
⇥<Item Value="44">44 (&#x2c;)</Item>
⇥<Item Value="45">45 (&#x2d;)</Item>
⇥<Item Value="46">46 (&#x2e;)</Item>
⇥<Item Value="47">47 (&#x2f;)</Item>
⇥<Item Value="48">48 (&#x30;)</Item>
⇥<Item Value="49">49 (&#x31;)</Item>
⇥<Item Value="50">50 (&#x32;)</Item>
⇥<Item Value="51">51 (&#x33;)</Item>
⇥<Item Value="52">52 (&#x34;)</Item>
⇥<Item Value="53">53 (&#x35;)</Item>
⇥<Item Value="54">54 (&#x36;)</Item>
⇥<Item Value="55">55 (&#x37;)</Item>
⇥<Item Value="56">56 (&#x38;)</Item>
⇥<Item Value="57">57 (&#x39;)</Item>
⇥<Item Value="58">58 (&#x3a;)</Item>
⇥<Item Value="59">59 (&#x3b;)</Item>
⇥<Item Value="60">60 (&#x3c;)</Item>
⇥<Item Value="61">61 (&#x3d;)</Item>
⇥<Item Value="62">62 (&#x3e;)</Item>
⇥<Item Value="63">63 (&#x3f;)</Item>
⇥<Item Value="64">64 (&#x40;)</Item>
⇥<Item Value="65">65 (&#x41;)</Item>
⇥<Item Value="66">66 (&#x42;)</Item>
⇥<Item Value="67">67 (&#x43;)</Item>
⇥<Item Value="68">68 (&#x44;)</Item>
⇥<Item Value="69">69 (&#x45;)</Item>
⇥<Item Value="70">70 (&#x46;)</Item>
⇥<Item Value="71">71 (&#x47;)</Item>
⇥<Item Value="72">72 (&#x48;)</Item>
⇥<Item Value="73">73 (&#x49;)</Item>
⇥<Item Value="74">74 (&#x4a;)</Item>
⇥<Item Value="75">75 (&#x4b;)</Item>
⇥<Item Value="76">76 (&#x4c;)</Item>
⇥<Item Value="77">77 (&#x4d;)</Item>
⇥<Item Value="78">78 (&#x4e;)</Item>
⇥<Item Value="79">79 (&#x4f;)</Item>
⇥<Item Value="80">80 (&#x50;)</Item>
⇥<Item Value="81">81 (&#x51;)</Item>
⇥<Item Value="82">82 (&#x52;)</Item>
⇥<Item Value="83">83 (&#x53;)</Item>
⇥<Item Value="84">84 (&#x54;)</Item>
⇥<Item Value="85">85 (&#x55;)</Item>
⇥<Item Value="86">86 (&#x56;)</Item>
⇥<Item Value="87">87 (&#x57;)</Item>
⇥<Item Value="88">88 (&#x58;)</Item>
⇥<Item Value="89">89 (&#x59;)</Item>
⇥<Item Value="90">90 (&#x5a;)</Item>
⇥<Item Value="91">91 (&#x5b;)</Item>
⇥<Item Value="92">92 (&#x5c;)</Item>
⇥<Item Value="93">93 (&#x5d;)</Item>
⇥<Item Value="94">94 (&#x5e;)</Item>
⇥<Item Value="95">95 (&#x5f;)</Item>
⇥<Item Value="96">96 (&#x60;)</Item>
⇥<Item Value="97">97 (&#x61;)</Item>
⇥<Item Value="98">98 (&#x62;)</Item>
⇥<Item Value="99">99 (&#x63;)</Item>
⇥<Item Value="100">100 (&#x64;)</Item>
⇥<Item Value="101">101 (&#x65;)</Item>
⇥<Item Value="102">102 (&#x66;)</Item>
⇥<Item Value="103">103 (&#x67;)</Item>
⇥<Item Value="104">104 (&#x68;)</Item>
⇥<Item Value="105">105 (&#x69;)</Item>
⇥<Item Value="106">106 (&#x6a;)</Item>
⇥<Item Value="107">107 (&#x6b;)</Item>
⇥<Item Value="108">108 (&#x6c;)</Item>
⇥<Item Value="109">109 (&#x6d;)</Item>
⇥<Item Value="110">110 (&#x6e;)</Item>
⇥<Item Value="111">111 (&#x6f;)</Item>
⇥<Item Value="112">112 (&#x70;)</Item>
⇥<Item Value="113">113 (&#x71;)</Item>
⇥<Item Value="114">114 (&#x72;)</Item>
⇥<Item Value="115">115 (&#x73;)</Item>
⇥<Item Value="116">116 (&#x74;)</Item>
⇥<Item Value="117">117 (&#x75;)</Item>
⇥<Item Value="118">118 (&#x76;)</Item>
⇥<Item Value="119">119 (&#x77;)</Item>
⇥<Item Value="120">120 (&#x78;)</Item>
⇥<Item Value="121">121 (&#x79;)</Item>
⇥<Item Value="122">122 (&#x7a;)</Item>
⇥<Item Value="123">123 (&#x7b;)</Item>
⇥<Item Value="124">124 (&#x7c;)</Item>
⇥<Item Value="125">125 (&#x7d;)</Item>
⇥<Item Value="126">126 (&#x7e;)</Item>
⇥<Item Value="127">127 (DEL)</Item>
</ChoiceList>
</Parameter>
</Group>
</Page>
</Settings>)xml";

std::wstring ExpandGolden(const wchar_t* typed) {
  std::wstring out;
  for (const wchar_t* p = typed; *p; ++p) {
    if (*p == L'⇥') {
      out += L'\t';
    } else if (*p == L'\n') {
      out += L"\r\n";
    } else {
      out += *p;
    }
  }
  return out;
}

// The document as the system's XML parser sees it: the Port choice list, the page caption.
struct ParsedSettings {
  std::wstring Error;  // empty when the document is well-formed
  std::vector<std::wstring> PortValues;
  std::vector<std::wstring> PortLabels;
  std::wstring PageCaption;
  long ParameterCount = 0;
};

std::wstring NodeText(IXMLDOMNode* node) {
  BSTR text = nullptr;
  std::wstring out;
  if (node && node->get_text(&text) == S_OK && text) out.assign(text, SysStringLen(text));
  SysFreeString(text);
  return out;
}

ParsedSettings Parse(const std::wstring& document) {
  ParsedSettings parsed;
  CLSID clsid{};
  IXMLDOMDocument* xml = nullptr;
  if (FAILED(CLSIDFromProgID(L"Msxml2.DOMDocument.3.0", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_XmlDocument, (void**)&xml))) {
    parsed.Error = L"no XML parser";
    return parsed;
  }
  BSTR source = SysAllocStringLen(document.data(), UINT(document.size()));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  xml->put_preserveWhiteSpace(VARIANT_TRUE);  // the separators' labels begin with blanks
  xml->loadXML(source, &loaded);
  SysFreeString(source);
  if (loaded != VARIANT_TRUE) {
    parsed.Error = L"not well-formed";
    IXMLDOMParseError* error = nullptr;
    BSTR reason = nullptr;
    if (xml->get_parseError(&error) == S_OK && error && error->get_reason(&reason) == S_OK && reason) {
      parsed.Error += L": ";
      parsed.Error += reason;
    }
    SysFreeString(reason);
    if (error) error->Release();
    xml->Release();
    return parsed;
  }
  auto select = [&](const wchar_t* path, auto each) {
    BSTR query = SysAllocString(path);
    IXMLDOMNodeList* nodes = nullptr;
    if (xml->selectNodes(query, &nodes) == S_OK && nodes) {
      IXMLDOMNode* node = nullptr;
      while (nodes->nextNode(&node) == S_OK && node) {
        each(node);
        node->Release();
      }
      nodes->Release();
    }
    SysFreeString(query);
  };
  select(L"/Settings/Page/Group/Parameter[@Name='Port']/ChoiceList/Item", [&](IXMLDOMNode* item) {
    IXMLDOMNamedNodeMap* attributes = nullptr;
    IXMLDOMNode* value = nullptr;
    BSTR name = SysAllocString(L"Value");
    if (item->get_attributes(&attributes) == S_OK && attributes) attributes->getNamedItem(name, &value);
    parsed.PortValues.push_back(value ? NodeText(value) : L"(no value)");
    parsed.PortLabels.push_back(NodeText(item));
    SysFreeString(name);
    if (value) value->Release();
    if (attributes) attributes->Release();
  });
  select(L"/Settings/Page/@Caption", [&](IXMLDOMNode* caption) { parsed.PageCaption = NodeText(caption); });
  select(L"/Settings/Page/Group/Parameter", [&](IXMLDOMNode*) { ++parsed.ParameterCount; });
  xml->Release();
  return parsed;
}

class SettingsXmlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scard.Loaded()) << "the winscard.dll test double is not loaded";
    ASSERT_EQ(scard.Reset(), SCARD_S_SUCCESS);
    ASSERT_TRUE(addin.setMemManager(host.Memory()));
    addin.Host = static_cast<IAddInDefBase*>(&host);  // connected, without Init's registry reading
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  }
  void TearDown() override {
    CoUninitialize();
    EXPECT_EQ(host.OutstandingBlocks(), 0u) << "a block handed to the host was not freed";
    EXPECT_TRUE(host.Errors().empty());
  }

  std::wstring Document() {
    tVariant settings{};
    tVariant result{};
    EXPECT_TRUE(addin.CallAsFunc(addin.FindMethod(L"GetParameters"), &result, &settings, 1));
    EXPECT_EQ(result.vt, VTYPE_BOOL);
    EXPECT_TRUE(result.bVal);
    EXPECT_EQ(settings.vt, VTYPE_PWSTR);
    std::wstring text = CFakeHost::Text(settings);
    if (settings.vt == VTYPE_PWSTR) {
      EXPECT_EQ(settings.pwstrVal[settings.wstrLen], L'\0');
    }
    host.FreeVariant(settings);
    return text;
  }

  CFakeDevices devices;
  CWinscardDouble scard;
  CFakeHost host;
  CVombra addin{L"VombraExtension"};
};

TEST_F(SettingsXmlTest, GoldenDocument) {
  ScopedThreadLanguage language(kEnglish);
  devices.AddSerialComm(L"\\Device\\Serial0", L"com3");
  devices.AddSerialComm(L"\\Device\\Serial1", L"COM1");
  ASSERT_EQ(scard.PlugReader(L"Desk Reader 0"), SCARD_S_SUCCESS);
  addin.SearchFlags = 0x2E;
  addin.Ports[L"COM3"] = {L"COM3", L"Gate <1>"};
  addin.Ports[L"COM1"] = {L"COM1", L""};  // an empty device ID changes nothing
  addin.AdditionalPorts = {L"COM20", L"127.0.0.1:4001"};
  _FORMAT_INFO standard;
  standard.Id = 1;
  standard.Name = L"Standard";
  _FORMAT_INFO wiegand;
  wiegand.Id = 5;
  wiegand.Name = L"Wiegand & 26";
  addin.Formats = {standard, wiegand};
  addin.SavedParams.Port = L"COM3";
  addin.SavedParams.Model = 2;
  addin.SavedParams.Speed = 9600;
  addin.SavedParams.Flags = RDF_WIEGAND | RDF_BINARY;
  addin.SavedParams.FormatId = 5;
  addin.SavedParams.Prefix = 0xFFFFFFFF;
  addin.SavedParams.Suffix = 13;
  // The live copy is not what the document shows.
  addin.LiveParams.Port = L"COM9";
  addin.LiveParams.Model = 7;

  const std::wstring document = Document();
  EXPECT_EQ(document, ExpandGolden(GOLDEN));
  EXPECT_EQ(Parse(document).Error, L"");
}

// No serial port, no PC/SC reader and no additional ports: the list falls back to COM1..COM64.
TEST_F(SettingsXmlTest, FallbackPortsDocumentIsWellFormedInBothLanguages) {
  devices.RemoveSerialCommKey();
  std::vector<std::wstring> values = {L"Auto", L""};
  for (int n = 1; n <= 64; ++n) values.push_back(L"COM" + std::to_wstring(n));

  struct Case {
    LANGID language;
    const wchar_t* autoLabel;
    const wchar_t* separator;
    const wchar_t* page;
  } cases[] = {
      {kEnglish, L"Auto", L"  =====  Additional ports:  =====", L"Parameters"},
      {kRussian, L"Авто", L"  =====  Дополнительные порты:  =====", L"Параметры"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    ScopedThreadLanguage language(c.language);
    ParsedSettings parsed = Parse(Document());
    ASSERT_EQ(parsed.Error, L"");
    EXPECT_EQ(parsed.PortValues, values);
    std::vector<std::wstring> labels = values;
    labels[0] = c.autoLabel;
    labels[1] = c.separator;
    EXPECT_EQ(parsed.PortLabels, labels);
    EXPECT_EQ(parsed.PageCaption, c.page);
    EXPECT_EQ(parsed.ParameterCount, 7);  // Port, Model, Speed, Wiegand, ReaderFormatID, Prefix, Suffix
  }
}

// Stored names reach the document as they are; a character XML cannot hold must not cost the host
// its whole settings form, and tab and line breaks must come back as they were.
TEST_F(SettingsXmlTest, NamesWithCharactersXmlCannotHoldStayWellFormed) {
  ScopedThreadLanguage language(kEnglish);
  devices.RemoveSerialCommKey();
  addin.AdditionalPorts = {L"COM\x01" L"5", L"A\tB\r\nC", std::wstring(L"X") + wchar_t(0xD800) + L"Y"};
  _FORMAT_INFO format;
  format.Id = 3;
  format.Name = L"Gate\x1b[2J";
  addin.Formats = {format};
  addin.SavedParams.Port = L"COM\x02";

  const ParsedSettings parsed = Parse(Document());
  ASSERT_EQ(parsed.Error, L"");
  const std::vector<std::wstring> values = {L"Auto", L"", L"COM\xFFFD" L"5", L"A\tB\r\nC", L"X\xFFFDY"};
  EXPECT_EQ(parsed.PortValues, values);
}

TEST_F(SettingsXmlTest, PortListSources) {
  struct Case {
    const char* name;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> devicePorts;  // instance ID, port name
    std::vector<const wchar_t*> serialComm;
    const wchar_t* ccidReader;
    UINT searchFlags;
    std::vector<std::wstring> found;  // the items between the two separators
  } cases[] = {
      // The device class wins over the serial-port map; names as stored, sorted by code units.
      {"devices", {{L"ACPI\\PNP0501\\1", L"COM7"}, {L"ACPI\\PNP0501\\2", L"com2"}}, {L"COM1"}, nullptr, 0x2E,
       {L"COM7", L"com2"}},
      {"serial map", {}, {L"com5", L"COM1", L"COM10"}, nullptr, 0x2E, {L"COM1", L"COM10", L"COM5"}},
      {"PC/SC", {}, {}, L"Desk Reader 0", 0x2E, {L"Desk Reader 0"}},
      {"PC/SC not searched", {}, {}, L"Desk Reader 0", 0x0E, {}},
      {"all", {{L"ACPI\\PNP0501\\1", L"COM4"}}, {}, L"Acme 1", 0x20, {L"Acme 1", L"COM4"}},
  };
  ScopedThreadLanguage language(kEnglish);
  addin.AdditionalPorts = {L"COM30"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFakeDevices scenario;
    for (const auto& device : c.devicePorts) {
      scenario.AddPort(device.first, device.second);
    }
    int index = 0;
    for (const wchar_t* port : c.serialComm) {
      scenario.AddSerialComm((L"\\Device\\Serial" + std::to_wstring(index++)).c_str(), port);
    }
    if (c.ccidReader) {
      ASSERT_EQ(scard.PlugReader(c.ccidReader), SCARD_S_SUCCESS);
    }
    addin.SearchFlags = c.searchFlags;

    ParsedSettings parsed = Parse(Document());
    // Unplugged rather than reset: a reset would take the context the add-in keeps.
    if (c.ccidReader) {
      EXPECT_EQ(scard.UnplugReader(c.ccidReader), SCARD_S_SUCCESS);
    }
    ASSERT_EQ(parsed.Error, L"");
    std::vector<std::wstring> expected = {L"Auto"};
    if (!c.found.empty()) {
      expected.push_back(L"");
      expected.insert(expected.end(), c.found.begin(), c.found.end());
    }
    expected.push_back(L"");
    expected.push_back(L"COM30");
    EXPECT_EQ(parsed.PortValues, expected);
  }
}

// The port listing's log lines, as they stand after their time stamp.
TEST_F(SettingsXmlTest, PortListingIsLogged) {
  struct Case {
    const char* name;
    UINT logLevel;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> devicePorts;  // instance ID, port name or null
    std::vector<std::string> lines;  // each line after its stamp, in order; the system's text left out
  } cases[] = {
      {"devices", 5, {{L"ACPI\\PNP0501\\1", L"COM7"}, {L"ACPI\\PNP0501\\2", L"COM8"}},
       {"[I00033] Found COM ports: 2."}},
      {"serial map after no devices", 5, {}, {"[I00033] Found COM ports: 0.", "[I00033] Found COM ports: 1."}},
      {"below the level", 4, {{L"ACPI\\PNP0501\\1", L"COM7"}}, {}},
      {"a device without a port name", 2, {{L"ACPI\\PNP0501\\1", L"COM7"}, {L"ACPI\\PNP0501\\2", nullptr}},
       {"[E00032] Failed to get the list of COM ports (code 0x80070002): "}},
  };
  ScopedThreadLanguage language(kEnglish);
  addin.SearchFlags = SF_DEFAULT & ~SF_CCID;  // no PC/SC reader in the list
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CFakeDevices scenario;
    scenario.AddSerialComm(L"\\Device\\Serial0", L"COM1");
    for (const auto& device : c.devicePorts) {
      scenario.AddPort(device.first, device.second);
    }
    const std::wstring folder = std::wstring(temp) + L"VombraSettingsXmlLog-" + std::to_wstring(GetCurrentProcessId());
    g_logFolder = folder;
    addin.LogPath.clear();
    addin.LogLevel = c.logLevel;
    Document();
    addin.LogLevel = 0;
    g_logFolder.clear();

    std::string log;
    const std::wstring file = folder + L"\\Vombra.log";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) log.append(buffer, got);
      CloseHandle(handle);
    }
    DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());

    // The lines of the port listing after their 13-character time stamp; a failure's system text
    // is left out (the two systems word it differently).
    std::vector<std::string> found;
    size_t begin = 0;
    while (begin < log.size()) {
      size_t stop = log.find('\n', begin);
      if (stop == std::string::npos) stop = log.size();
      std::string line = log.substr(begin, stop - begin);
      begin = stop + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      line = line.size() > 13 ? line.substr(13) : std::string();
      if (line.compare(0, 8, "[I00033]") == 0) found.push_back(line);
      if (line.compare(0, 8, "[E00032]") == 0) found.push_back(line.substr(0, line.find("): ") + 3));
    }
    EXPECT_EQ(found, c.lines) << log;
  }
}

TEST_F(SettingsXmlTest, RefusedWithoutAnOutputParameter) {
  tVariant result{};
  EXPECT_FALSE(addin.CallAsFunc(addin.FindMethod(L"ПолучитьПараметры"), &result, nullptr, 0));
  EXPECT_EQ(addin.LastError, E_INVALIDARG);
  EXPECT_TRUE(addin.LastErrorText.empty());
  EXPECT_EQ(host.AllocatedBlocks(), 0u);
}

}  // namespace
