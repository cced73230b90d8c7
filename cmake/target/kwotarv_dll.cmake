# kwotarv.dll, the library for applications (Library/), over the request client kwo_client
# (client_library.cmake) that kwotarv.exe links too. Exports exactly Library/kwotarv.def; the C
# and C++ runtimes are linked in, so it needs only system DLLs. Beside it in library/: the
# import library for mingw (libkwotarv.dll.a, from the link) and for Microsoft's linker
# (kwotarv.lib, from the .def by llvm-dlltool), the headers, the .def, and the examples with
# read_all.exe built against the DLL. With clang and lld-link at hand, a program linked by
# lld-link against kwotarv.lib (Tests/image/msvc_link_probe.c) shows that .lib works; the image
# checks read its imports.
include(${CMAKE_SOURCE_DIR}/Library/sources.cmake)
set(KWO_LIBRARY_OUT ${CMAKE_BINARY_DIR}/library)
file(MAKE_DIRECTORY ${KWO_LIBRARY_OUT})

add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/kwotarv_rc.o
  COMMAND ${CMAKE_RC_COMPILER} -I ${KWO_LIBRARY_DIR}/include -i ${KWO_LIBRARY_DIR}/kwotarv.rc
          -o ${CMAKE_BINARY_DIR}/kwotarv_rc.o
  DEPENDS ${KWO_LIBRARY_DIR}/kwotarv.rc ${KWO_LIBRARY_DIR}/include/kwotarv_version.h
  COMMENT "Version resource of kwotarv.dll"
  VERBATIM)

add_library(kwotarv_dll SHARED ${KWO_LIBRARY_SOURCES} ${KWO_LIBRARY_DIR}/src/connection_windows.cpp
                               ${KWO_LIBRARY_DIR}/kwotarv.def ${CMAKE_BINARY_DIR}/kwotarv_rc.o)
set_target_properties(kwotarv_dll PROPERTIES
  OUTPUT_NAME kwotarv PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${KWO_LIBRARY_OUT}
  ARCHIVE_OUTPUT_DIRECTORY ${KWO_LIBRARY_OUT} IMPORT_PREFIX lib IMPORT_SUFFIX .dll.a)
target_include_directories(kwotarv_dll PRIVATE ${KWO_LIBRARY_DIR}/include ${KWO_LIBRARY_DIR}/src)
target_compile_definitions(kwotarv_dll PRIVATE KWOTARV_BUILDING_LIBRARY=1)
target_compile_options(kwotarv_dll PRIVATE -O2 -Wall -Wextra)
target_link_options(kwotarv_dll PRIVATE -static -s -Wl,--nxcompat -Wl,--dynamicbase
                    -Wl,--no-insert-timestamp)
target_link_libraries(kwotarv_dll PRIVATE kwo_client)

# Microsoft's import library, from the same .def.
find_program(KWO_LLVM_DLLTOOL llvm-dlltool)
if(NOT KWO_LLVM_DLLTOOL)
  message(FATAL_ERROR "llvm-dlltool not found: scripts/setup.sh test installs llvm")
endif()
add_custom_command(
  OUTPUT ${KWO_LIBRARY_OUT}/kwotarv.lib
  COMMAND ${KWO_LLVM_DLLTOOL} -m ${${KWO_ARCH}_LIB_MACHINE} -d ${KWO_LIBRARY_DIR}/kwotarv.def
          -l ${KWO_LIBRARY_OUT}/kwotarv.lib
  DEPENDS ${KWO_LIBRARY_DIR}/kwotarv.def
  COMMENT "kwotarv.lib for Microsoft's linker"
  VERBATIM)

# The probe: compiled for the MSVC target, linked by lld-link without any C runtime.
find_program(KWO_CLANG NAMES clang clang-14)
find_program(KWO_LLD_LINK NAMES lld-link lld-link-14)
if(NOT KWO_CLANG OR NOT KWO_LLD_LINK)
  message(FATAL_ERROR "clang and lld-link not found: scripts/setup.sh test installs clang-14 "
                      "and lld")
endif()
set(KWO_PROBE ${CMAKE_BINARY_DIR}/msvc_link_probe)
add_custom_command(
  OUTPUT ${KWO_PROBE}.exe
  COMMAND ${KWO_CLANG} --target=${${KWO_ARCH}_CLANG_TARGET} -ffreestanding -O1
          -I ${KWO_LIBRARY_DIR}/include -c ${CMAKE_SOURCE_DIR}/Tests/image/msvc_link_probe.c
          -o ${KWO_PROBE}.obj
  COMMAND ${KWO_LLD_LINK} /nologo /nodefaultlib /entry:probe /subsystem:console
          /out:${KWO_PROBE}.exe ${KWO_PROBE}.obj ${KWO_LIBRARY_OUT}/kwotarv.lib
  DEPENDS ${CMAKE_SOURCE_DIR}/Tests/image/msvc_link_probe.c ${KWO_LIBRARY_OUT}/kwotarv.lib
          ${KWO_LIBRARY_DIR}/include/kwotarv.h
  COMMENT "Linking a program against kwotarv.lib with lld-link"
  VERBATIM)

# The example against the DLL, as an application links it (mingw, libkwotarv.dll.a).
enable_language(C)
add_executable(kwotarv_read_all ${KWO_LIBRARY_DIR}/examples/read_all.c)
set_target_properties(kwotarv_read_all PROPERTIES OUTPUT_NAME read_all C_STANDARD 99
                                                  RUNTIME_OUTPUT_DIRECTORY ${KWO_LIBRARY_OUT})
target_include_directories(kwotarv_read_all PRIVATE ${KWO_LIBRARY_DIR}/include)
target_compile_options(kwotarv_read_all PRIVATE -O2 -Wall -Wextra)
target_link_options(kwotarv_read_all PRIVATE -static -s)
target_link_libraries(kwotarv_read_all PRIVATE kwotarv_dll)

add_custom_target(kwotarv_library_files ALL
  COMMAND ${CMAKE_COMMAND} -E copy ${KWO_LIBRARY_DIR}/include/kwotarv.h
          ${KWO_LIBRARY_DIR}/include/kwotarv_version.h ${KWO_LIBRARY_DIR}/kwotarv.def
          ${KWO_LIBRARY_DIR}/examples/read_all.c ${KWO_LIBRARY_DIR}/examples/read_all.py
          ${KWO_LIBRARY_OUT}
  DEPENDS ${KWO_LIBRARY_OUT}/kwotarv.lib ${KWO_PROBE}.exe kwotarv_dll kwotarv_read_all
  COMMENT "The library's files for applications"
  VERBATIM)
