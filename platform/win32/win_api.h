#pragma once
// <windows.h> for the Windows seams and their tests. <wingdi.h> maps GetObject to
// GetObjectA/W, which would rename the metabase seam's member of that name in whichever
// file includes it first; the program uses no GDI call of that name.
#include <windows.h>
#undef GetObject
