#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh. The tree build-deb/ is
# configured for the prefix /usr, in the build type the plain tree uses, with
# the distribution's flags; cpack -G DEB makes the package there and its path
# is printed last. KEL_WERROR=ON in the environment turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dpkgflags.sh
dir=build-deb
dpkg_cmake_flags
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKEL_TESTS=OFF -DKEL_BENCH=OFF -DKEL_WERROR="${KEL_WERROR:-OFF}" "${DPKG_CMAKE_FLAGS[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/*.deb
