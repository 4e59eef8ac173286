// The foundation library: errors, checked unit arithmetic, handles and guards, the observer,
// buffers, strings, containers, resource strings and version values.
#pragma once

#include "foundation/Containers.h"
#include "foundation/Errors.h"
#include "foundation/Handles.h"
#include "foundation/Memory.h"
#include "foundation/Observer.h"
#include "foundation/ResourceStrings.h"
#include "foundation/StringEx.h"
#include "foundation/Units.h"
