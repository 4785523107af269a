#pragma once
// Builds a MetaBase.xml in IIS 6's own layout: each key an element "<Class\tLocation =\"...\"",
// its attributes one a line after two tabs in the order of their names, the start tag
// closed by "\t>" on a line of its own, its Custom elements, then "</Class>". Values are
// written as given: escape & < " and what the store must keep (&#9; for a tab) yourself.
//
//   testutil::MetabaseXml xml;                       // the web service and its AppPools key
//   xml.Pool("Shop").Site(1, "Shop site").App("/LM/W3SVC/1/ROOT", "Shop");
//   testutil::WriteFile(path, xml.Text());
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace tarnwell::testutil {

class MetabaseXml {
 public:
  using Attrs = std::vector<std::string>;  // each one Name="value"

  // `service` are the attributes of /LM/W3SVC; `eol` "\r\n" as IIS writes, "\n" as an editor may.
  explicit MetabaseXml(Attrs service = {}, std::string eol = "\n") : eol_(std::move(eol)) {
    Key("IIsWebService", "/LM/W3SVC", std::move(service));
    Key("IIsApplicationPools", "/LM/W3SVC/AppPools");
  }

  // Any key, in file order.
  MetabaseXml& Key(std::string cls, std::string location, Attrs attrs = {}) {
    const auto name = [](const std::string& a) {
      std::string n = a.substr(0, a.find('='));
      for (char& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return n;
    };
    std::stable_sort(attrs.begin(), attrs.end(), [&](const auto& a, const auto& b) { return name(a) < name(b); });
    keys_.push_back({std::move(cls), std::move(location), std::move(attrs), {}});
    return *this;
  }
  MetabaseXml& Pool(const std::string& name, Attrs attrs = {}) {
    return Key("IIsApplicationPool", "/LM/W3SVC/AppPools/" + name, std::move(attrs));
  }
  // IIsWebServer /LM/W3SVC/<id>, with its ServerComment when given.
  MetabaseXml& Site(int id, const std::string& comment = "", Attrs attrs = {}) {
    if (!comment.empty()) attrs.insert(attrs.begin(), "ServerComment=\"" + comment + "\"");
    return Key("IIsWebServer", "/LM/W3SVC/" + std::to_string(id), std::move(attrs));
  }
  // An application: an IIsWebVirtualDir with AppRoot, holding AppPoolId only when `pool` is
  // given (otherwise it inherits its pool).
  MetabaseXml& App(const std::string& location, const std::string& pool = "", Attrs attrs = {}) {
    Attrs own;
    if (!pool.empty()) own.push_back("AppPoolId=\"" + pool + "\"");
    own.push_back("AppRoot=\"" + location + "\"");
    own.insert(own.end(), attrs.begin(), attrs.end());
    return Key("IIsWebVirtualDir", location, std::move(own));
  }
  // A <Custom> element inside the last key, e.g. {"Name=\"AppPoolId\"", "Value=\"Shop\""}.
  MetabaseXml& Custom(Attrs attrs) {
    keys_.back().customs.push_back(std::move(attrs));
    return *this;
  }

  std::string Text() const {
    std::string text = "<?xml version =\"1.0\"?>" + eol_ +
                       "<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">" + eol_ + "<MBProperty>" + eol_;
    for (const Entry& key : keys_) {
      text += "<" + key.cls + "\tLocation =\"" + key.location + "\"" + eol_;
      for (const auto& a : key.attrs) text += "\t\t" + a + eol_;
      text += "\t>" + eol_;
      for (const Attrs& custom : key.customs) {
        text += "\t<Custom" + eol_;
        for (const auto& a : custom) text += "\t\t" + a + eol_;
        text += "\t/>" + eol_;
      }
      text += "</" + key.cls + ">" + eol_;
    }
    return text + "</MBProperty>" + eol_ + "</configuration>" + eol_;
  }

 private:
  struct Entry {
    std::string cls, location;
    Attrs attrs;
    std::vector<Attrs> customs;
  };
  std::string eol_;
  std::vector<Entry> keys_;
};

// The pools, and one site of applications (location, pool).
inline std::string PoolsAndApps(const std::vector<std::string>& pools,
                                const std::vector<std::pair<std::string, std::string>>& apps) {
  MetabaseXml xml;
  for (const auto& pool : pools) xml.Pool(pool);
  xml.Site(1, "Test site");
  for (const auto& [location, pool] : apps) xml.App(location, pool);
  return xml.Text();
}

}  // namespace tarnwell::testutil
