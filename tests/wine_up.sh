#!/bin/sh
# Starts the wine server the Windows tests share, wine's own services and its
# desktop process, all with their output away from ctest's: one started by a
# test would inherit that test's output and keep it waiting until the server
# ends. The server stays 30 s after the last test; with wine's default of a
# few seconds every test would pay again for starting the services.
#
# Usage: wine_up.sh WINE_LOADER
wine=${1:?usage: wine_up.sh WINE_LOADER}
"$(dirname "$wine")/wineserver" -p30 </dev/null >/dev/null 2>&1
# Asking for the desktop window starts the desktop process where there is a
# graphics driver (a program's first window would, otherwise).
"$wine" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
exit 0
