#pragma once
// A MetaBase.xml in IIS 6's own layout (CR LF line ends, one attribute a line, the closing
// "\t>" of each start tag on a line of its own) whose pool ShopPool serves three
// applications that each get their pool another way: the catalog inherits it from its
// site, the cart holds it itself, and the checkout inherits it from its site's ROOT.
#include <string>
#include <vector>

namespace tarnwell::testutil {

// In file order, as EnumAppsInPool gives them.
inline const std::vector<std::string> kIis6ShopApps{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/2/ROOT/cart/",
                                                    "/LM/W3SVC/3/ROOT/checkout/"};
// Whether each of them holds AppPoolId itself.
inline const std::vector<bool> kIis6ShopAppsOwnPool{false, true, false};

inline std::string Iis6ShopMetabase() {
  std::string text;
  const auto line = [&text](const std::string& l) { text += l + "\r\n"; };
  const auto key = [&line](const std::string& cls, const std::string& location,
                           const std::vector<std::string>& attributes) {
    line("<" + cls + "\tLocation =\"" + location + "\"");
    for (const auto& a : attributes) line("\t\t" + a);
    line("\t>");
    line("</" + cls + ">");
  };
  line("<?xml version =\"1.0\"?>");
  line("<configuration xmlns=\"urn:microsoft-catalog:XML_Metabase_V64_0\">");
  line("<MBProperty>");
  key("IIsWebService", "/LM/W3SVC", {"AppPoolId=\"DefaultAppPool\"", "AuthFlags=\"AuthAnonymous | AuthNTLM\""});
  key("IIsApplicationPools", "/LM/W3SVC/AppPools", {});
  key("IIsApplicationPool", "/LM/W3SVC/AppPools/DefaultAppPool", {"AppPoolIdentityType=\"2\""});
  key("IIsApplicationPool", "/LM/W3SVC/AppPools/ShopPool", {"AppPoolIdentityType=\"2\"", "IdleTimeout=\"20\""});
  key("IIsWebServer", "/LM/W3SVC/2",
      {"AppPoolId=\"ShopPool\"", "ServerBindings=\":80:shop.example.com\"", "ServerComment=\"Shop site\""});
  key("IIsWebVirtualDir", "/LM/W3SVC/2/ROOT",
      {"AccessFlags=\"AccessRead | AccessScript\"", "Path=\"D:\\Sites\\shop\""});
  key("IIsWebVirtualDir", "/LM/W3SVC/2/ROOT/catalog",
      {"AppFriendlyName=\"Catalog\"", "AppIsolated=\"2\"", "AppRoot=\"/LM/W3SVC/2/ROOT/catalog\"",
       "Path=\"D:\\Sites\\shop\\catalog\""});
  key("IIsWebVirtualDir", "/LM/W3SVC/2/ROOT/cart",
      {"AppFriendlyName=\"Cart\"", "AppIsolated=\"2\"", "AppPoolId=\"ShopPool\"", "AppRoot=\"/LM/W3SVC/2/ROOT/cart\"",
       "Path=\"D:\\Sites\\shop\\cart\""});
  key("IIsWebServer", "/LM/W3SVC/3", {"ServerBindings=\":80:pay.example.com\"", "ServerComment=\"Pay site\""});
  key("IIsWebVirtualDir", "/LM/W3SVC/3/ROOT",
      {"AccessFlags=\"AccessRead | AccessScript\"", "AppPoolId=\"ShopPool\"", "Path=\"D:\\Sites\\pay\""});
  key("IIsWebVirtualDir", "/LM/W3SVC/3/ROOT/checkout",
      {"AppFriendlyName=\"Checkout\"", "AppIsolated=\"2\"", "AppRoot=\"/LM/W3SVC/3/ROOT/checkout\"",
       "Path=\"D:\\Sites\\pay\\checkout\""});
  line("</MBProperty>");
  line("</configuration>");
  return text;
}

}  // namespace tarnwell::testutil
