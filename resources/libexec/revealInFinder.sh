#!/bin/sh
# Opens the given folder in the desktop's file manager. The build fills in the version.
usage() {
    echo "Usage: revealInFinder.sh FOLDER"
    echo "Opens FOLDER in the desktop's file manager (through xdg-open)."
    echo
    echo "Exit status: 0 when the file manager was asked to open it, 1 when xdg-open is missing or"
    echo "fails, 2 for a bad command line or a FOLDER that is not a folder."
}
case "${1:-}" in
    --help) usage; exit 0 ;;
    --version) echo "revealInFinder.sh @VESK_VERSION@"; exit 0 ;;
esac
if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    usage >&2
    exit 2
fi
if command -v xdg-open >/dev/null 2>&1; then
    exec xdg-open "$1"
fi
echo "xdg-open is not installed: cannot open $1" >&2
exit 1
