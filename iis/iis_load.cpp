// TIISObject::LoadPools: rebuilds the pool records from the metabase. Runs on the loader or
// the monitoring thread, one at a time (RebuildMutex).
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_map>
#include <utility>

#include "iis/adshlp.h"
#include "iis/iis.h"
#include "iis/iis_load.h"
#include "platform/metabase.h"

namespace tarnwell {

namespace {

using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;

constexpr std::string_view kServicePrefix = "/LM/W3SVC/";

// The locale's lower case of each character. ASCII answers are remembered for the call:
// application lines are mostly ASCII, and asking the locale per character is the cost.
class LowerCase {
 public:
  explicit LowerCase(const std::ctype<wchar_t>& ctype) : ctype_(ctype) { ascii_.fill(0); }
  wchar_t Of(wchar_t c) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code >= ascii_.size()) return ctype_.tolower(c);
    wchar_t& known = ascii_[code];
    if (known == 0) known = static_cast<wchar_t>(ctype_.tolower(c) + 1);  // 0: not asked yet
    return static_cast<wchar_t>(known - 1);
  }

 private:
  const std::ctype<wchar_t>& ctype_;
  std::array<wchar_t, 0x80> ascii_;
};

// UTF-8 to lower-case wide characters for collation, in one pass. A byte that starts no
// valid sequence stands for itself in the low-surrogate block, so distinct texts stay
// distinct.
void LowerWideOf(std::string_view text, LowerCase& lower, std::wstring& out) {
  // Never more wide characters than bytes, surrogate pairs included.
  out.resize(text.size());
  wchar_t* const first = out.data();
  wchar_t* at = first;
  const auto push = [&](char32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
      if (cp > 0xFFFF) {
        cp -= 0x10000;
        *at++ = lower.Of(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        *at++ = lower.Of(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        return;
      }
    }
    *at++ = lower.Of(static_cast<wchar_t>(cp));
  };
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      *at++ = lower.Of(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    std::size_t len = 0;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      len = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      len = 3;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      len = 4;
      cp = lead & 0x07;
    }
    bool valid = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      valid = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if (valid && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                  (cp >= 0xD800 && cp <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      push(0xDC00 + lead);
      ++i;
      continue;
    }
    push(cp);
    i += len;
  }
  out.resize(static_cast<std::size_t>(at - first));
}

const std::string& AsText(const MetabaseValue& value, std::string_view property, std::string_view siteId) {
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  throw MetabaseError(platform::kErrFail, "The " + std::string(property) + " of site " + std::string(siteId) +
                                              " is a list, not a text");
}

}  // namespace

std::string SiteIdOfAppPath(std::string_view appPath) {
  const auto at = appPath.find(kServicePrefix);
  if (at == std::string_view::npos) {
    throw MetabaseError(platform::kErrPathNotFound,
                        "The application path [" + std::string(appPath) + "] names no web site");
  }
  const std::string_view rest = appPath.substr(at + kServicePrefix.size());
  return std::string(rest.substr(0, rest.find('/')));
}

void AppScriptMapsPath(std::string_view appPath, std::string& path) {
  // Without "/LM/W3SVC" (its first nine characters) and without the closing "/".
  std::string_view tail = appPath.substr(std::min<std::size_t>(9, appPath.size()));
  if (tail.ends_with('/')) tail.remove_suffix(1);
  constexpr std::string_view kService = "IIS://localhost/w3svc";
  path.clear();
  path.reserve(kService.size() + tail.size());
  path.append(kService).append(tail);
}

std::string AppScriptMapsPath(std::string_view appPath) {
  std::string path;
  AppScriptMapsPath(appPath, path);
  return path;
}

std::string AspNetVersionOf(const platform::MetabaseList& scriptMaps) {
  // One pass over each entry for both extensions: an entry has several dots.
  const auto entry = std::find_if(scriptMaps.begin(), scriptMaps.end(), [](std::string_view e) {
    for (auto dot = e.find('.'); dot != std::string_view::npos; dot = e.find('.', dot + 1)) {
      const std::string_view ext = e.substr(dot + 1, 4);
      if (ext == "aspx" || ext == "asmx") return true;
    }
    return false;
  });
  // Only the first ASP.NET entry counts, framework folder or not.
  if (entry == scriptMaps.end()) return {};
  constexpr std::string_view kFolder = "framework\\";
  const auto at = std::search(entry->begin(), entry->end(), kFolder.begin(), kFolder.end(),
                              [](char c, char folder) { return LowerAsciiChar(c) == folder; });
  if (at == entry->end()) return {};
  const auto begin = static_cast<std::size_t>(at - entry->begin()) + kFolder.size();
  const auto end = entry->find('\\', begin + 1);
  if (end == std::string_view::npos) return {};
  std::string version(entry->substr(begin, end - begin));
  if (!version.empty() && (version.front() == 'v' || version.front() == 'V')) version.erase(0, 1);
  return version;
}

std::string CutPoolName(std::string_view name) {
  if (name.size() <= MaxPoolName) return std::string(name);
  std::size_t keep = MaxPoolName;
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return std::string(name.substr(0, keep));
}

void SortAppLines(std::vector<std::string>& lines, const std::locale& locale) {
  if (lines.size() < 2) return;
  const auto& ctype = std::use_facet<std::ctype<wchar_t>>(locale);
  const auto& collate = std::use_facet<std::collate<wchar_t>>(locale);
  // Collation keys compare as the locale compares their texts, and as plain strings they
  // give a strict weak ordering.
  std::vector<std::wstring> keys;
  keys.reserve(lines.size());
  std::wstring folded;
  LowerCase lower(ctype);
  for (const auto& line : lines) {
    LowerWideOf(line, lower, folded);
    keys.push_back(collate.transform(folded.data(), folded.data() + folded.size()));
  }
  std::vector<std::size_t> order(lines.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  std::vector<std::string> sorted;
  sorted.reserve(lines.size());
  for (std::size_t i : order) sorted.push_back(std::move(lines[i]));
  lines = std::move(sorted);
}

const std::locale& UserLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("");
    } catch (const std::runtime_error&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

std::string MetabaseUnreadableText(const TMetabaseFailure& failure) {
  std::string_view reason = failure.Reason;
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.remove_suffix(1);
  std::string text = "The metabase cannot be read [" + std::string(kAppPoolsAdsPath) + "]: " + std::string(reason);
  if (failure.Code == platform::kErrNoIisProvider || failure.Code == platform::kErrBadAdsPath ||
      failure.Code == platform::kErrClassNotRegistered) {
    text += ". The ADSI provider of IIS is missing: IIS 6 Metabase Compatibility is needed (on IIS 7 and later, "
            "a role service of the Web Server role)";
  }
  return text;
}

void TIISObject::LoadPools() {
  std::unique_ptr<IMetabaseObject> pools;
  try {
    pools = metabase_.Bind(kAppPoolsAdsPath);
    if (!pools) throw MetabaseError(platform::kErrFail, "the metabase gave no object");
  } catch (const MetabaseError& e) {
    LoadFailure = TMetabaseFailure{e.code(), e.what()};
    return;  // records kept
  }
  LoadFailure.reset();
  ClearPools();
  PoolsDropped = 0;
  const std::locale& locale = UserLocale();
  // Applications mostly inherit one script-map list from their site: its version is worked
  // out once per stored list. Each entry keeps its list alive, so no identity is reused.
  std::unordered_map<const void*, std::pair<platform::MetabaseList, std::string>> versions;

  std::string objectPath;  // one application's after another
  std::string uncached;    // the version of a list that has no identity

  // One application's line: site name, " [", path, "]", and the ASP.NET version when found.
  const auto appLine = [&](std::string_view path) {
    MetabaseValue comment;  // holds the site name until the line is built
    std::string_view site;
    std::string_view version;
    std::unique_ptr<IMetabaseObject> service;
    if (GetSiteName && BindContainer(metabase_, "IIS://localhost/w3svc", service) == 0) {
      const std::string siteId = SiteIdOfAppPath(path);
      auto server = service->GetObject("IIsWebServer", siteId);
      comment = server->Get("ServerComment");
      site = AsText(comment, "ServerComment", siteId);
      if (GetAspNetVersion) {
        AppScriptMapsPath(path, objectPath);
        auto app = GetMetabaseObject(metabase_, objectPath);
        const MetabaseValue maps = app->Get("ScriptMaps");
        if (!platform::IsArray(maps)) {
          throw MetabaseError(platform::kErrFail, "The ScriptMaps of " + objectPath + " are not a list");
        }
        const auto& list = std::get<platform::MetabaseList>(maps);
        if (const void* identity = list.Identity()) {
          auto known = versions.find(identity);
          if (known == versions.end()) {
            known = versions.emplace(identity, std::pair(list, AspNetVersionOf(list))).first;
          }
          version = known->second.second;
        } else {
          uncached = AspNetVersionOf(list);
          version = uncached;
        }
      }
    }
    constexpr std::string_view kVersionLabel = " ASP.NET: ";
    std::string line;
    line.reserve(site.size() + path.size() + 3 + (version.empty() ? 0 : kVersionLabel.size() + version.size()));
    line.append(site).append(" [").append(path).append("]");
    if (!version.empty()) line.append(kVersionLabel).append(version);
    return line;
  };

  auto children = pools->Enumerate();
  std::unique_ptr<IMetabaseObject> child;
  for (;;) {
    child.reset();
    if (!children->Next(child)) break;
    if (!child) continue;  // not a directory object
    // The record keeps the name cut, and the ticked names are the cut ones: the cut name is
    // what the filter and the selection must see, or a long-named ticked pool would vanish.
    std::string name = CutPoolName(child->Name());
    if (!AcceptPool(name)) continue;
    if (PoolCount >= MaxPools - 1) {
      // The records are full; the caller shows how many were left out.
      ++PoolsDropped;
      continue;
    }
    TPoolRec& rec = Pools[static_cast<std::size_t>(PoolCount)];
    rec.Name.clear();  // the record being read holds no pool until it is complete
    const MetabaseValue apps = child->EnumAppsInPool();
    if (!platform::IsArray(apps)) {
      throw MetabaseError(platform::kErrFail, "EnumAppsInPool of pool [" + name + "] did not give a list");
    }
    const auto& paths = std::get<platform::MetabaseList>(apps);
    std::int32_t count = 0;
    if (paths.empty()) {
      rec.Apps.reset();
    } else {
      count = static_cast<std::int32_t>(
          std::min<std::size_t>(paths.size(), static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())));
      if (rec.Apps) {
        rec.Apps->clear();
      } else {
        rec.Apps = std::make_unique<std::vector<std::string>>();
      }
      rec.Apps->reserve(paths.size());
      for (const auto& path : paths) rec.Apps->push_back(appLine(path));
    }
    rec.Name = std::move(name);
    rec.AppCount = count;
    if (rec.Apps) SortAppLines(*rec.Apps, locale);
    ++PoolCount;
  }
  if (SelectByFilter) {
    SelectedPools.clear();
    for (std::int32_t i = 0; i < PoolCount; ++i) SelectedPools.append(Pools[static_cast<std::size_t>(i)].Name).push_back('\t');
  }
}

}  // namespace tarnwell
