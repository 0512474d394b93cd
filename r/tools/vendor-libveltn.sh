#!/bin/sh
# Copies the library's sources into tools/libveltn when the package sits in a libveltn
# repository (r/ beside CMakeLists.txt, include/ and src/), so that the package builds the
# library itself and the tarball of R CMD build carries the copy. Whole directories are copied,
# not a list of files. In a repository the copy is refreshed on every run, so that it follows
# the sources; outside one (an unpacked tarball) the carried copy is used as it is.
# Run from the package directory (r/); configure runs it. The copy is ignored by git.
set -e
top=..
dest=tools/libveltn
if [ -f "$top/CMakeLists.txt" ] && [ -f "$top/include/veltn.h" ] && [ -d "$top/src" ] && [ -f "$top/r/DESCRIPTION" ]; then
  rm -rf "$dest.new"
  mkdir -p "$dest.new"
  for part in CMakeLists.txt LICENSE cmake include src; do
    if [ -e "$top/$part" ]; then cp -Rp "$top/$part" "$dest.new/"; fi
  done
  rm -rf "$dest"
  mv "$dest.new" "$dest"
  echo "vendor-libveltn: copied the library's sources from $(cd "$top" && pwd) into $dest"
elif [ ! -f "$dest/CMakeLists.txt" ]; then
  echo "vendor-libveltn: the library's sources are neither in $dest nor in a repository around the package" >&2
  exit 1
fi
