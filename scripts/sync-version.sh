#!/usr/bin/env bash
# The version is written once, in CMakeLists.txt's project(VERSION). The Python package reads it
# when it is built; r/DESCRIPTION must hold a literal version, so it keeps a copy that this script
# writes. Usage: scripts/sync-version.sh          (update r/DESCRIPTION)
#                scripts/sync-version.sh --check  (exit 1 when the copy differs; CI runs this)
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n -E 's/^project\(veltn VERSION ([0-9]+\.[0-9]+\.[0-9]+).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "sync-version: no project(veltn VERSION x.y.z) line in CMakeLists.txt" >&2
  exit 1
fi
copy=$(sed -n -E 's/^Version: *//p' r/DESCRIPTION)
if [ "${1:-}" = --check ]; then
  if [ "$copy" != "$version" ]; then
    echo "r/DESCRIPTION has Version: $copy but CMakeLists.txt has project(VERSION $version):" \
         "run scripts/sync-version.sh" >&2
    exit 1
  fi
  echo "version $version: r/DESCRIPTION agrees with CMakeLists.txt"
elif [ "$copy" != "$version" ]; then
  sed -i -E "s/^Version: .*/Version: $version/" r/DESCRIPTION
  echo "r/DESCRIPTION: Version $copy -> $version"
fi
