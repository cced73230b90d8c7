# Every driver source, for both builds. A source added under Driver/ joins both automatically.
file(GLOB_RECURSE KWO_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Driver/*.cpp)

# Kernel-mode C++: no exceptions, no RTTI, no thread-safe statics or atexit.
set(KWO_KERNEL_MODE_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics -Wall -Wextra
    -Wno-multichar -Wno-unused-parameter)
