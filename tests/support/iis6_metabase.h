#pragma once
// A MetaBase.xml in IIS 6's own layout (CR LF line ends) whose pool ShopPool serves three
// applications that each get their pool another way: the catalog inherits it from its
// site, the cart holds it itself, and the checkout inherits it from its site's ROOT.
#include <string>
#include <vector>

#include "tests/support/metabase_xml.h"

namespace tarnwell::testutil {

// In file order, as EnumAppsInPool gives them.
inline const std::vector<std::string> kIis6ShopApps{"/LM/W3SVC/2/ROOT/catalog/", "/LM/W3SVC/2/ROOT/cart/",
                                                    "/LM/W3SVC/3/ROOT/checkout/"};
// Whether each of them holds AppPoolId itself.
inline const std::vector<bool> kIis6ShopAppsOwnPool{false, true, false};

inline std::string Iis6ShopMetabase() {
  const auto app = [](const std::string& name, const std::string& dir) {
    return MetabaseXml::Attrs{"AppFriendlyName=\"" + name + "\"", "AppIsolated=\"2\"", "Path=\"D:\\Sites\\" + dir + "\""};
  };
  return MetabaseXml({"AppPoolId=\"DefaultAppPool\"", "AuthFlags=\"AuthAnonymous | AuthNTLM\""}, "\r\n")
      .Pool("DefaultAppPool", {"AppPoolIdentityType=\"2\""})
      .Pool("ShopPool", {"AppPoolIdentityType=\"2\"", "IdleTimeout=\"20\""})
      .Site(2, "Shop site", {"AppPoolId=\"ShopPool\"", "ServerBindings=\":80:shop.example.com\""})
      .Key("IIsWebVirtualDir", "/LM/W3SVC/2/ROOT", {"AccessFlags=\"AccessRead | AccessScript\"", "Path=\"D:\\Sites\\shop\""})
      .App("/LM/W3SVC/2/ROOT/catalog", "", app("Catalog", "shop\\catalog"))
      .App("/LM/W3SVC/2/ROOT/cart", "ShopPool", app("Cart", "shop\\cart"))
      .Site(3, "Pay site", {"ServerBindings=\":80:pay.example.com\""})
      .Key("IIsWebVirtualDir", "/LM/W3SVC/3/ROOT",
           {"AccessFlags=\"AccessRead | AccessScript\"", "AppPoolId=\"ShopPool\"", "Path=\"D:\\Sites\\pay\""})
      .App("/LM/W3SVC/3/ROOT/checkout", "", app("Checkout", "pay\\checkout"))
      .Text();
}

}  // namespace tarnwell::testutil
