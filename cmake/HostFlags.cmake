# Host build settings shared by the driver, the simulator and the tests.
# WCHAR is 16 bits in the kernel; -fshort-wchar gives wchar_t (and L"" literals) that width.
add_compile_options(-fshort-wchar)
add_compile_definitions(KWOTARV_HOST=1)

set(KWOTARV_SANITIZE "" CACHE STRING "Sanitizers for the host build: address,undefined or thread")
if(KWOTARV_SANITIZE)
  add_compile_options(-fsanitize=${KWOTARV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KWOTARV_SANITIZE})
endif()
