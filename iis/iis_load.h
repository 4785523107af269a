#pragma once
// The pieces of TIISObject::LoadPools that are plain text work, for tests.
#include <locale>
#include <string>
#include <string_view>
#include <vector>

#include "platform/metabase.h"

namespace tarnwell {

// The site id of an application path: the text after the first "/LM/W3SVC/" (exact case) up
// to the next "/". Raises MetabaseError when the path holds no "/LM/W3SVC/".
std::string SiteIdOfAppPath(std::string_view appPath);

// The object whose script maps tell an application's ASP.NET version:
// "/LM/W3SVC/1/ROOT/shop/" -> "IIS://localhost/w3svc/1/ROOT/shop".
std::string AppScriptMapsPath(std::string_view appPath);
void AppScriptMapsPath(std::string_view appPath, std::string& path);  // into a reused string

// The ASP.NET version of the first ".aspx"/".asmx" script map, taken from its handler's
// "framework\<version>\" folder without a leading v; empty when there is none.
std::string AspNetVersionOf(const platform::MetabaseList& scriptMaps);

// A pool name as a record keeps it: at most MaxPoolName bytes, never cut inside a UTF-8
// character.
std::string CutPoolName(std::string_view name);

// Sorts application lines without regard to letter case, by the locale's collation; lines
// that compare equal keep their order.
void SortAppLines(std::vector<std::string>& lines, const std::locale& locale);

// The user's locale (from the environment), or the classic one when that cannot be made.
const std::locale& UserLocale();

}  // namespace tarnwell
