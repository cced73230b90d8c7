/* What libxcrypt's configure would find for mingw-w64 (x86 and x64, little-endian), as far as
   lib/crypt-bcrypt.c and lib/crypt-port.h ask. */
#ifndef KWO_LIBXCRYPT_CONFIG_H
#define KWO_LIBXCRYPT_CONFIG_H 1

#define ENDIANNESS_IS_BIG 0
#define ENDIANNESS_IS_LITTLE 1
#define ENDIANNESS_IS_PDP 0

#define HAVE_STATIC_ASSERT_IN_ASSERT_H 1
#define HAVE_MAX_ALIGN_T 1
#define HAVE_SYS_TYPES_H 1

#define ENABLE_OBSOLETE_API 0

#endif
