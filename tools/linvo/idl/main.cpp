// linvo-idl: prints the interface definition of the control's type library from the member table
// and the class table, or (--manifest) the manifest that lets programs use linvo.dll without
// registration, or (--strings) the string resources of the classes' type names, or (--wxs) the
// Windows installer's registry entries that register the control.
// module/win/linvo.idl, linvo.manifest, linvo_strings.rc and packaging/linvo_registry.wxi are its
// output (widl compiles the IDL into the TYPELIB resource of linvo.dll; the manifest is copied
// beside the DLL; the resource script includes the strings; packaging/linvo.wxs includes the
// registry entries); tests check that they agree.
//
// Help strings are written in code page 932 (Shift_JIS): widl copies a string's bytes into the
// type library unchanged, and a host decodes them in its ANSI code page, so the help texts (which
// hold Japanese) read back exactly on a host whose ANSI code page is 932.
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "control/member_table.h"
#include "linvo/version.h"
#include "module/class_table.h"

namespace {

using namespace linvo;

// The code page of the type library's strings, as iconv names it (Windows' 932: '\' and '~'
// stay ASCII, unlike in SHIFT_JIS).
constexpr const char* kStringCodePage = "CP932";

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using Converter = std::unique_ptr<void, IconvCloser>;

Converter OpenConverter() {
  iconv_t cd = iconv_open(kStringCodePage, "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error(std::string("the C library has no converter to ") + kStringCodePage);
  }
  return Converter(cd);
}

// The UTF-8 text in the type library's code page; what names it says where it comes from.
std::string ToCodePage(std::string_view text, const std::string& what) {
  static const Converter converter = OpenConverter();
  iconv_t cd = static_cast<iconv_t>(converter.get());
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 2 + 4, '\0');  // no character grows in code page 932
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* outPtr = out.data();
  std::size_t outLeft = out.size();
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
    throw std::runtime_error(
        what + ": " +
        (errno == EILSEQ ? "a character that code page 932 lacks" : "text that is not UTF-8") +
        " at byte " + std::to_string(text.size() - inLeft));
  }
  out.resize(out.size() - outLeft);
  return out;
}

// A string literal of widl's: the text in the type library's code page, with '\' and '"'
// escaped. widl reads the literal byte by byte and turns "\\" and "\"" back into one byte, so a
// Shift_JIS trail byte 0x5C is escaped like any other backslash.
std::string Literal(std::string_view text, const std::string& what) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) throw std::runtime_error(what + ": a control character");
  }
  std::string literal = "\"";
  for (char c : ToCodePage(text, what)) {
    if (c == '\\' || c == '"') literal += '\\';
    literal += c;
  }
  return literal + "\"";
}

// uuid(4437D2F7-...) from "{4437D2F7-...}".
std::string UuidAttribute(std::string_view guid) {
  if (guid.size() != 38 || guid.front() != '{' || guid.back() != '}') {
    throw std::runtime_error("not a braced GUID: " + std::string(guid));
  }
  return "uuid(" + std::string(guid.substr(1, 36)) + ")";
}

std::string HelpAttribute(std::string_view help, const std::string& what) {
  return "helpstring(" + Literal(help, what) + ")";
}

// An attribute list, one attribute a line, at the indentation.
std::string Attributes(const std::string& indent, std::initializer_list<std::string> attributes) {
  std::string text = indent + "[";
  const char* separator = "\n";
  for (const std::string& a : attributes) {
    text += separator + indent + "  " + a;
    separator = ",\n";
  }
  return text + "\n" + indent + "]\n";
}

const char* IdlType(control::VarType type) {
  switch (type) {
    case control::VarType::kLong:
      return "long";
    case control::VarType::kBool:
      return "VARIANT_BOOL";
    case control::VarType::kText:
      return "BSTR";
    default:
      return "void";
  }
}

// A function of a dispinterface: its DISPID, kind (a method, or a property's get or put) and
// help, then its declaration.
std::string Method(int32_t dispid, const char* help, const char* name, control::VarType result,
                   std::span<const control::ParamInfo> params, const char* kind = nullptr) {
  std::string list;
  for (const control::ParamInfo& p : params) {
    list += (list.empty() ? "" : ", ") + std::string(IdlType(p.type)) + " " + p.name;
  }
  return "    [id(" + std::to_string(dispid) + "), " + (kind ? std::string(kind) + ", " : "") +
         HelpAttribute(help, name) + "]\n    " + IdlType(result) + " " + name + "(" + list +
         ");\n";
}

// A property as the pair of functions that read and write it, so that it carries its help
// string (widl takes none on a dispinterface's property variable).
std::string Property(const control::MemberInfo& m) {
  const control::ParamInfo value{"newValue", m.type};
  return Method(m.dispid, m.help, m.name, m.type, {}, "propget") +
         Method(m.dispid, m.help, m.name, control::VarType::kVoid, {&value, 1}, "propput");
}

// The file's head after its first words ("// LINVOLib 1.0").
constexpr const char* kHead = R"(: the type library of linvo.dll (its TYPELIB resource 1).
// Generated by linvo-idl (tools/linvo/idl) from the control's member table and the class
// table; do not edit. Help strings are in code page 932 (Shift_JIS), the bytes a host
// decodes in its ANSI code page. Each property is a propget and propput pair with its help.

import "oaidl.idl";

)";

const module::ClassEntry& ClassWithTypeInfo() {
  for (const module::ClassEntry& c : module::Classes()) {
    if (c.typeInfo != nullptr) return c;
  }
  throw std::runtime_error("no class in the class table has type information");
}

// "1.0": the type library's version as the IDL, the registry and manifests write it.
std::string LibraryVersion(const control::TypeLibraryInfo& lib) {
  return std::to_string(lib.versionMajor) + "." + std::to_string(lib.versionMinor);
}

std::string Idl() {
  const module::ClassEntry& cls = ClassWithTypeInfo();
  const module::TypeInformation& types = *cls.typeInfo;
  const control::TypeLibraryInfo& lib = types.library();
  const std::string version = LibraryVersion(lib);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "0x%x", static_cast<unsigned>(lib.lcid));

  std::string idl = "// " + std::string(lib.libraryName) + " " + version + kHead;
  idl += Attributes(
      "", {UuidAttribute(types.libraryGuid), "version(" + version + ")",
           std::string("lcid(") + lcid + ")", HelpAttribute(lib.libraryHelp, lib.libraryName)});
  idl += std::string("library ") + lib.libraryName + "\n{\n  importlib(\"stdole2.tlb\");\n\n";

  idl += Attributes("  ", {UuidAttribute(types.dispatchGuid),
                           HelpAttribute(lib.dispatchHelp, lib.dispatchName), "hidden"});
  idl += std::string("  dispinterface ") + lib.dispatchName + "\n  {\n  properties:\n\n  methods:\n";
  for (const control::MemberInfo& m : types.members()) {
    idl += m.kind == control::MemberKind::kProperty
               ? Property(m)
               : Method(m.dispid, m.help, m.name, m.type, m.Params());
  }
  idl += "  };\n\n";

  idl += Attributes(
      "  ", {UuidAttribute(types.eventsGuid), HelpAttribute(lib.eventsHelp, lib.eventsName)});
  idl += std::string("  dispinterface ") + lib.eventsName + "\n  {\n  properties:\n\n  methods:\n";
  for (const control::EventInfo& e : types.events()) {
    const control::ParamInfo argument{e.argumentName, control::VarType::kLong};
    idl += Method(e.dispid, e.help, e.name, control::VarType::kVoid, {&argument, 1});
  }
  idl += "  };\n\n";

  idl += Attributes(
      "  ", {UuidAttribute(cls.clsid), HelpAttribute(lib.classHelp, lib.className), "control"});
  idl += std::string("  coclass ") + lib.className + "\n  {\n    [default] dispinterface " +
         lib.dispatchName + ";\n    [default, source] dispinterface " + lib.eventsName +
         ";\n  };\n};\n";
  return idl;
}

// The names a manifest's miscStatus gives the OLEMISC bits, lowest bit first.
constexpr const char* kMiscStatusNames[] = {
    "recomposeonresize",  "onlyiconic",       "insertnotreplace",
    "static",             "cantlinkinside",   "canlinkbyole1",
    "islinkobject",       "insideout",        "activatewhenvisible",
    "renderingisdeviceindependent", "invisibleatruntime", "alwaysrun",
    "actslikebutton",     "actslikelabel",    "nouiactivate",
    "alignable",          "simpleframe",      "setclientsitefirst",
    "imemode",            "ignoreactivatewhenvisible", "wantstomenumerge",
    "supportsmultilevelundo"};

std::string MiscStatus(uint32_t bits) {
  std::string names;
  for (std::size_t bit = 0; bit < std::size(kMiscStatusNames); ++bit) {
    if (bits & (1u << bit)) names += (names.empty() ? "" : ",") + std::string(kMiscStatusNames[bit]);
  }
  if (bits >> std::size(kMiscStatusNames)) throw std::runtime_error("an unknown OLEMISC bit");
  return names;
}

// A text as an XML attribute's value.
std::string Xml(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// The assembly manifest that lets a program use linvo.dll without registration: the control
// class, its type library and its two interfaces, marshalled by the dispatch marshaller.
std::string Manifest() {
  const module::ClassEntry& cls = ClassWithTypeInfo();
  const module::TypeInformation& types = *cls.typeInfo;
  const control::TypeLibraryInfo& lib = types.library();
  const std::string version = LibraryVersion(lib);
  const std::string tlbid = std::string("tlbid=\"") + types.libraryGuid + "\"";
  const std::string assembly = std::to_string(LINVO_VERSION_MAJOR) + "." +
                               std::to_string(LINVO_VERSION_MINOR) + "." +
                               std::to_string(LINVO_VERSION_PATCH) + "." +
                               std::to_string(LINVO_VERSION_TWEAK);
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
      "<!-- linvo.dll without registration: this file and linvo.dll in a program's folder, and the\n"
      "     assembly \"linvo\" named in the program's manifest. Generated by linvo-idl --manifest\n"
      "     from the class table; do not edit. -->\n"
      "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
      "  <assemblyIdentity type=\"win32\" name=\"linvo\" version=\"" + assembly + "\"/>\n"
      "  <file name=\"linvo.dll\">\n"
      "    <comClass clsid=\"" + std::string(cls.clsid) + "\" progid=\"" + Xml(cls.progId) +
      "\"\n              threadingModel=\"" + cls.threadingModel + "\" " + tlbid +
      "\n              description=\"" + Xml(cls.typeName) + "\"\n              miscStatus=\"" +
      MiscStatus(cls.miscStatus) + "\"/>\n";
  // The other classes the module serves (the property page), known by CLSID only.
  for (const module::ClassEntry& other : module::Classes()) {
    if (&other == &cls || *other.threadingModel == '\0') continue;
    xml += std::string("    <comClass clsid=\"") + other.clsid + "\" threadingModel=\"" +
           other.threadingModel + "\"\n              description=\"" + Xml(other.typeName) +
           "\"/>\n";
  }
  xml += "    <typelib " + tlbid + " version=\"" + version + "\" helpdir=\"\"/>\n"
         "  </file>\n";
  for (const auto& [name, iid] : {std::pair{lib.dispatchName, types.dispatchGuid},
                                  std::pair{lib.eventsName, types.eventsGuid}}) {
    xml += std::string("  <comInterfaceExternalProxyStub name=\"") + name + "\" iid=\"" + iid +
           "\"\n      proxyStubClsid32=\"{00020420-0000-0000-C000-000000000046}\" " + tlbid +
           "/>\n";
  }
  return xml + "</assembly>\n";
}

// The control's registration for the whole machine as Windows Installer registry entries, for
// packaging/linvo.wxs: what DllRegisterServer writes (module/win/com_registration.cpp), the type
// library's keys as the system's RegisterTypeLib writes them included, so that the installer
// registers, repairs and removes the control without running its code. linvo.wxs includes it in
// the installation folder's Directory element and defines the variables it uses: Win64 ("yes" or
// "no"), DllPath (the DLL's full path), DllFolder (its folder, no closing backslash) and
// TypeLibPlatform ("win64" or "win32"). The type library's title is its help text as Unicode: what
// DllRegisterServer writes where the ANSI code page is 932 (the help is in code page 932). The
// 64-bit system registers the type library and its interfaces for 32-bit processes as well; a
// 32-bit component of the 64-bit installer writes that copy.
std::string Wxs() {
  const module::ClassEntry& cls = ClassWithTypeInfo();
  const module::TypeInformation& types = *cls.typeInfo;
  const control::TypeLibraryInfo& lib = types.library();
  const std::string version = LibraryVersion(lib);
  char lcid[16];
  std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(lib.lcid));
  constexpr const char* kAutomationProxy = "{00020420-0000-0000-C000-000000000046}";

  // A text value (name empty: the key's default value) under HKLM\Software\Classes.
  const auto value = [](std::string* rows, const std::string& key, const std::string& name,
                        const std::string& text, bool keyPath = false) {
    *rows += "    <RegistryValue Root=\"HKLM\" Key=\"Software\\Classes\\" + Xml(key) + "\"" +
             (name.empty() ? "" : " Name=\"" + Xml(name) + "\"") + " Type=\"string\" Value=\"" +
             Xml(text) + "\"" + (keyPath ? " KeyPath=\"yes\"" : "") + "/>\n";
  };
  // A key without values: "*" creates it on install and removes it on uninstall.
  const auto key = [&value](std::string* rows, const std::string& path) {
    value(rows, path, "*", "");
  };

  // The type library and its interfaces, as RegisterTypeLib writes them (its FLAGS without
  // LIBFLAG_FHASDISKIMAGE; the IDL sets no other flag).
  const auto typeLibrary = [&](bool keyPath) {
    std::string rows;
    const std::string libKey = std::string("TypeLib\\") + types.libraryGuid + "\\" + version;
    value(&rows, libKey, "", *lib.libraryHelp != '\0' ? lib.libraryHelp : lib.libraryName, keyPath);
    value(&rows, libKey + "\\FLAGS", "", "0");
    value(&rows, libKey + "\\HELPDIR", "", "$(var.DllFolder)");
    value(&rows, libKey + "\\" + lcid + "\\$(var.TypeLibPlatform)", "", "$(var.DllPath)");
    value(&rows, libKey + "\\0\\$(var.TypeLibPlatform)", "", "$(var.DllPath)");
    for (const auto& [name, iid] : {std::pair{lib.dispatchName, types.dispatchGuid},
                                    std::pair{lib.eventsName, types.eventsGuid}}) {
      const std::string interfaceKey = std::string("Interface\\") + iid;
      value(&rows, interfaceKey, "", name);
      value(&rows, interfaceKey + "\\ProxyStubClsid", "", kAutomationProxy);
      value(&rows, interfaceKey + "\\ProxyStubClsid32", "", kAutomationProxy);
      value(&rows, interfaceKey + "\\TypeLib", "", types.libraryGuid);
      value(&rows, interfaceKey + "\\TypeLib", "Version", version);
    }
    return rows;
  };

  std::string server = typeLibrary(false);  // removed on uninstall
  std::string categories;                   // shared with other controls: left in place
  for (const module::ClassEntry& c : module::Classes()) {
    const std::string classKey = std::string("CLSID\\") + c.clsid;
    value(&server, classKey, "", c.typeName);
    if (*c.threadingModel != '\0') {
      value(&server, classKey + "\\InprocServer32", "", "$(var.DllPath)", &c == &cls);
      value(&server, classKey + "\\InprocServer32", "ThreadingModel", c.threadingModel);
    }
    if (c.typeInfo != nullptr) {
      const std::string misc = std::to_string(c.miscStatus);
      value(&server, classKey + "\\ProgID", "", c.progId);
      key(&server, classKey + "\\Control");
      value(&server, classKey + "\\MiscStatus", "", misc);
      value(&server, classKey + "\\MiscStatus\\1", "", misc);  // DVASPECT_CONTENT
      value(&server, classKey + "\\ToolboxBitmap32", "", "$(var.DllPath), 1");
      value(&server, classKey + "\\TypeLib", "", c.typeInfo->libraryGuid);
      value(&server, classKey + "\\Version", "", version);
      value(&server, c.progId, "", c.typeName);
      value(&server, std::string(c.progId) + "\\CLSID", "", c.clsid);
    }
    for (const module::CategoryEntry& category : c.categories) {
      char categoryLcid[16];
      std::snprintf(categoryLcid, sizeof categoryLcid, "%x", static_cast<unsigned>(category.lcid));
      value(&categories, std::string("Component Categories\\") + category.catid, categoryLcid,
            category.description, categories.empty());
      key(&server, classKey + "\\Implemented Categories\\" + category.catid);
    }
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<!-- The control's registration for the machine, as DllRegisterServer writes it, for\n"
         "     linvo.wxs. Generated by linvo-idl (its wxs option) from the class table and the\n"
         "     member table; do not edit. -->\n"
         "<Include>\n"
         "  <Component Id=\"Registration\" Guid=\"*\" Win64=\"$(var.Win64)\">\n" +
         server +
         "  </Component>\n"
         "  <?if $(var.Win64) = \"yes\"?>\n"
         "  <Component Id=\"RegistrationFor32Bit\" Guid=\"*\" Win64=\"no\">\n" +
         typeLibrary(true) +
         "  </Component>\n"
         "  <?endif?>\n"
         "  <!-- The component categories are shared with other controls: installed without a\n"
         "       component code, so never removed, as DllUnregisterServer leaves them. -->\n"
         "  <Component Id=\"ComponentCategories\" Guid=\"\" Win64=\"$(var.Win64)\">\n" +
         categories +
         "  </Component>\n"
         "</Include>\n";
}

// String resources 1, 2, ...: the type names of the classes in the class table's order.
std::string Strings() {
  std::string rc =
      "// String resources of linvo.dll: the type names of its classes (1 the control, 2 its\n"
      "// property page). Generated by linvo-idl --strings from the class table; do not edit.\n"
      "STRINGTABLE\nBEGIN\n";
  int id = 1;
  for (const module::ClassEntry& c : module::Classes()) {
    rc += "  " + std::to_string(id++) + " " + Literal(c.typeName, c.progId) + "\n";
  }
  return rc + "END\n";
}

}  // namespace

// linvo-idl prints the IDL; --manifest the registration-free manifest; --strings the string
// resources; --wxs the installer's registry entries.
int main(int argc, char** argv) {
  try {
    const std::string_view what = argc > 1 ? argv[1] : "";
    if (argc > 2 ||
        (argc == 2 && what != "--manifest" && what != "--strings" && what != "--wxs")) {
      std::fprintf(stderr, "usage: linvo-idl [--manifest | --strings | --wxs]\n");
      return 2;
    }
    const std::string idl = what == "--manifest" ? Manifest()
                            : what == "--strings" ? Strings()
                            : what == "--wxs"     ? Wxs()
                                                  : Idl();
    std::fwrite(idl.data(), 1, idl.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "linvo-idl: %s\n", e.what());
    return 1;
  }
}
