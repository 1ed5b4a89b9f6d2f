#!/usr/bin/env bash
# register-desktop-entry: --help writes nothing; registering writes the
# entry and the icon pointing at the release folder (a path with a blank);
# --remove leaves nothing behind.
#
# Usage: test_desktop_entry.sh REPO_DIR
set -uo pipefail
repo=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ktr6-desktop-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
# shellcheck source=../support/checks.sh
. "$(dirname "$0")/../support/checks.sh"

# A release folder as cmake --install lays it out; the program itself is a
# stand-in, the script only needs it to be there.
release="$work/unpacked here/ktr6-1.0"
mkdir -p "$release"
cp "$repo/resources/register-desktop-entry" "$repo/resources/ktr6.desktop" "$release/"
cp "$repo/resources/icon.svg" "$release/ktr6.svg"
printf '#!/bin/sh\n' >"$release/ktr6"
chmod +x "$release/ktr6"

# Files under $1, one per line, relative.
listing() { (cd "$1" && find . -mindepth 1 | sort); }

# Each way to name the data folder: HOME alone, and XDG_DATA_HOME. The data
# folder exists, as on any desktop; nothing may be left in it.
for how in home xdg; do
  home="$work/home-$how"
  rm -rf "$home"
  mkdir -p "$home"
  if [ "$how" = home ]; then
    data="$home/.local/share"
    env=(env -u XDG_DATA_HOME HOME="$home")
  else
    data="$home/data"
    env=(env HOME="$home/elsewhere" XDG_DATA_HOME="$data")
  fi
  mkdir -p "$data"
  entry="$data/applications/ktr6.desktop"
  icon="$data/icons/hicolor/scalable/apps/ktr6.svg"

  for option in --help -h; do
    out=$("${env[@]}" "$release/register-desktop-entry" "$option" 2>&1)
    rc=$?
    [ "$rc" -eq 0 ] || fail "$how $option: exit status $rc"
    [ -z "$(listing "$data")" ] || fail "$how $option: wrote $(listing "$data")"
    grep -q '^Usage: register-desktop-entry' <<<"$out" || fail "$how $option: no usage: $out"
    grep -qF "$entry" <<<"$out" || fail "$how $option: does not name $entry"
    grep -qF -- "--remove" <<<"$out" || fail "$how $option: does not explain --remove"
  done

  "${env[@]}" "$release/register-desktop-entry" --bogus >/dev/null 2>&1
  rc=$?
  [ "$rc" -eq 2 ] || fail "$how --bogus: exit status $rc"
  [ -z "$(listing "$data")" ] || fail "$how --bogus: wrote $(listing "$data")"

  "${env[@]}" "$release/register-desktop-entry" >/dev/null || fail "$how: registering failed"
  [ "$(grep '^Exec=' "$entry")" = "Exec=\"$release/ktr6\"" ] ||
    fail "$how: $(grep '^Exec=' "$entry")"
  [ "$(grep '^Icon=' "$entry")" = "Icon=$icon" ] || fail "$how: $(grep '^Icon=' "$entry")"
  cmp -s "$icon" "$release/ktr6.svg" || fail "$how: the icon is not the release's"
  [ "$(grep -c '' "$entry")" -eq "$(grep -c '' "$release/ktr6.desktop")" ] ||
    fail "$how: the entry lost lines of ktr6.desktop"
  [ "$(listing "$data" | grep -c 'ktr6')" -eq 2 ] || fail "$how: wrote $(listing "$data")"

  "${env[@]}" "$release/register-desktop-entry" --remove >/dev/null || fail "$how: --remove failed"
  [ -z "$(listing "$data")" ] || fail "$how: --remove left $(listing "$data")"
  "${env[@]}" "$release/register-desktop-entry" --remove >/dev/null ||
    fail "$how: --remove with nothing registered failed"
done

# What was there before registering stays after --remove.
home="$work/home-kept"
mkdir -p "$home/.local/share/applications"
echo "[Desktop Entry]" >"$home/.local/share/applications/other.desktop"
env -u XDG_DATA_HOME HOME="$home" "$release/register-desktop-entry" >/dev/null
env -u XDG_DATA_HOME HOME="$home" "$release/register-desktop-entry" --remove >/dev/null
[ "$(listing "$home")" = "$(printf './.local\n./.local/share\n./.local/share/applications\n./.local/share/applications/other.desktop')" ] ||
  fail "--remove touched what it did not write: $(listing "$home")"

[ "$failures" -eq 0 ] || exit 1
echo "PASS: register-desktop-entry"
