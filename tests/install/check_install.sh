#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a program against it,
# once through the CMake package and once through pkg-config; both find the
# installed French catalog through the location the package names.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in include/eklogger/eklogmanager.h include/eklogger/platform/toolkit.h \
            share/eklogger/catfiles/en_US/eklogger.cat share/eklogger/catfiles/fr/eklogger.cat \
            share/eklogger/catfiles/ja/eklogger.cat share/eklogger/schema/eklogger-log.xsd \
            share/eklogger/examples/eklogger.properties share/doc/eklogger/configuration.md; do
  [[ -f $prefix/$file ]] || { echo "not installed: $file"; exit 1; }
done
libdir=$(dirname "$(find "$prefix" -name libeklogger.so | head -n 1)")
for library in eklogger gwtoolkit lcs nxrt; do
  [[ -e $libdir/lib$library.so.1 ]] || { echo "not installed: lib$library.so.1"; exit 1; }
done

# The example configuration is one a program can start with as it is.
cp "$prefix/share/eklogger/examples/eklogger.properties" "$scratch/"
french="fr: Serveur démarré sur le port %1\$d"
cmake -S "$source_dir/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
output=$(LD_LIBRARY_PATH=$libdir "$scratch/consumer/consumer" "$scratch")
grep -qxF "$french" <<<"$output" || { echo "CMake consumer: $output"; exit 1; }

# The .pc file finds its prefix from where it lies: no editing after a move.
export PKG_CONFIG_PATH=$libdir/pkgconfig
catalogdir=$(pkg-config --variable=catalogdir eklogger)
[[ $(realpath "$catalogdir") == "$prefix/share/eklogger/catfiles" ]] ||
  { echo "pkg-config catalogdir: $catalogdir"; exit 1; }
[[ -f $(pkg-config --variable=exampleconf eklogger) ]] || { echo "no exampleconf"; exit 1; }
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/consumer/main.cpp" -o "$scratch/consumer_pc" \
    $(pkg-config --cflags --libs eklogger)
output=$(LD_LIBRARY_PATH=$libdir "$scratch/consumer_pc" "$scratch" "$catalogdir")
grep -qxF "$french" <<<"$output" || { echo "pkg-config consumer: $output"; exit 1; }
echo "install ok"
