# Sourced: dpkg_cmake_flags fills the array DPKG_CMAKE_FLAGS with the CMake
# cache settings of a Debian package build (dpkg-buildflags, every hardening
# feature on). CMake does not read CPPFLAGS, so they go in front of the
# compiler flags, as debhelper does.
dpkg_cmake_flags() {
  local get="env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get"
  local cpp
  cpp=$($get CPPFLAGS)
  DPKG_CMAKE_FLAGS=(
    "-DCMAKE_C_FLAGS=$cpp $($get CFLAGS)"
    "-DCMAKE_CXX_FLAGS=$cpp $($get CXXFLAGS)"
    "-DCMAKE_EXE_LINKER_FLAGS=$($get LDFLAGS)"
    "-DCMAKE_SHARED_LINKER_FLAGS=$($get LDFLAGS)"
  )
}
