#!/usr/bin/env bash
# Makes the .deb with CPack, unpacks it with dpkg-deb into a scratch folder and checks it as a user
# gets it: the package's name, version and dependencies, the files and their modes, lintian, the
# desktop entry, the manual pages and the user unit; then runs the unpacked programs (help and version,
# the auxiliary programs found from the installed layout, a headless start that answers vesk-ctl and
# quits cleanly on SIGTERM). Needs no root: nothing is installed on the machine.
# Usage: check-package.sh CPACK CPACK_CONFIG AUXILIARY_LOOKUP VERSION "BIN PROGRAMS" "LIBEXEC PROGRAMS"
set -euo pipefail

cpack=$1 config=$2 lookup=$3 version=$4
read -r -a bin_names <<<"$5"
read -r -a libexec_names <<<"$6"

work=$(realpath "$(mktemp -d)")
app_pid=""
cleanup() {
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill -KILL "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
step() {
  echo "== $*"
}

step "making the package"
started=$SECONDS
if ! "$cpack" --config "$config" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "FAIL: cpack could not make the package" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
deb="$work/out/vesk-ftpuploader_${version}-1_${arch}.deb"
[ -f "$deb" ] || { ls -l "$work/out" >&2; echo "FAIL: no $(basename "$deb")" >&2; exit 1; }
echo "$(basename "$deb"), $(stat -c %s "$deb") bytes, in $((SECONDS - started)) s"

step "control fields"
[ "$(dpkg-deb --field "$deb" Package)" = vesk-ftpuploader ] || fail "Package is $(dpkg-deb --field "$deb" Package)"
[ "$(dpkg-deb --field "$deb" Version)" = "${version}-1" ] || fail "Version is $(dpkg-deb --field "$deb" Version)"
[ "$(dpkg-deb --field "$deb" Description | head -n 1)" = "unattended hot-folder uploader for event pictures" ] \
  || fail "the summary is wrong"
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
# One package name per line, versions and alternatives taken apart.
depends_names=$(tr ',|' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')

root="$work/root"
dpkg-deb -x "$deb" "$root"
usr="$root/usr"

step "files, owners and modes"
listing() { # the names in a folder, sorted, on one line
  ls -A "$1" | LC_ALL=C sort | paste -sd ' '
}
[ "$(listing "$root")" = usr ] || fail "the package puts files outside /usr: $(listing "$root")"
sorted() { # the words, sorted, on one line
  printf '%s\n' "$@" | LC_ALL=C sort | paste -sd ' '
}
[ "$(sorted "${bin_names[@]}")" = "vesk-ctl vesk-ftpuploader vesk-photo-service" ] \
  || fail "the build installs \"${bin_names[*]}\" in /usr/bin"
[ "${#libexec_names[@]}" -ge 2 ] || fail "the build installs only \"${libexec_names[*]}\" in /usr/libexec"
programs=()
for name in "${bin_names[@]}"; do programs+=("bin/$name"); done
for name in "${libexec_names[@]}"; do programs+=("libexec/vesk-ftpuploader/$name"); done
for program in "${programs[@]}"; do
  if [ ! -f "$usr/$program" ] || [ ! -x "$usr/$program" ]; then
    fail "no executable /usr/$program"
  fi
done
[ "$(listing "$usr/bin")" = "$(sorted "${bin_names[@]}")" ] || fail "/usr/bin holds $(listing "$usr/bin")"
[ "$(listing "$usr/libexec/vesk-ftpuploader")" = "$(sorted "${libexec_names[@]}")" ] \
  || fail "/usr/libexec/vesk-ftpuploader holds $(listing "$usr/libexec/vesk-ftpuploader")"
files=(share/applications/vesk-ftpuploader.desktop
  share/icons/hicolor/scalable/apps/vesk-ftpuploader.svg
  share/man/man1/vesk-ftpuploader.1.gz share/man/man1/vesk-ctl.1.gz share/man/man1/vesk-photo-service.1.gz
  lib/systemd/user/vesk-ftpuploader.service
  share/doc/vesk-ftpuploader/README.md share/doc/vesk-ftpuploader/copyright
  share/doc/vesk-ftpuploader/changelog.Debian.gz)
for file in "${files[@]}"; do
  [ -f "$usr/$file" ] || fail "no /usr/$file"
done
for picture in $(grep -o '](docs/[^)]*)' "$usr/share/doc/vesk-ftpuploader/README.md" | sed 's/^](//; s/)$//'); do
  [ -f "$usr/share/doc/vesk-ftpuploader/$picture" ] || fail "the README shows $picture, which the package lacks"
done
# Every entry belongs to root, nothing is writable by others, and only the programs are executable.
while read -r mode owner _ _ _ path _; do
  path=${path#./}
  [ "$owner" = root/root ] || fail "$path belongs to $owner"
  case "$mode" in
    d*) [ "$mode" = drwxr-xr-x ] || fail "$path has mode $mode" ;;
    -*)
      expected=-rw-r--r--
      for program in "${programs[@]}"; do
        [ "$path" = "usr/$program" ] && expected=-rwxr-xr-x
      done
      [ "$mode" = "$expected" ] || fail "$path has mode $mode, not $expected"
      ;;
    *) fail "$path is neither a file nor a folder ($mode)" ;;
  esac
done < <(dpkg-deb --contents "$deb")

step "dependencies: every library the programs need comes from a package in Depends"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for program in "${programs[@]}"; do
  file -b "$usr/$program" | grep -q ELF || continue
  file -b "$usr/$program" | grep -q 'not stripped' && fail "/usr/$program is not stripped"
  for library in $(objdump -p "$usr/$program" | awk '$1 == "NEEDED" { print $2 }'); do
    owner=$(dpkg -S "*/$multiarch/$library" 2>/dev/null | head -n 1 | cut -d: -f1) || true
    if [ -z "$owner" ]; then
      fail "/usr/$program needs $library, which no installed package holds"
    elif ! grep -qxF "$owner" <<<"$depends_names"; then
      fail "/usr/$program needs $library from $owner, which Depends does not name"
    fi
  done
done

step "lintian: no errors"
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(grep -v '^[WIPNX]:' "$work/lintian.log")"

step "desktop entry"
desktop="$usr/share/applications/vesk-ftpuploader.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
grep -qx 'Exec=vesk-ftpuploader %f' "$desktop" || fail "the desktop entry's Exec is $(grep '^Exec=' "$desktop")"
grep -Eq '^MimeType=(.*;)?inode/directory;' "$desktop" || fail "the desktop entry does not open folders"

step "manual pages"
for page in vesk-ftpuploader vesk-ctl vesk-photo-service; do
  if ! LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$usr/share/man/man1/$page.1.gz" \
      >"$work/$page.txt" 2>"$work/$page.err"; then
    fail "man cannot show $page(1): $(cat "$work/$page.err")"
  elif [ -s "$work/$page.err" ]; then
    fail "man warns about $page(1): $(cat "$work/$page.err")"
  fi
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS"; do
    grep -qx "$section" "$work/$page.txt" || fail "$page(1) has no $section section"
  done
done

step "systemd user unit"
unit="$usr/lib/systemd/user/vesk-ftpuploader.service"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$exec_start" = "/usr/bin/vesk-ftpuploader --headless" ] || fail "the unit's ExecStart is \"$exec_start\""
grep -qx 'Restart=on-failure' "$unit" || fail "the unit is not restarted on failure"
# A relaunch is an exit with status 75, which systemd takes for a success and restarts.
for line in Environment=VESK_RELAUNCH_EXIT=75 SuccessExitStatus=75 RestartForceExitStatus=75; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
restart_sec=$(sed -n 's/^RestartSec=\([0-9]*\)$/\1/p' "$unit")
[ "${restart_sec:-0}" -ge 2 ] || fail "the unit's RestartSec is below 2 s: a run of relaunches would hit the start limit"
# systemd's own reading of the unit, with ExecStart pointing at the unpacked program; its warnings
# go to standard error even when it succeeds.
mkdir -m 700 "$work/unit-runtime"
sed "s|^ExecStart=/usr/|ExecStart=$usr/|" "$unit" >"$work/vesk-ftpuploader.service"
if ! XDG_RUNTIME_DIR="$work/unit-runtime" systemd-analyze --user --man=no verify "$work/vesk-ftpuploader.service" \
  >"$work/verify.log" 2>&1 || [ -s "$work/verify.log" ]; then
  fail "systemd-analyze verify: $(cat "$work/verify.log")"
fi

step "help and version of every program"
for program in "${programs[@]}"; do
  name=$(basename "$program")
  if ! out=$(env -u VESK_LIBEXEC_DIR "$usr/$program" --version 2>&1); then
    fail "$name --version fails: $out"
  elif [ "$out" != "$name $version" ]; then
    fail "$name --version prints \"$out\""
  fi
  out=$(env -u VESK_LIBEXEC_DIR "$usr/$program" --help 2>&1) && grep -q "^Usage: $name" <<<"$out" \
    && grep -q "^Exit status: " <<<"$out" || fail "$name --help fails, or lacks its usage or exit status: $out"
done

step "auxiliary programs found from the installed layout"
cp "$lookup" "$usr/bin/vesk-auxiliary-lookup"
mkdir -m 700 "$work/lookup-runtime"
found=$(env -u VESK_LIBEXEC_DIR XDG_RUNTIME_DIR="$work/lookup-runtime" "$usr/bin/vesk-auxiliary-lookup" \
  "${libexec_names[@]}")
rm "$usr/bin/vesk-auxiliary-lookup"
expected=$(printf "$usr/libexec/vesk-ftpuploader/%s\n" "${libexec_names[@]}")
[ "$found" = "$expected" ] || fail "the application finds its auxiliary programs at: $found"

step "a headless start: vesk-ctl is answered, SIGTERM quits cleanly"
home="$work/home"
mkdir -p "$home" && mkdir -m 700 "$work/runtime"
session=(env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="$home" XDG_CONFIG_HOME="$home/.config"
  XDG_STATE_HOME="$home/.local/state" XDG_RUNTIME_DIR="$work/runtime" VESK_UPLOAD_URL=http://127.0.0.1:9/index.php)
"${session[@]}" "$usr/bin/vesk-ftpuploader" --headless >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
for _ in $(seq 200); do # at most about 20 s until the command channel answers
  out=$("${session[@]}" "$usr/bin/vesk-ctl" --timeout 5 getValue prefSecondsBetweenScans 2>&1) && break
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.1
done
[ "$out" = $'COMMAND SUCCESS\ngetValue\nprefSecondsBetweenScans\n120.00' ] \
  || fail "the installed program does not answer vesk-ctl: $out"
kill -TERM "$app_pid" 2>/dev/null || true
status=0
timeout 15 tail --pid="$app_pid" -f /dev/null || fail "the program is still running 15 s after SIGTERM"
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || fail "the program ended with status $status after SIGTERM"
[ -s "$home/.local/state/Vesk-FTPUploader/Vesk-FTPUploaderLog.txt" ] || fail "no message log was written"
grep -qx '\[setup\] The source and mirror folders are not set: vesk-ctl folders SOURCE MIRROR' "$work/app.out" \
  || fail "a start without settings does not say how to set the folders"
[ "$failures" -eq 0 ] || tail -n 20 "$work/app.err" >&2

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the package is sound"
