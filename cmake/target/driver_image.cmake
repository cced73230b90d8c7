# Links the real driver image kwotarv.sys from the driver objects of the cross build, then makes
# the image what the kernel loader expects (INIT discardable, valid checksum) and refuses an
# image with a section that is both writable and executable. The installation package is laid
# out beside it: package/kwotarv.inf and package/<x86|amd64>/kwotarv.sys, as the INF names them.
find_program(KWO_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT KWO_SYSTEM_PYTHON)
  message(FATAL_ERROR "/usr/bin/python3 not found: the image post-link step needs Debian's "
                      "python3 with python3-pefile")
endif()

set(KWO_IMAGE ${CMAKE_BINARY_DIR}/kwotarv.sys)
set(KWO_IMAGE_MAP ${CMAKE_BINARY_DIR}/kwotarv.map)
set(KWO_IMAGE_FIXUP ${CMAKE_SOURCE_DIR}/cmake/fix_driver_image.py)

# Kernel image: no C runtime, native subsystem, DriverEntry as the entry point, nothing exported,
# relocatable. The oldest system the image is meant for is the architecture's first: Windows XP
# (5.1) on x86, XP x64 and Server 2003 (5.2) on x64.
list(GET ${KWO_ARCH}_OS_VERSION 0 KWO_IMAGE_OS_MAJOR)
list(GET ${KWO_ARCH}_OS_VERSION 1 KWO_IMAGE_OS_MINOR)
set(KWO_IMAGE_LINK_FLAGS
    -nostdlib -shared
    -Wl,--subsystem,native:${KWO_IMAGE_OS_MAJOR}.0${KWO_IMAGE_OS_MINOR}
    -Wl,--major-os-version,${KWO_IMAGE_OS_MAJOR} -Wl,--minor-os-version,${KWO_IMAGE_OS_MINOR}
    -Wl,--entry,${${KWO_ARCH}_ENTRY}
    -Wl,--image-base,${${KWO_ARCH}_IMAGE_BASE}
    -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--exclude-all-symbols
    -Wl,--gc-sections
    -Wl,--no-insert-timestamp
    -Wl,--strip-all
    -Wl,-Map,${KWO_IMAGE_MAP})

# The version resource (FileVersion: the project's version).
set(KWO_IMAGE_VERSION_RC ${CMAKE_BINARY_DIR}/driver_version.rc)
set(KWO_IMAGE_VERSION_OBJ ${CMAKE_BINARY_DIR}/driver_version.o)
configure_file(${CMAKE_CURRENT_LIST_DIR}/driver_version.rc.in ${KWO_IMAGE_VERSION_RC} @ONLY)
add_custom_command(
  OUTPUT ${KWO_IMAGE_VERSION_OBJ}
  COMMAND ${CMAKE_RC_COMPILER} -i ${KWO_IMAGE_VERSION_RC} -o ${KWO_IMAGE_VERSION_OBJ}
  DEPENDS ${KWO_IMAGE_VERSION_RC}
  COMMENT "Version resource of the driver image"
  VERBATIM)

add_custom_command(
  OUTPUT ${KWO_IMAGE} ${KWO_IMAGE_MAP}
  COMMAND ${CMAKE_CXX_COMPILER} ${KWO_IMAGE_LINK_FLAGS} -o ${KWO_IMAGE}
          -Wl,--whole-archive $<TARGET_FILE:kwo_driver_target> -Wl,--no-whole-archive
          ${KWO_IMAGE_VERSION_OBJ} -lntoskrnl -lhal -lgcc
  COMMAND ${KWO_SYSTEM_PYTHON} ${KWO_IMAGE_FIXUP} ${KWO_IMAGE}
  DEPENDS kwo_driver_target $<TARGET_FILE:kwo_driver_target> ${KWO_IMAGE_VERSION_OBJ}
          ${KWO_IMAGE_FIXUP}
  COMMENT "Linking the driver image kwotarv.sys"
  VERBATIM)

set(KWO_INF_SOURCE ${CMAKE_SOURCE_DIR}/Install/kwotarv.inf)
set(KWO_PACKAGE ${CMAKE_BINARY_DIR}/package)
set(KWO_PACKAGE_INF ${KWO_PACKAGE}/kwotarv.inf)
set(KWO_PACKAGE_IMAGE ${KWO_PACKAGE}/${${KWO_ARCH}_PACKAGE_DIR}/kwotarv.sys)
add_custom_command(
  OUTPUT ${KWO_PACKAGE_INF} ${KWO_PACKAGE_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E copy ${KWO_INF_SOURCE} ${KWO_PACKAGE_INF}
  COMMAND ${CMAKE_COMMAND} -E copy ${KWO_IMAGE} ${KWO_PACKAGE_IMAGE}
  DEPENDS ${KWO_INF_SOURCE} ${KWO_IMAGE}
  COMMENT "Laying out the installation package"
  VERBATIM)

add_custom_target(kwotarv_image ALL DEPENDS ${KWO_IMAGE} ${KWO_IMAGE_MAP} ${KWO_PACKAGE_INF}
                                            ${KWO_PACKAGE_IMAGE})
