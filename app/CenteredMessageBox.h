// Message boxes centred over their owner, and window centring.
#ifndef KDM_APP_CENTEREDMESSAGEBOX_H
#define KDM_APP_CENTEREDMESSAGEBOX_H

#include <windows.h>

#include "foundation/Foundation.h"

// MessageBoxW, centred over its owner by a one-shot CBT hook on the calling thread. The hook
// serves this box only: when the box cannot be created, it is removed before returning.
int CenteredMessageBox(HWND owner, const MStringEx<wchar_t>& text,
                       const MStringEx<wchar_t>& caption, UINT type);

// Centres window over its parent (the desktop window when it has none). No clamping.
void CenterOverParent(HWND window);
// Centres window over reference (the desktop window when reference is not a window).
void CenterOverWindow(HWND reference, HWND window);
// Centres window on the primary monitor's work area.
void CenterOnPrimaryWorkArea(HWND window);

// The centring arithmetic, applied by the functions above: the top-left corner that centres a
// window of size width x height over the rectangle reference. Each half is truncated separately.
POINT CenteredOrigin(const RECT& reference, int width, int height);

#endif
