#!/usr/bin/env bash
# Makes a pristine Wine prefix in the folder PREFIX, for WINEPREFIX and WINEARCH as the caller
# exported them: what prepare-prefix.sh starts every prefix from, and under emulation keeps.
# Usage: make-prefix.sh PREFIX
set -euo pipefail
prefix=$1

# No .NET or HTML engine is needed: keep wineboot from offering to install them.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;mscoree=d;mshtml=d" wineboot -i >/dev/null 2>&1
wineserver -w

# A fresh prefix links the user folders to $HOME: make them real folders inside the prefix.
for dir in "$prefix"/drive_c/users/*/; do
  for link in "$dir"*; do
    if [ -L "$link" ]; then
      rm "$link"
      mkdir -p "$link"
    fi
  done
done

# Windows draws its own frames (screenshots without a window manager) with Wine's fonts.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d Y /f >/dev/null 2>&1
# Unmanaged windows: without a window manager, Wine otherwise waits up to 2 s for every window
# that is hidden or destroyed.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
mkdir -p "$prefix/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true

wineserver -w
