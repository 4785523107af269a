#pragma once
// Resource ids that tarnwell.rc and the window share (read by windres too: plain macros).
#define IDI_TARNWELL 1
