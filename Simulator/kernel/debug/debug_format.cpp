// The kernel debug print's formatting: 'l' is 32 bits, 'll' and 'I64' 64 bits, 'h' 16 bits;
// %wZ and %Z print UNICODE_STRING and ANSI_STRING, %ws and %S wide text. Shared by the simulated
// DbgPrint and the Wine HAL's, so both show the driver's lines the same way.
#include "kernel/debug/debug_format.hpp"
#include "kernel/rtl/text.hpp"

#include <cstdio>
#include <cstring>

#include "nt/rtl.h"

namespace sim::debug {

namespace {

size_t WideLength(const WCHAR* text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

void AppendUtf16(std::string& out, const WCHAR* text, size_t units)
{
    out +=
        sim::text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), units));
}

} // namespace

std::string FormatKernelText(const char* format, va_list args)
{
    std::string out;
    for (const char* p = format; *p != 0; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string conversion = "%";
        while (*p != 0 && std::strchr("-+ #0", *p) != nullptr)
            conversion += *p++;
        if (*p == '*') {
            conversion += std::to_string(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9')
            conversion += *p++;
        if (*p == '.') {
            conversion += *p++;
            if (*p == '*') {
                conversion += std::to_string(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9')
                conversion += *p++;
        }
        // Size prefixes: on Windows 'l' is 32 bits; 'll' and 'I64' are 64 bits; 'h' 16 bits.
        bool wide64 = false;
        bool wideText = false;
        if (*p == 'l' && p[1] == 'l') {
            wide64 = true;
            p += 2;
        } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            wide64 = true;
            p += 3;
        } else if (*p == 'l' || *p == 'w') {
            wideText = true;
            ++p;
        } else if (*p == 'h') {
            ++p;
        }
        char buffer[128];
        switch (*p) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (wide64) {
                conversion += "ll";
                conversion += *p;
                std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(args, long long));
            } else {
                conversion += *p;
                std::snprintf(buffer, sizeof buffer, conversion.c_str(), va_arg(args, int));
            }
            out += buffer;
            break;
        case 'c':
            out += static_cast<char>(va_arg(args, int));
            break;
        case 'p':
            std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            out += buffer;
            break;
        case 's':
            if (wideText) {
                const WCHAR* text = va_arg(args, const WCHAR*);
                if (text == nullptr)
                    out += "(null)";
                else
                    AppendUtf16(out, text, WideLength(text));
            } else {
                const char* text = va_arg(args, const char*);
                out += text == nullptr ? "(null)" : text;
            }
            break;
        case 'S': {
            const WCHAR* text = va_arg(args, const WCHAR*);
            if (text == nullptr)
                out += "(null)";
            else
                AppendUtf16(out, text, WideLength(text));
            break;
        }
        case 'Z':
            if (wideText) {
                auto* string = va_arg(args, PCUNICODE_STRING);
                if (string == nullptr || string->Buffer == nullptr)
                    out += "(null)";
                else
                    AppendUtf16(out, string->Buffer, string->Length / sizeof(WCHAR));
            } else {
                auto* string = va_arg(args, const ANSI_STRING*);
                if (string == nullptr || string->Buffer == nullptr)
                    out += "(null)";
                else
                    out.append(string->Buffer, string->Length);
            }
            break;
        default:
            // An unknown conversion is printed as written, like the kernel's formatter.
            out.append(start, p - start + (*p != 0 ? 1 : 0));
            if (*p == 0)
                --p;
            break;
        }
    }
    return out;
}

} // namespace sim::debug
