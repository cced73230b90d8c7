# Builds the real driver and kwotarv.exe with mingw-w64 for every target architecture as part of
# the host build, so the image checks in the test suite always look at images made from the
# sources under test. Each architecture is its own cross build (ExternalProject kwo_target_<arch>
# into ${CMAKE_BINARY_DIR}/<its build directory>); kwo_target stands for all of them. The package
# directory then holds the INF with every architecture's image, ready to copy to Windows.
include(ExternalProject)
# Where the sources of kwotarv.exe's web libraries are, when not where setup.sh puts them
# (cmake/ports/).
set(kwo_port_args)
foreach(source KWOTARV_YAML_CPP_SOURCE KWOTARV_LIBXCRYPT_SOURCE)
  if(DEFINED ${source})
    list(APPEND kwo_port_args -D${source}=${${source}})
  endif()
endforeach()
set(kwo_packages)
foreach(arch ${KWOTARV_TARGET_ARCHS})
  set(triplet ${KWO_ARCH_${arch}_TRIPLET})
  find_program(KWO_MINGW_CXX_${arch} ${triplet}-g++-posix)
  if(NOT KWO_MINGW_CXX_${arch})
    message(FATAL_ERROR "${triplet}-g++-posix not found: run scripts/setup.sh test (mingw-w64 for "
                        "${arch}), or configure with -DKWOTARV_CROSS_BUILD=OFF")
  endif()
  ExternalProject_Add(kwo_target_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${KWOTARV_TARGET_DIR_${arch}}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${triplet}.cmake
               -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
               -DCMAKE_C_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
               ${kwo_port_args}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
  list(APPEND kwo_packages ${KWOTARV_TARGET_DIR_${arch}}/package)
endforeach()

add_custom_target(kwo_target ALL
  COMMAND ${CMAKE_COMMAND} -E copy_directory ${kwo_packages} ${KWOTARV_PACKAGE_DIR}
  COMMENT "Collecting the installation package of every architecture"
  VERBATIM)
foreach(arch ${KWOTARV_TARGET_ARCHS})
  add_dependencies(kwo_target kwo_target_${arch})
endforeach()

# The programs that run the image under Wine (Wine/CMakeLists.txt), one cross build per
# architecture of KWOTARV_WINE_ARCHES with the posix-thread toolchain
# cmake/<triplet>-posix.cmake, into build/<preset>/wine-<arch>, where scripts/kwotarv-wine
# --arch finds them.
foreach(arch ${KWOTARV_WINE_ARCHES})
  if(NOT arch IN_LIST KWOTARV_TARGET_ARCHS)
    message(FATAL_ERROR "KWOTARV_WINE_ARCHES: '${arch}' is not one of ${KWOTARV_TARGET_ARCHS}")
  endif()
  set(triplet ${KWO_ARCH_${arch}_TRIPLET})
  find_program(KWO_WINE_CXX_${arch} ${triplet}-g++-posix)
  if(NOT KWO_WINE_CXX_${arch})
    message(FATAL_ERROR "${triplet}-g++-posix not found: run scripts/setup.sh test, or "
                        "configure with -DKWOTARV_CROSS_BUILD=OFF")
  endif()
  ExternalProject_Add(kwo_wine_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/Wine
    BINARY_DIR ${CMAKE_BINARY_DIR}/wine-${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${triplet}-posix.cmake
               -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
endforeach()
