#pragma once
// The demo's walk through, played by the real window on the real seams without anybody at
// the keys: Refresh, every pool ticked, Start monitoring, the first pass, an analysis of
// ShopPool until its overload is reported, Stop, and the configuration put back. Each step
// is told on standard output and pictured, tab by tab, as PNG files.
#include <QString>

namespace tarnwell {

namespace platform {
class IMetabase;
class IProcessSystem;
}  // namespace platform

// Runs the event loop until the walk through ends. 0 when every step was seen, 3 when a
// step failed or timed out, 1 when the pictures' folder cannot be made.
int PlayWalkthrough(const QString& exeDir, platform::IMetabase& metabase, platform::IProcessSystem& processes,
                    const QString& pictureDir);

}  // namespace tarnwell
