# kwotarv.sites: the image's CPUID and RDMSR instructions, for the replacement HAL that runs the
# image under Wine (Wine/hal/instruction_sites.hpp). Made from the linked image, so it always
# matches it; the image itself is not changed.
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
