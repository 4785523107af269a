#pragma once
// Writes large, realistic MetaBase.xml files for benchmarks and tests, laid out the way
// IIS 6 writes them (tab-indented attributes, one multi-value per line).
#include <string>
#include <vector>

namespace tarnwell::standin {

// The name of pool `index` (0-based) in a generated metabase.
std::string GeneratedPoolName(int index);

// The metabase text: web sites /LM/W3SVC/1 to /LM/W3SVC/<sites>; pools DefaultAppPool,
// AppPool0001, AppPool0002, ...; application k (0-based, pools * appsPerPool in all) runs in
// pool k / appsPerPool, on site k % sites + 1, and the first `sites` applications are the
// sites' ROOTs. Applications of DefaultAppPool inherit their AppPoolId from /LM/W3SVC; every 8th
// application carries ASP.NET 1.1 script maps of its own, the rest inherit 2.0's.
std::string GenerateMetabase(int sites, int pools, int appsPerPool);

// Writes GenerateMetabase(...) to path. Raises std::runtime_error when it cannot.
void WriteGeneratedMetabase(const std::string& path, int sites, int pools, int appsPerPool);

// The script maps that ASP.NET of the given version ("1.1.4322", "2.0.50727") registers,
// after IIS's own entries, as IIS 6 stores them.
std::vector<std::string> AspNetScriptMaps(const std::string& version);

}  // namespace tarnwell::standin
