#!/usr/bin/env bash
# Fails when a built module refers to a C++-mangled name that none of its own libraries
# define. Such a name could only come from the engine, and the engine exports C names only:
# the engine would refuse the module at load ("undefined symbol").
# Argument: the module (vtdb.so).
set -eu
module=$1
[ -f "$module" ] || { echo "no module at $module"; exit 1; }
libs=$(ldd "$module" | awk '$2 == "=>" && $3 ~ /^\// {print $3}')
[ -n "$libs" ] || { echo "ldd lists no library of $module"; exit 1; }
names() { awk '{print $NF}' | sed 's/@.*//' | sort -u; }
undefined=$(nm -D --undefined-only "$module" | names | grep '^_Z' || true)
defined=$(for lib in $libs; do nm -D --defined-only "$lib"; done | names)
left=$(comm -23 <(printf '%s\n' "$undefined" | sed '/^$/d') <(printf '%s\n' "$defined"))
if [ -n "$left" ]; then
  echo "$module refers to C++ names that only the engine could provide (declare them extern \"C\"):"
  printf '%s\n' "$left" | while read -r sym; do printf '  %s  (%s)\n' "$sym" "$(echo "$sym" | c++filt)"; done
  exit 1
fi
echo "$module: every engine function is referred to by its C name"
