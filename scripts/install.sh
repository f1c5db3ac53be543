#!/usr/bin/env bash
# A live install of a built tree into the running system, as root:
# scripts/install.sh [build-dir] (default build-install). It installs to the
# prefix the tree was configured with, creates the group of the agent's
# callers when it is missing and makes the agent root:<group> mode 4750.
# A plain `cmake --install` (with or without --prefix or DESTDIR) does none
# of that and writes only below its destination.
set -euo pipefail
dir=${1:-build-install}
if [ ! -f "$dir/cmake_install.cmake" ]; then
  echo "install.sh: $dir is not a configured build tree (cmake -S . -B $dir, then cmake --build $dir)" >&2
  exit 2
fi
if [ "$(id -u)" != 0 ]; then
  echo "install.sh: a live install sets the agent's owner and set-user-id bit: run it as root" >&2
  exit 1
fi
cmake -DKEL_LIVE_INSTALL=ON -P "$dir/cmake_install.cmake"
