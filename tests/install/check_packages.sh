#!/usr/bin/env bash
# Builds the Debian packages (tools/build-packages, which fails on what
# lintian finds), checks what each holds and depends on, installs them with
# dpkg into a scratch root, builds a program against the installed files
# through the CMake package and pkg-config and runs it, reads its log with
# the packaged eklog, and removes the packages, leaving nothing behind.
#   check_packages.sh <source dir> <packaging build dir>
set -euo pipefail
source_dir=$1
build_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "check_packages: $*" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps lintian file pkg-config; do
  if ! command -v $tool >/dev/null; then
    echo "check_packages: no $tool here (tools/install-deps test installs it)"
    exit 77  # skipped
  fi
done

"$source_dir/tools/build-packages" "$scratch/debs" "$build_dir"
version=$(sed -n 's/^project(eklogger VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=$scratch/debs/libeklogger1_${version}_$arch.deb
dev=$scratch/debs/libeklogger-dev_${version}_$arch.deb
tools=$scratch/debs/eklogger-tools_${version}_$arch.deb
for deb in "$runtime" "$dev" "$tools"; do [[ -f $deb ]] || fail "not built: $deb"; done

# What each package holds.
holds() {
  local deb=$1; shift
  local listing
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -qxF "./$path" <<<"$listing" || fail "$(basename "$deb") lacks $path"
  done
}
lib=usr/lib/$multiarch
holds "$runtime" $lib/libeklogger.so.1 $lib/libgwtoolkit.so.1 $lib/liblcs.so.1 $lib/libnxrt.so.1 \
  usr/share/eklogger/catfiles/en_US/eklogger.cat usr/share/eklogger/catfiles/fr/eklogger.cat \
  usr/share/eklogger/catfiles/ja/eklogger.cat usr/share/eklogger/schema/eklogger-log.xsd \
  usr/share/eklogger/examples/eklogger.properties usr/share/doc/libeklogger1/copyright
holds "$dev" usr/include/eklogger/eklogmanager.h usr/include/eklogger/platform/toolkit.h \
  $lib/libeklogger.so $lib/pkgconfig/eklogger.pc $lib/cmake/eklogger/ekloggerConfig.cmake
holds "$tools" usr/bin/eklog usr/share/man/man1/eklog.1.gz
dpkg-deb -c "$runtime" | awk '{print $6}' | grep -q 'include/' && fail "headers in the runtime package"
dpkg-deb -c "$runtime" | grep -q 'libeklogger\.so ->' && fail "the link for -l in the runtime package"
[[ $(dpkg-deb -f "$dev" Depends) == "libeklogger1 (= $version)" ]] || fail "dev Depends: $(dpkg-deb -f "$dev" Depends)"
dpkg-deb -f "$runtime" Depends | grep -q 'libstdc++6' || fail "runtime Depends lacks libstdc++6"
dpkg-deb -f "$tools" Depends | grep -q 'libpcre2' || fail "tools Depends lacks what eklog links"
dpkg-deb -I "$runtime" shlibs | grep -qx "libeklogger 1 libeklogger1 (>= $version)" ||
  fail "runtime shlibs: $(dpkg-deb -I "$runtime" shlibs)"
dpkg-deb -I "$runtime" triggers | grep -qx 'activate-noawait ldconfig' || fail "no ldconfig trigger"
dpkg-deb -x "$runtime" "$scratch/unpacked"
for library in eklogger gwtoolkit lcs nxrt; do
  soname=$(objdump -p "$scratch/unpacked/$lib/lib$library.so.1" | awk '$1 == "SONAME" {print $2}')
  [[ $soname == "lib$library.so.1" ]] || fail "lib$library SONAME $soname"
done

# Installed by dpkg into a root of their own.  The C library and the rest
# are the machine's, not the scratch root's: dependencies are not checked
# there, and maintainer scripts run outside it.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$root" --force-depends --force-script-chrootless --force-not-root
           --log=/dev/null)
"${dpkg_root[@]}" -i "$runtime" "$dev" "$tools" >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg -i failed"; }
for package in libeklogger1 libeklogger-dev eklogger-tools; do
  [[ $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status} ${Version}' $package) == \
     "install ok installed $version" ]] || fail "$package is not installed"
done

work=$scratch/work
mkdir -p "$work"
cp "$root/usr/share/eklogger/examples/eklogger.properties" "$work/"
french="fr: Serveur démarré sur le port %1\$d"
cmake -S "$source_dir/tests/install/consumer" -B "$scratch/consumer" \
      -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
output=$(LD_LIBRARY_PATH=$root/$lib "$scratch/consumer/consumer" "$work")
grep -qxF "$french" <<<"$output" || fail "CMake consumer said: $output"
grep -qxF "group ready" <<<"$output" || fail "CMake consumer said: $output"

export PKG_CONFIG_PATH=$root/$lib/pkgconfig
catalogdir=$(pkg-config --variable=catalogdir eklogger)
[[ $(realpath "$catalogdir") == "$root/usr/share/eklogger/catfiles" ]] ||
  fail "pkg-config catalogdir: $catalogdir"
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/tests/install/consumer/main.cpp" -o "$scratch/consumer_pc" \
    $(pkg-config --cflags --libs eklogger)
output=$(LD_LIBRARY_PATH=$root/$lib "$scratch/consumer_pc" "$work" "$catalogdir")
grep -qxF "$french" <<<"$output" || fail "pkg-config consumer said: $output"

# The packaged eklog reads what the consumer logged.
log=$(grep -rl "installed and linked" "$work" | head -n 1)
[[ -n $log ]] || fail "the consumer's record is in no file under $work"
"$root/usr/bin/eklog" "$log" | grep -q "installed and linked" || fail "eklog did not read $log"
zcat "$root/usr/share/man/man1/eklog.1.gz" | grep -q '^\.TH EKLOG 1' || fail "eklog.1 is no man page"

"${dpkg_root[@]}" --purge eklogger-tools libeklogger-dev libeklogger1 >"$scratch/dpkg.log" 2>&1 ||
  { cat "$scratch/dpkg.log"; fail "dpkg --purge failed"; }
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[[ -z $left ]] || fail "left after removal: $left"
echo "packages ok: $(cd "$scratch/debs" && echo *.deb)"
