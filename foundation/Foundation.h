// The foundation library: errors, checked unit arithmetic, handles and guards, the observer,
// buffers, strings, containers, resource strings and version values.
#ifndef KDM_FOUNDATION_FOUNDATION_H
#define KDM_FOUNDATION_FOUNDATION_H

#include "foundation/Containers.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "foundation/Memory.h"
#include "foundation/Observer.h"
#include "foundation/ResourceStrings.h"
#include "foundation/StringEx.h"
#include "foundation/Units.h"

#endif
