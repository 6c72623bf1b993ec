#!/usr/bin/env bats
# The root scripts run as root with rm -rf, mv and mounts: here with stand-ins for mmdebstrap,
# chroot, mount, curl and apt-get on PATH that log what they are asked, against a checkout of the
# scripts reached through a symbolic link. Needs root for unshare -m.
# shellcheck disable=SC2016 # the stand-ins' bodies are scripts of their own, expanded when they run

setup() {
  [ "$(id -u)" = 0 ] || skip "needs root (unshare -m)"
  top=$(cd "$BATS_TEST_TMPDIR" && pwd -P)
  mkdir -p "$top/real/checkout/scripts" "$top/bin"
  cp "$BATS_TEST_DIRNAME"/../../scripts/{obs-root.sh,in-root.sh,root-paths.sh} "$top/real/checkout/scripts/"
  ln -s real "$top/link"
  checkout=$top/link/checkout
  physical=$top/real/checkout
  export STAND_IN_LOG=$top/calls.log STAND_IN_ARCHIVE=file://$top/archive/debian  # a path, so no host is named
  : >"$STAND_IN_LOG"
  stand_in mmdebstrap '
args=("$@"); target=${args[$# - 2]}
[ -z "${STAND_IN_SLOW:-}" ] || sleep 1
mkdir -p "$target/usr/bin" && touch "$target/usr/bin/obs" && chmod +x "$target/usr/bin/obs"'
  stand_in chroot '
if [ "$2" = dpkg-query ]; then echo 32.2.2+ds-1; exit 0; fi
shift; cd / && exec "$@"'
  stand_in mount ''
  stand_in curl ''
  stand_in apt-get '[ -z "$STAND_IN_ARCHIVE" ] || echo "$STAND_IN_ARCHIVE/"'
  export PATH=$top/bin:$PATH VELMORA_OBS32_ROOT=$top/roots/obs32 VELMORA_OBS29_ROOT=$top/roots/obs29
}

# stand_in <name> <body>: a command that logs its name and arguments, then runs body (a script of
# its own, expanded when it runs).
stand_in() {
  printf '#!/bin/bash\necho "%s $*" >>"$STAND_IN_LOG"\n%s\n' "$1" "$2" >"$top/bin/$1"
  chmod +x "$top/bin/$1"
}

# An OBS root the scripts made earlier, with another package list.
old_root() {
  mkdir -p "$1/usr/bin" && touch "$1/usr/bin/obs" "$1/keep" && chmod +x "$1/usr/bin/obs"
  echo old-list >"$1/.velmora-packages"
}

calls() { grep "^$1 " "$STAND_IN_LOG" || true; }

@test "a root path with a trailing slash is made again beside itself, not inside" {
  old_root "$top/roots/obs32"
  VELMORA_OBS32_ROOT=$top/roots/obs32/ run bash "$checkout/scripts/obs-root.sh" 32
  [ "$status" = 0 ] || { echo "$output"; false; }
  [ -x "$top/roots/obs32/usr/bin/obs" ]
  [ ! -e "$top/roots/obs32/keep" ]
  [ ! -e "$top/roots/obs32/.new" ]
  [ ! -e "$top/roots/obs32.new" ]
  calls mmdebstrap | grep -q " sid $top/roots/obs32.new file://$top/archive/debian$"
}

@test "roots that are one path or nested are refused before anything is removed" {
  for pair in "obs32 obs32" "outer outer/inner" "outer/inner outer" "outer/ outer/./" "a/b/../c a/c/d"; do
    read -r one two <<<"$pair"
    rm -rf "$top/roots"
    old_root "$top/roots/$one"
    old_root "$top/roots/$two"
    for obs in 32 29; do
      VELMORA_OBS32_ROOT=$top/roots/$one VELMORA_OBS29_ROOT=$top/roots/$two run bash "$checkout/scripts/obs-root.sh" "$obs"
      [ "$status" = 2 ] || { echo "$pair for $obs: $output"; false; }
      [[ "$output" == *"overlap"* ]]
      VELMORA_OBS32_ROOT=$top/roots/$one VELMORA_OBS29_ROOT=$top/roots/$two run bash "$checkout/scripts/in-root.sh" true
      [ "$status" = 2 ]
    done
    [ -e "$top/roots/$one/keep" ]
    [ -e "$top/roots/$two/keep" ]
  done
  [ -z "$(calls mmdebstrap)$(calls mount)" ]
  # Nor a root that holds the checkout, or a folder the script did not make.
  VELMORA_OBS32_ROOT=$top run bash "$checkout/scripts/obs-root.sh" 32
  [ "$status" = 2 ]
  [ -d "$physical/scripts" ]
  mkdir -p "$top/mine" && touch "$top/mine/precious"
  VELMORA_OBS32_ROOT=$top/mine run bash "$checkout/scripts/obs-root.sh" 32
  [ "$status" = 1 ]
  [ -e "$top/mine/precious" ]
}

@test "the archive is the one the machine's apt names, and none is a one-line error" {
  STAND_IN_ARCHIVE='' run bash "$checkout/scripts/obs-root.sh" 32
  [ "$status" = 1 ]
  [ "${#lines[@]}" = 1 ]
  [[ "$output" == "This machine's apt sources name no Debian archive"* ]]
  [ -z "$(calls mmdebstrap)" ]
}

@test "a run in the root from a checkout behind a symbolic link uses physical paths and leaves the root as it was" {
  old_root "$top/roots/obs32"
  before=$(cd "$top/roots/obs32" && find . | sort)
  cd "$checkout"
  run bash scripts/in-root.sh --rw build-obs32 -- pwd
  [ "$status" = 0 ] || { echo "$output"; false; }
  [ "$output" = "$physical" ]
  [ -d "$physical/build-obs32" ]
  calls mount | grep -q -- "--bind $physical $top/roots/obs32.scratch/merged$physical$"
  calls mount | grep -q -- "--bind $physical/build-obs32 $top/roots/obs32.scratch/merged$physical/build-obs32$"
  calls chroot | grep -q "^chroot $top/roots/obs32.scratch/merged sh -c .* $physical pwd$"
  # Every mount lands in the copy, none in the root.
  if calls mount | grep -v -- "lowerdir=" | grep " $top/roots/obs32/"; then false; fi
  [ "$(cd "$top/roots/obs32"
  find . | sort)" = "$before" ]
}

@test "a rebuild waits for the runs in the root, and two rebuilds make it once" {
  old_root "$top/roots/obs32"
  bash "$checkout/scripts/in-root.sh" -- sh -c "touch $top/running; sleep 2; echo 'run ends' >>$STAND_IN_LOG" &
  for _ in $(seq 100); do [ ! -e "$top/running" ] || break; sleep 0.1; done
  [ -e "$top/running" ]
  STAND_IN_SLOW=1 bash "$checkout/scripts/obs-root.sh" 32 >"$top/first.out" 2>&1 &
  STAND_IN_SLOW=1 bash "$checkout/scripts/obs-root.sh" 32 >"$top/second.out" 2>&1 &
  wait
  grep -v '^\(mount\|chroot\|curl\|apt-get\) ' "$STAND_IN_LOG" | head -n1 | grep -q '^run ends$'
  [ "$(calls mmdebstrap | wc -l)" = 1 ]
  grep -q "OBS 32.2.2+ds-1 in $top/roots/obs32" "$top/first.out"
  grep -q "OBS 32.2.2+ds-1 in $top/roots/obs32" "$top/second.out"
  [ ! -e "$top/roots/obs32.new" ]
}

@test "test installers made before the recipe changed are made again" {
  command -v osslsigncode >/dev/null && command -v x86_64-w64-mingw32-gcc >/dev/null || skip "needs osslsigncode and MinGW-w64"
  fixtures=$top/fixtures
  mkdir -p "$fixtures" && touch "$fixtures/complete" "$fixtures/installer-signed.exe"
  run bash "$BATS_TEST_DIRNAME/../fixtures/make-installers.sh" "$fixtures"
  [ "$status" = 0 ]
  [ -s "$fixtures/installer-expired-stamped.exe" ]
  [ -s "$fixtures/installer-signed.exe" ]
  touch -d '2000-01-01' "$fixtures/installer-signed.exe"
  run bash "$BATS_TEST_DIRNAME/../fixtures/make-installers.sh" "$fixtures"
  [ "$status" = 0 ] || { echo "$output"; false; }
  [ -z "$(find "$fixtures/installer-signed.exe" -newermt 2001-01-01)" ]
}
