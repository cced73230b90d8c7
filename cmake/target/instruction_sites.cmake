# kwotarv.sites: the image's CPUID and RDMSR instructions, for the replacement HAL that runs the
# image under Wine (Wine/hal/instruction_sites.hpp). Made from the linked image, so it always
# matches it; the image itself is not changed. Only the architectures the Wine programs are
# built for get one (the x64 image does its port access with in/out instructions, which the
# replacement HAL does not take yet).
if(NOT KWOTARV_TARGET_ARCH STREQUAL "i686")
  return()
endif()
find_program(KWO_MINGW_OBJDUMP NAMES ${CMAKE_OBJDUMP} i686-w64-mingw32-objdump REQUIRED)
set(KWO_SITES ${CMAKE_BINARY_DIR}/kwotarv.sites)
set(KWO_SITES_SCRIPT ${CMAKE_SOURCE_DIR}/Wine/find_instruction_sites.py)
add_custom_command(
  OUTPUT ${KWO_SITES}
  COMMAND ${KWO_SYSTEM_PYTHON} ${KWO_SITES_SCRIPT} ${KWO_MINGW_OBJDUMP} ${KWO_IMAGE} ${KWO_SITES}
  DEPENDS ${KWO_IMAGE} ${KWO_SITES_SCRIPT}
  COMMENT "Finding the CPUID and RDMSR sites of kwotarv.sys"
  VERBATIM)
add_custom_target(kwotarv_sites ALL DEPENDS ${KWO_SITES})
