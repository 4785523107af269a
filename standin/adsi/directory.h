#pragma once
// The IIS: namespace's objects: one directory object per metabase key, over the
// MetaBase.xml store, answering what IIS 6's own provider answers through IADs,
// IADsContainer, IISApplicationPool and late binding by name.
#include "platform/win32/win_api.h"
#include <oaidl.h>

namespace tarnwell::standin::adsi {

// Binds an ADsPath ("IIS://localhost/W3SVC/AppPools") on the configured MetaBase.xml.
// Never raises: a failure is the HRESULT IIS gives for it (0x80070003 for a missing key).
HRESULT BindDirectoryObject(const wchar_t* adsPath, IDispatch** out) noexcept;

// The namespace object that ADsOpenObject makes through the registered class: it answers
// IADsOpenDSObject::OpenDSObject by binding the path. Never raises.
HRESULT CreateNamespaceObject(REFIID iid, void** out) noexcept;

}  // namespace tarnwell::standin::adsi
