// Texts from the module's string table and version block. Nothing is cached: every call reads
// the resources again. Every failure named below raises MStringExException 0.
#ifndef KDM_FOUNDATION_RESOURCESTRINGS_H
#define KDM_FOUNDATION_RESOURCESTRINGS_H

#include <windows.h>

#include "foundation/StringEx.h"

// The module whose string table and version block are read: the program's own module (the DLL's
// instance when it runs as a DLL). Null means the process's executable. Set by the entry points
// before any text is read.
extern HINSTANCE moduleInstance;

// The text of string-table entry `id`, cut at a null code unit inside the entry. Raises when
// the id's block does not exist or cannot be loaded, when the entry is empty, and when an entry
// runs past the end of its block.
MStringEx<wchar_t> ResourceString(UINT id);
// The entry `id` used as the format of MStringEx::Format for the values that follow.
template <typename... Args>
MStringEx<wchar_t> FormattedResourceString(UINT id, const Args&... values)
{
    return MStringEx<wchar_t>::Format(ResourceString(id).Data(), values...);
}
// The version-block value `name` ("ProductName", "ProductVersion", "InternalName", ...) of the
// first translation of the module's translation table that has it. Raises when the module has no
// version block or no translation has the value.
MStringEx<wchar_t> VersionString(const wchar_t* name);

#endif
