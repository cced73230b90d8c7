/* read_all: prints the chip's description and every channel through kwotarv.dll (or
 * libkwotarv.so), one line per channel:
 *
 *   chip NCT6776F
 *   voltage 0 VCORE = 1.12 V, limits 0.80 .. 1.50, ok
 *   fan 1 CPUFAN = 1234 count, limits none .. none, ok, 1094 rpm
 *
 * Values and limits of voltages have two decimals, of temperatures one, fan counts none; a
 * side without a limit is "none", a temperature the driver does not read "-". read_all.py
 * prints the same through ctypes. Exit status 0, or 1 with the status's text on stderr. */
#include <stdio.h>
#include <stdlib.h>

#include "kwotarv.h"

static const char* KindName(uint32_t kind)
{
    return kind == KWO_KIND_VOLTAGE       ? "voltage"
           : kind == KWO_KIND_TEMPERATURE ? "temperature"
                                          : "fan";
}

static const char* AlarmName(int32_t alarm)
{
    static const char* const names[] = {"ok", "low", "high", "stopped"};
    return alarm >= 0 && alarm <= 3 ? names[alarm] : "?";
}

/* A number with the decimals of its kind, or `absent` for the sentinel. */
static void Number(char* text, size_t size, uint32_t kind, double value, int present)
{
    const int decimals = kind == KWO_KIND_VOLTAGE ? 2 : kind == KWO_KIND_TEMPERATURE ? 1 : 0;
    if (!present)
        snprintf(text, size, "none");
    else
        snprintf(text, size, "%.*f", decimals, value);
}

static int Fail(const char* what, kwo_status status)
{
    fprintf(stderr, "read_all: %s: %s\n", what, kwo_status_text(status));
    return 1;
}

int main(void)
{
    kwo_handle handle = 0;
    kwo_chip_info info;
    kwo_channel* channels = NULL;
    uint32_t count = 0;
    uint32_t i;
    kwo_status status = kwo_open(&handle);
    if (status != KWO_OK)
        return Fail("kwo_open", status);
    status = kwo_describe(handle, &info);
    if (status != KWO_OK)
        return Fail("kwo_describe", status);
    printf("chip %s\n", info.description);

    /* Ask for the count first, then read into a buffer of that size. */
    status = kwo_read_all(handle, NULL, 0, &count);
    if (status == KWO_ERROR_BUFFER_TOO_SMALL) {
        channels = (kwo_channel*)calloc(count, sizeof *channels);
        status =
            channels != NULL ? kwo_read_all(handle, channels, count, &count) : KWO_ERROR_SYSTEM;
    }
    if (status != KWO_OK)
        return Fail("kwo_read_all", status);

    for (i = 0; i < count; ++i) {
        const kwo_channel* c = &channels[i];
        char value[32], low[32], high[32];
        if (c->has_value)
            Number(value, sizeof value, c->kind, c->value, 1);
        else
            snprintf(value, sizeof value, "-");
        Number(low, sizeof low, c->kind, c->low, c->low != KWO_NO_LIMIT);
        Number(high, sizeof high, c->kind, c->high, c->high != KWO_NO_LIMIT);
        printf("%s %u %s = %s %s, limits %s .. %s, %s", KindName(c->kind), (unsigned)c->index,
               c->name, value, c->unit, low, high, AlarmName(c->alarm));
        if (c->kind == KWO_KIND_FAN && c->rpm != KWO_NO_RPM)
            printf(", %.0f rpm", c->rpm);
        printf("\n");
    }
    free(channels);
    status = kwo_close(handle);
    return status == KWO_OK ? 0 : Fail("kwo_close", status);
}
