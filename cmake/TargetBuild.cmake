# The real driver, built from the same sources as the host build, with kernel-mode flags.
set(KWO_TARGET_FLAGS ${KWO_KERNEL_MODE_FLAGS} -ffreestanding -fno-use-cxa-atexit
    -fno-stack-protector -fno-asynchronous-unwind-tables -mno-stack-arg-probe
    -ffunction-sections -fdata-sections -O2)

add_library(kwo_driver_target STATIC ${KWO_DRIVER_SOURCES})
target_compile_definitions(kwo_driver_target PRIVATE KWOTARV_TARGET=1 _X86_=1)
target_include_directories(kwo_driver_target PRIVATE ${CMAKE_SOURCE_DIR}/Driver
                           ${KWOTARV_DDK_INCLUDE})
target_compile_options(kwo_driver_target PRIVATE ${KWO_TARGET_FLAGS})

# The linked image, the INF and the Windows tool join here as they are built.
file(GLOB KWO_TARGET_EXTRAS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/target/*.cmake)
foreach(extra ${KWO_TARGET_EXTRAS})
  include(${extra})
endforeach()
