/* The library's version: the header, the DLL's version resource and kwo_version() share it. */
#ifndef KWOTARV_VERSION_H
#define KWOTARV_VERSION_H

#define KWOTARV_VERSION_MAJOR 1
#define KWOTARV_VERSION_MINOR 0
#define KWOTARV_VERSION_PATCH 0
#define KWOTARV_VERSION_TEXT "1.0.0"

#endif
