#include "metabase/metabase_generator.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "platform/files/utf8_path.h"

namespace tarnwell::standin {

namespace {

constexpr const char* kNl = "\r\n";  // IIS 6 writes CR LF

const char* const kIisScriptMaps[] = {
    ".asp,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE",
    ".cer,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE",
    ".cdx,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE",
    ".asa,C:\\WINDOWS\\system32\\inetsrv\\asp.dll,5,GET,HEAD,POST,TRACE",
    ".idc,C:\\WINDOWS\\system32\\inetsrv\\httpodbc.dll,5,GET,POST",
    ".shtm,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST",
    ".shtml,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST",
    ".stm,C:\\WINDOWS\\system32\\inetsrv\\ssinc.dll,5,GET,POST",
    ".printer,C:\\WINDOWS\\system32\\msw3prt.dll,1,GET,POST",
};

// Extensions ASP.NET 1.1 maps; 2.0 adds kAspNet20Extra. 1 = served, 5 = checked then refused.
struct AspNetExt {
  const char* ext;
  int flags;
};
const AspNetExt kAspNet11[] = {
    {".asax", 5}, {".ascx", 5}, {".ashx", 1}, {".asmx", 1}, {".aspx", 1},     {".axd", 1},
    {".vsdisco", 1}, {".rem", 1}, {".soap", 1}, {".config", 5}, {".cs", 5}, {".csproj", 5},
    {".vb", 5}, {".vbproj", 5}, {".webinfo", 5}, {".licx", 5}, {".resx", 5}, {".resources", 5},
};
const AspNetExt kAspNet20Extra[] = {
    {".java", 5}, {".jsl", 5}, {".vjsproj", 5}, {".master", 5}, {".skin", 5}, {".compiled", 5},
    {".browser", 5}, {".mdb", 5}, {".ldb", 5}, {".sitemap", 5}, {".msgx", 1}, {".ad", 5},
    {".dd", 5}, {".ldd", 5}, {".sd", 5}, {".cd", 5}, {".adprototype", 5}, {".lddprototype", 5},
    {".sdm", 5}, {".sdmDocument", 5}, {".mdf", 5}, {".ldf", 5}, {".exclude", 5}, {".refresh", 5},
};

void Attr(std::string& out, const char* name, const std::string& value) {
  out.append(kNl).append("\t\t").append(name).append("=\"").append(value).append("\"");
}

void MultiAttr(std::string& out, const char* name, const std::vector<std::string>& values) {
  out.append(kNl).append("\t\t").append(name).append("=\"");
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out.append(kNl).append("\t\t\t");
    out.append(values[i]);
  }
  out.append("\"");
}

void Open(std::string& out, const char* cls, const std::string& location) {
  out.append("<").append(cls).append("\tLocation =\"").append(location).append("\"");
}

void Close(std::string& out, const char* cls) {
  out.append(kNl).append("\t>").append(kNl).append("</").append(cls).append(">").append(kNl);
}

std::string Num(const char* format, int value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

}  // namespace

std::vector<std::string> AspNetScriptMaps(const std::string& version) {
  std::vector<std::string> maps(std::begin(kIisScriptMaps), std::end(kIisScriptMaps));
  const std::string dll = "C:\\WINDOWS\\Microsoft.NET\\Framework\\v" + version + "\\aspnet_isapi.dll";
  const auto add = [&](const AspNetExt& e) {
    maps.push_back(std::string(e.ext) + "," + dll + "," + std::to_string(e.flags) + ",GET,HEAD,POST,DEBUG");
  };
  for (const auto& e : kAspNet11) add(e);
  if (!version.starts_with("1.")) {
    for (const auto& e : kAspNet20Extra) add(e);
  }
  return maps;
}

std::string GeneratedPoolName(int index) { return index == 0 ? "DefaultAppPool" : Num("AppPool%04d", index); }

std::string GenerateMetabase(int sites, int pools, int appsPerPool) {
  // A few million applications is already a file of gigabytes.
  if (sites < 1 || pools < 1 || appsPerPool < 0 || static_cast<long long>(pools) * appsPerPool > 5'000'000) {
    throw std::invalid_argument("GenerateMetabase: at least one site and one pool, and at most 5000000 applications");
  }
  const int apps = pools * appsPerPool;
  std::string out;
  out.reserve(static_cast<std::size_t>(apps) * 700 + static_cast<std::size_t>(pools) * 300 + 16384);

  out.append("<?xml version =\"1.0\"?>").append(kNl);
  out.append("<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">").append(kNl);
  out.append("<MBProperty>").append(kNl);
  Open(out, "IIs_Global", ".");
  Attr(out, "BinaryMetabaseMajorVersion", "1");
  Attr(out, "BinaryMetabaseMinorVersion", "0");
  Attr(out, "ChangeNumber", "4711");
  Attr(out, "HistoryMajorVersionNumber", "12");
  Attr(out, "XMLSchemaTimeStamp", "bcb2c7b4fd3dc601");
  Close(out, "IIs_Global");
  Open(out, "IIsComputer", "/LM");
  Attr(out, "EnableEditWhileRunning", "1");
  Attr(out, "EnableHistory", "1");
  Attr(out, "MaxBandwidth", "4294967295");
  Attr(out, "MaxHistoryFiles", "10");
  Close(out, "IIsComputer");

  Open(out, "IIsWebService", "/LM/W3SVC");
  Attr(out, "AppAllowClientDebug", "FALSE");
  Attr(out, "AppPoolId", "DefaultAppPool");
  Attr(out, "AspBufferingOn", "TRUE");
  Attr(out, "AuthFlags", "AuthAnonymous | AuthNTLM");
  Attr(out, "DefaultDoc", "Default.htm,Default.asp,index.htm,Default.aspx");
  Attr(out, "LogType", "1");
  MultiAttr(out, "ScriptMaps", AspNetScriptMaps("2.0.50727"));
  Close(out, "IIsWebService");

  Open(out, "IIsApplicationPools", "/LM/W3SVC/AppPools");
  Attr(out, "AppPoolQueueLength", "1000");
  Attr(out, "IdleTimeout", "20");
  Attr(out, "PeriodicRestartTime", "1740");
  Close(out, "IIsApplicationPools");
  for (int p = 0; p < pools; ++p) {
    Open(out, "IIsApplicationPool", "/LM/W3SVC/AppPools/" + GeneratedPoolName(p));
    Attr(out, "AppPoolIdentityType", "2");
    if (p % 4 == 1) Attr(out, "PeriodicRestartMemory", "512000");
    Close(out, "IIsApplicationPool");
  }

  Open(out, "IIsFilters", "/LM/W3SVC/Filters");
  Attr(out, "FilterLoadOrder", "ASP.NET_2.0.50727.0");
  Close(out, "IIsFilters");
  Open(out, "IIsFilter", "/LM/W3SVC/Filters/ASP.NET_2.0.50727.0");
  Attr(out, "FilterDescription", "ASP.NET 2.0.50727.0");
  Attr(out, "FilterPath", "C:\\WINDOWS\\Microsoft.NET\\Framework\\v2.0.50727\\aspnet_filter.dll");
  Close(out, "IIsFilter");
  // A key with a property outside the schema, as the service keeps its own.
  Open(out, "IIsConfigObject", "/LM/W3SVC/Info");
  out.append(kNl).append("\t>").append(kNl);
  out.append("\t<Custom").append(kNl).append("\t\tName=\"LogModuleList\"").append(kNl);
  out.append("\t\tID=\"2072\"").append(kNl).append("\t\tValue=\"Custom Logging,ODBC Logging,NCSA Common Log File Format\"");
  out.append(kNl).append("\t\tType=\"STRING\"").append(kNl).append("\t\tUserType=\"IIS_MD_UT_SERVER\"");
  out.append(kNl).append("\t\tAttributes=\"NO_ATTRIBUTES\"").append(kNl).append("\t/>").append(kNl);
  out.append("</IIsConfigObject>").append(kNl);

  for (int s = 1; s <= sites; ++s) {
    // Appended rather than "literal" + string here: GCC 12 at -O3 warns on that (-Wrestrict,
    // a known false positive of that compiler).
    const std::string site = std::string("/LM/W3SVC/").append(std::to_string(s));
    Open(out, "IIsWebServer", site);
    Attr(out, "ServerAutoStart", "TRUE");
    MultiAttr(out, "ServerBindings",
              {std::string(":").append(std::to_string(8000 + s)).append(":"),
               std::string(":80:site").append(std::to_string(s)).append(".example.com")});
    Attr(out, "ServerComment", s == 1 ? std::string("Default Web Site") : "Web site " + std::to_string(s));
    Attr(out, "ServerSize", "1");
    Close(out, "IIsWebServer");

    const int root = s - 1;  // application number of the site's ROOT
    Open(out, "IIsWebVirtualDir", site + "/ROOT");
    Attr(out, "AccessFlags", "513");
    if (root < apps) {
      Attr(out, "AppFriendlyName", "Default Application");
      Attr(out, "AppIsolated", "2");
      if (root / appsPerPool > 0) Attr(out, "AppPoolId", GeneratedPoolName(root / appsPerPool));
      Attr(out, "AppRoot", site + "/ROOT");
    }
    Attr(out, "Path", s == 1 ? std::string("C:\\Inetpub\\wwwroot") : "D:\\Sites\\site" + std::to_string(s));
    Close(out, "IIsWebVirtualDir");

    for (int k = root + sites; k < apps; k += sites) {
      const std::string name = Num("app%05d", k);
      const std::string path = site + "/ROOT/" + name;
      Open(out, "IIsWebVirtualDir", path);
      Attr(out, "AccessFlags", "513");
      Attr(out, "AppFriendlyName", name);
      Attr(out, "AppIsolated", "2");
      if (k / appsPerPool > 0) Attr(out, "AppPoolId", GeneratedPoolName(k / appsPerPool));
      Attr(out, "AppRoot", path);
      Attr(out, "Path", "D:\\Sites\\site" + std::to_string(s) + "\\" + name);
      if (k % 8 == 7) MultiAttr(out, "ScriptMaps", AspNetScriptMaps("1.1.4322"));
      Close(out, "IIsWebVirtualDir");
      if (k % 5 == 0) {
        Open(out, "IIsWebDirectory", path + "/images");
        Attr(out, "AccessFlags", "1");
        Close(out, "IIsWebDirectory");
      }
    }
  }
  out.append("</MBProperty>").append(kNl).append("</configuration>").append(kNl);
  return out;
}

void WriteGeneratedMetabase(const std::string& path, int sites, int pools, int appsPerPool) {
  const std::string text = GenerateMetabase(sites, pools, appsPerPool);
  std::ofstream file(platform::PathFromUtf8(path), std::ios::binary | std::ios::trunc);
  if (!file) throw std::runtime_error("Cannot create " + path);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) throw std::runtime_error("Cannot write " + path);
}

}  // namespace tarnwell::standin
