#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a program against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
for header in eklogger/eklogmanager.h eklogger/platform/toolkit.h; do
  [[ -f $scratch/prefix/include/$header ]] || { echo "not installed: $header"; exit 1; }
done
libdir=$(dirname "$(find "$scratch/prefix" -name libeklogger.so | head -n 1)")
for library in eklogger gwtoolkit lcs nxrt; do
  [[ -e $libdir/lib$library.so.1 ]] || { echo "not installed: lib$library.so.1"; exit 1; }
done

cmake -S "$source_dir/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
      >/dev/null
cmake --build "$scratch/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir "$scratch/consumer/consumer" "$scratch" >/dev/null

export PKG_CONFIG_PATH=$libdir/pkgconfig
sed -i "s|^prefix=.*|prefix=$scratch/prefix|" "$libdir/pkgconfig/eklogger.pc"
# shellcheck disable=SC2046
c++ -std=c++17 "$source_dir/consumer/main.cpp" -o "$scratch/consumer_pc" \
    $(pkg-config --cflags --libs eklogger)
LD_LIBRARY_PATH=$libdir "$scratch/consumer_pc" "$scratch" >/dev/null
echo "install ok"
