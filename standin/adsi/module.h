#pragma once
// What identifies the provider to COM and ADSI, and the module it is loaded from.
#include "platform/win32/win_api.h"

namespace tarnwell::standin::adsi {

// The class ADsOpenObject creates for "IIS:" paths. Its own, not IIS's: the stand-in never
// takes the place of a real IIS (registration refuses where one is registered).
inline constexpr CLSID kClsidNamespace = {0x7ff145ec, 0xb1a7, 0x4771, {0x87, 0xb2, 0x81, 0x5b, 0x30, 0xe6, 0xa5, 0x7c}};
// IIS's ProgID and ADSI namespace prefix: VBScript's GetObject("IIS://...") and activeds
// both look the class up by it.
inline constexpr wchar_t kProgId[] = L"IIS";
inline constexpr wchar_t kNamespacePrefix[] = L"IIS";

// This DLL, as DllMain was given it.
HMODULE ThisModule();

}  // namespace tarnwell::standin::adsi
