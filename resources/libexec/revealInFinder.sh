#!/bin/sh
# Opens the given folder in the desktop's file manager.
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: revealInFinder.sh FOLDER" >&2
    exit 2
fi
if command -v xdg-open >/dev/null 2>&1; then
    exec xdg-open "$1"
fi
echo "xdg-open is not installed: cannot open $1" >&2
exit 1
