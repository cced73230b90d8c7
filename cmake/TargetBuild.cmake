# The real driver, built from the same sources as the host build, with kernel-mode flags and
# what the architecture of the toolchain file asks for (cmake/TargetArchitectures.cmake).
include(${CMAKE_SOURCE_DIR}/cmake/TargetArchitectures.cmake)
if(NOT KWOTARV_TARGET_ARCH IN_LIST KWOTARV_TARGET_ARCHS)
  message(FATAL_ERROR "unknown target architecture '${KWOTARV_TARGET_ARCH}': use the toolchain "
                      "file of one of ${KWOTARV_TARGET_ARCHS}")
endif()
set(KWO_ARCH KWO_ARCH_${KWOTARV_TARGET_ARCH})

set(KWO_TARGET_FLAGS ${KWO_KERNEL_MODE_FLAGS} -ffreestanding -fno-use-cxa-atexit
    -fno-stack-protector -mno-stack-arg-probe -ffunction-sections -fdata-sections -O2
    ${${KWO_ARCH}_FLAGS})

add_library(kwo_driver_target STATIC ${KWO_DRIVER_SOURCES})
target_compile_definitions(kwo_driver_target PRIVATE KWOTARV_TARGET=1 ${${KWO_ARCH}_DEFINITIONS})
target_include_directories(kwo_driver_target PRIVATE ${CMAKE_SOURCE_DIR}/Driver
                           ${KWOTARV_DDK_INCLUDE})
target_compile_options(kwo_driver_target PRIVATE ${KWO_TARGET_FLAGS})

# The linked image, the INF and the Windows tool join here as they are built.
file(GLOB KWO_TARGET_EXTRAS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/target/*.cmake)
foreach(extra ${KWO_TARGET_EXTRAS})
  include(${extra})
endforeach()
