#!/usr/bin/env bash
# Installation and the Debian package, checked with the desktop's and Debian's own tools:
# 1. `cmake --install` into a temporary prefix: the desktop entry and the metainfo pass their
#    validators, the icons have the sizes their directories claim, and the installed program runs
#    (--version, --selftest) from another directory with the source and build trees hidden.
# 2. `cpack -G DEB`: the package holds the same files under /usr, its control fields are right, its
#    Depends come from the linked libraries, apt would install it on a machine with nothing
#    installed, and the program unpacked from it runs.
# Usage: install_package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build_dir=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/lumafon-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
app_id=app.orvendal.Lumafon
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Runs the program with a configuration directory of its own, from the root directory, and, where
# the kernel lets an unprivileged user mount in a namespace of its own, with empty directories
# mounted over the source and build trees so that nothing can be read from them.
run_isolated() {
  local bin=$1
  shift
  local env=(env HOME="$work/home" XDG_CONFIG_HOME="$work/config")
  mkdir -p "$work/home" "$work/config"
  if unshare -rm true 2>/dev/null; then
    # shellcheck disable=SC2016
    (cd / && unshare -rm sh -c 'mount -t tmpfs none "$2" && mount -t tmpfs none "$1" && shift 2 && exec "$@"' \
      sh "$source_dir" "$build_dir" "${env[@]}" "$bin" "$@")
  else
    (cd / && "${env[@]}" "$bin" "$@")
  fi
}

check_runs() {
  local bin=$1 what=$2 out
  if ! out=$(run_isolated "$bin" --version 2>&1) || [[ "$out" != *"Lumafon"* ]]; then
    fail "$what: --version did not work: $out"
  fi
  if ! out=$(run_isolated "$bin" --selftest 2>&1); then
    fail "$what: --selftest failed: $out"
  fi
}

# --- 1. cmake --install
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" || fail "cmake --install: $(cat "$work/install.log")"
desktop=$prefix/share/applications/$app_id.desktop
metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
[[ -x $prefix/bin/Lumafon ]] || fail "no program in bin/"
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[[ -z $out ]] || fail "desktop-file-validate has remarks: $out"
for line in Name=Lumafon Icon=lumafon Exec=Lumafon Categories=AudioVideo\;Audio\;Mixer\;; do
  grep -qxF "$line" "$desktop" || fail "the desktop entry lacks the line $line"
done
# The menu's tooltip comes in every language of the interface, English being the plain Comment.
languages=$(grep -cE $'^[A-Za-z_]+\t' "$source_dir/resources/i18n/languages.txt")
comments=$(grep -cE '^Comment\[[A-Za-z_]+\]=.' "$desktop" || true)
[[ $comments -eq $((languages - 1)) ]] || fail "$comments translated comments for $languages languages"
grep -qE '^Comment\[de\]=.*System' "$desktop" || fail "no German comment"
# Any remark, even an informational one such as a missing content rating, counts as a failure.
out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
if grep -qE '^[EWI]:' <<<"$out"; then fail "appstreamcli validate has remarks: $out"; fi
# The metainfo must describe this build and point at the entry that is installed beside it.
version=$("$prefix/bin/Lumafon" --version | grep -oE '[0-9]+\.[0-9]+\.[0-9]+' | head -n 1)
for want in "<id>$app_id</id>" "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" \
  "<release version=\"$version\""; do
  grep -qF "$want" "$metainfo" || fail "the metainfo lacks $want"
done
for size in 16 22 24 32 48 64 128; do
  icon=$prefix/share/icons/hicolor/${size}x${size}/apps/lumafon.png
  if [[ ! -f $icon ]]; then
    fail "no ${size} px icon"
  elif ! file -b "$icon" | grep -qF "PNG image data, $size x $size, 8-bit/color RGBA"; then
    fail "the ${size} px icon is $(file -b "$icon")"
  fi
done
check_runs "$prefix/bin/Lumafon" "installed program"

# --- 2. the Debian package
if ! cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not make the package"
  exit 1
fi
debs=("$work"/deb/lumafon_*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "FAIL: no lumafon_*.deb made"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == lumafon ]] || fail "Package is '$(field Package)'"
[[ $(field Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture is '$(field Architecture)'"
[[ $(field Version) == "$version" ]] || fail "Version '$(field Version)' is not the program's $version"
[[ $(field Section) == sound ]] || fail "Section is '$(field Section)'"
[[ -n $(field Maintainer) ]] || fail "no Maintainer"
[[ $(field Description) == *equali* ]] || fail "Description: $(field Description)"
depends=$(field Depends)
echo "Depends: $depends"
# The libraries the program links, as dpkg-shlibdeps names their packages, each with a version.
for lib in libc6 libstdc++6 libpulse0 libsodium23; do
  grep -qE "(^|, )${lib//+/\\+} \(>= [^)]+\)" <<<"$depends" || fail "Depends lacks a versioned $lib: $depends"
done

# The package holds exactly what cmake --install put under the prefix, moved to /usr.
(cd "$prefix" && find . -type f | sed 's|^\./|./usr/|' | sort) >"$work/installed.txt"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/packaged.txt"
diff -u "$work/installed.txt" "$work/packaged.txt" >"$work/diff.txt" ||
  fail "package and installation differ: $(cat "$work/diff.txt")"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ && $2 != "root/root" { print }' | grep . &&
  fail "files not owned by root in the package"

# apt on a machine with nothing installed: every dependency must be found in the archive.
status=$work/empty-status
: >"$status"
if ls /var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
  apt_opts=(-o Dir::State::status="$status")
else
  apt_opts=() # no package lists here: resolve against what this machine has installed
fi
if ! apt-get -s -q "${apt_opts[@]}" --no-install-recommends install "$deb" >"$work/apt.log" 2>&1 ||
  ! grep -q '^Conf lumafon ' "$work/apt.log"; then
  fail "apt-get would not install the package: $(tail -n 20 "$work/apt.log")"
fi

dpkg-deb -x "$deb" "$work/root"
check_runs "$work/root/usr/bin/Lumafon" "packaged program"

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "installation and package are in order"
