/* Links against kwotarv.lib with Microsoft's linker conventions (lld-link, no C runtime): a
 * program importing every function of the library, to show that the import library names what
 * the DLL exports on both architectures. It is only linked, never run. */
#include "kwotarv.h"

int __cdecl probe(void)
{
    kwo_handle handle = 0;
    kwo_channel channel;
    kwo_chip_info info;
    uint32_t count = 0;
    int sum = kwo_open(&handle) + kwo_open_with(KWO_DEFAULT_BUS_LOCK_WAIT_MS, &handle);
    sum += kwo_read_all(handle, &channel, 1, &count) +
           kwo_read_group(handle, KWO_KIND_FAN, &channel, 1, &count) + kwo_describe(handle, &info);
    sum += kwo_close(handle) + (kwo_status_text(sum)[0] == kwo_version()[0]);
    return sum;
}
