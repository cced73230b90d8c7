/* The hash methods of this libxcrypt build: bcrypt alone ($2b$, which also checks $2a$ and $2y$
   hashes), with its entry points under the library's internal names. */
#ifndef KWO_LIBXCRYPT_CRYPT_HASHES_H
#define KWO_LIBXCRYPT_CRYPT_HASHES_H 1

#include <stddef.h>
#include <stdint.h>

#define INCLUDE_bcrypt 1
#define INCLUDE_bcrypt_a 0
#define INCLUDE_bcrypt_x 0
#define INCLUDE_bcrypt_y 0
#define INCLUDE_descrypt 0
#define INCLUDE_bigcrypt 0
#define INCLUDE_bsdicrypt 0
#define INCLUDE_md5crypt 0
#define INCLUDE_nt 0
#define INCLUDE_scrypt 0
#define INCLUDE_sha1crypt 0
#define INCLUDE_sha256crypt 0
#define INCLUDE_sha512crypt 0
#define INCLUDE_sunmd5 0
#define INCLUDE_yescrypt 0
#define INCLUDE_gost_yescrypt 0

#define HASH_ALGORITHM_DEFAULT "$2b$"

#define crypt_bcrypt_rn _crypt_crypt_bcrypt_rn
#define gensalt_bcrypt_rn _crypt_gensalt_bcrypt_rn

/* The hash of `phrase` with the salt and cost of `setting` into `output`; `scratch` holds the
   intermediate state. On failure `output` is left as it was and errno is set. */
extern void crypt_bcrypt_rn(const char *phrase, size_t phr_size, const char *setting,
                            size_t set_size, uint8_t *output, size_t out_size, void *scratch,
                            size_t scr_size);
/* A "$2b$" setting of cost `count` from 16 random bytes `rbytes`. */
extern void gensalt_bcrypt_rn(unsigned long count, const uint8_t *rbytes, size_t nrbytes,
                              uint8_t *output, size_t o_size);

#endif
