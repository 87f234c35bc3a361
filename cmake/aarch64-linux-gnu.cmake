# Cross-builds for 64-bit ARM (Raspberry Pi OS Bookworm 64-bit, Debian 12
# arm64) on a Debian 12 machine of another architecture, from Debian's
# multiarch packages: crossbuild-essential-arm64 and the :arm64 builds of the
# libraries (scripts/install-deps.sh --arm64). Qt's code generators (moc)
# and wayland-scanner are the build machine's own.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for the arm64 libraries")

# Programs from the build machine; libraries and headers from the multiarch
# folders, which CMAKE_LIBRARY_ARCHITECTURE puts first.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Qt's tools (moc, rcc) of the build machine's own Qt of the same version.
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH OUTPUT_VARIABLE _build_multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QT_HOST_PATH /usr CACHE PATH "Prefix of the build machine's Qt")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${_build_multiarch}/cmake CACHE PATH "CMake files of the build machine's Qt")

# Test executables run through qemu's user-mode emulation (qemu-user-static),
# which finds the arm64 loader and libraries in their multiarch folders.
find_program(ECRAN_QEMU_AARCH64 qemu-aarch64-static qemu-aarch64)
if(ECRAN_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ECRAN_QEMU_AARCH64})
endif()

# The package's architecture, for dpkg-shlibdeps and the file name.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
