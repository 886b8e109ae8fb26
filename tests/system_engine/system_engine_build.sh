#!/usr/bin/env bash
# Builds the module with VTDB_ENGINE=system against an engine package description whose
# headers are the stand-in's, and checks that the module takes the engine's compile flags and
# does not link the engine's library (the engine process provides its symbols).
# Arguments: source directory, work directory, engine include directory.
set -eu
src=$1 work=$2 include=$3
rm -rf "$work"
mkdir -p "$work/pkgconfig"
# The library named here does not exist: linking it would fail the build.
cat >"$work/pkgconfig/naemon.pc" <<PC
prefix=$work/engine
includedir=$include
libdir=$work/engine/lib

Name: naemon
Description: engine headers for the build test
Version: 1.4.1
Cflags: -I\${includedir} -DVT_ENGINE_BUILD_PROBE=1
Libs: -L\${libdir} -lnaemon
PC

export PKG_CONFIG_PATH="$work/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
cmake -S "$src" -B "$work/build" -DVTDB_ENGINE=system -DVANTOR_TESTS=OFF -DVANTOR_BENCH=OFF \
      -DVANTOR_ROOT="$work/root" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/cmake.log" 2>&1 \
  || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/build" --target vtdb -j2 >"$work/build.log" 2>&1 \
  || { tail -n 40 "$work/build.log"; exit 1; }

module=$(find "$work/build" -name vtdb.so | head -n 1)
[ -n "$module" ] || { echo "no vtdb.so built"; exit 1; }
if readelf -d "$module" | grep NEEDED | grep -qi naemon; then
  echo "vtdb.so links the engine's library:"; readelf -d "$module" | grep NEEDED; exit 1
fi
if ! grep -q 'vtdb_module.cpp' "$work/build/compile_commands.json" ||
   ! grep 'vtdb_module.cpp' -B3 "$work/build/compile_commands.json" | grep -q 'VT_ENGINE_BUILD_PROBE=1'; then
  echo "the module was not compiled with the engine's compile flags"; exit 1
fi
# The engine's symbols stay undefined, to be resolved in the engine process.
nm -D --undefined-only "$module" | grep -qw neb_register_callback \
  || { echo "neb_register_callback is not left to the engine"; exit 1; }
echo "module built against the installed-engine path without linking the engine"
