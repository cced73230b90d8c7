# kwo_bcrypt: libxcrypt's bcrypt for mingw-w64, from the library source Debian ships in the
# libxcrypt-source package (KWOTARV_LIBXCRYPT_SOURCE). That tree has neither the headers its build
# generates nor build-aux, so its own build cannot run here; only lib/crypt-bcrypt.c is compiled,
# with the headers its build would make for bcrypt alone: config.h and crypt-hashes.h in
# cmake/ports/bcrypt/, crypt.h from the library's own lib/crypt.h.in. crypt-symbol-vers.h is only
# read when building the shared library (IN_LIBCRYPT), so it is not needed.
set(KWOTARV_LIBXCRYPT_SOURCE /usr/src/libxcrypt CACHE PATH
    "libxcrypt's source tree (Debian package libxcrypt-source)")
set(kwo_xcrypt ${KWOTARV_LIBXCRYPT_SOURCE}/lib)
if(NOT EXISTS ${kwo_xcrypt}/crypt-bcrypt.c OR NOT EXISTS ${kwo_xcrypt}/crypt.h.in)
  message(FATAL_ERROR "no libxcrypt source at ${KWOTARV_LIBXCRYPT_SOURCE}: run scripts/setup.sh "
                      "test (package libxcrypt-source) or set KWOTARV_LIBXCRYPT_SOURCE")
endif()
enable_language(C)

# crypt.h as configure writes it: the version from configure.ac, C linkage for C++ callers.
file(STRINGS ${KWOTARV_LIBXCRYPT_SOURCE}/configure.ac kwo_xcrypt_version REGEX
     "^[ \t]*\\[[0-9]+\\.[0-9]+\\.[0-9]+\\],")
string(REGEX MATCH "([0-9]+)\\.([0-9]+)\\.[0-9]+" XCRYPT_VERSION_STR "${kwo_xcrypt_version}")
if(NOT XCRYPT_VERSION_STR)
  message(FATAL_ERROR "no version in ${KWOTARV_LIBXCRYPT_SOURCE}/configure.ac")
endif()
set(XCRYPT_VERSION_MAJOR ${CMAKE_MATCH_1})
set(XCRYPT_VERSION_MINOR ${CMAKE_MATCH_2})
set(DEFAULT_PREFIX_ENABLED 1)
set(BEGIN_DECLS "#ifdef __cplusplus\nextern \"C\" {\n#endif")
set(END_DECLS "#ifdef __cplusplus\n}\n#endif")
set(kwo_xcrypt_generated ${CMAKE_BINARY_DIR}/libxcrypt)
configure_file(${kwo_xcrypt}/crypt.h.in ${kwo_xcrypt_generated}/crypt.h @ONLY)

add_library(kwo_bcrypt STATIC ${kwo_xcrypt}/crypt-bcrypt.c)
target_include_directories(kwo_bcrypt PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bcrypt
                           ${kwo_xcrypt_generated} ${kwo_xcrypt})
target_include_directories(kwo_bcrypt INTERFACE ${CMAKE_CURRENT_LIST_DIR}/bcrypt)
target_compile_definitions(kwo_bcrypt PRIVATE HAVE_CONFIG_H)
target_compile_options(kwo_bcrypt PRIVATE -O2)
