#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh. The tree build-deb/ is
# configured for the prefix /usr, in the build type the plain tree uses, with
# the distribution's flags; cpack -G DEB makes the package there and its path
# is printed last. KEL_WERROR=ON in the environment turns warnings into errors;
# KEL_DEB_MAINTAINER sets the package's Maintainer field.
#
# The build stamp and every file time come from the release date of the
# version in cmake/deb/changelog (SOURCE_DATE_EPOCH), so each rebuild of one
# version gives the same stamp, and one commit gives the same .deb bytes
# whatever directory it is built in.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/dpkgflags.sh
dir=build-deb
changelog=cmake/deb/changelog
version=$(sed -n 's/^project(kelvlx VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
debversion=$(dpkg-parsechangelog -l "$changelog" -SVersion)
if [ "${debversion%-*}" != "$version" ]; then
  echo "package.sh: $changelog has no entry for version $version at its top" >&2
  exit 1
fi
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$changelog" -STimestamp)
export SOURCE_DATE_EPOCH
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
maint=()
[ -z "${KEL_DEB_MAINTAINER:-}" ] || maint=("-DKEL_DEB_MAINTAINER=$KEL_DEB_MAINTAINER")
dpkg_cmake_flags
# The build path must not reach the binaries: debug info and __FILE__ name
# the source as "." and the tree as "build".
src=$PWD
prefix_map="-ffile-prefix-map=$src=. -ffile-prefix-map=$src/$dir=build"
for i in 0 1; do DPKG_CMAKE_FLAGS[$i]+=" $prefix_map"; done
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKEL_TESTS=OFF -DKEL_BENCH=OFF -DKEL_WERROR="${KEL_WERROR:-OFF}" -DKEL_GZIP_MAN=ON -DKEL_DEB_FILES=ON \
  -DKEL_OXL_DIR="/usr/lib/$multiarch/kelvlx" -DKEL_DEB_REVISION="${debversion##*-}" -UKEL_BUILD_STAMP -UKEL_OXL_BUILD_ID "${maint[@]}" "${DPKG_CMAKE_FLAGS[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
# The symbols file lists what the built library exports, each from this upstream
# version on, so that it follows the library's export list as it changes;
# dpkg-gensymbols fails on a library without a SONAME or exported symbols.
lib=$(readlink -f "$dir/client/libkelvlx-client.so")
dpkg-gensymbols -q -plibkelvlx-client1 -v"$version" -P/nonexistent -e"$lib" -O"$dir/deb/symbols" >/dev/null
grep -q '^libkelvlx-client\.so\.1 libkelvlx-client1 ' "$dir/deb/symbols"
echo "libkelvlx-client 1 libkelvlx-client1 (>= $version)" >"$dir/deb/shlibs"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$PWD/$dir"/*.deb
