// DbgPrint: formats like the kernel's debug print (32-bit 'l' sizes, %wZ, %Z, %ws, %S) and keeps
// the output of every call for tests.
#include "debug.hpp"
#include "text.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "sim_ntddk.h"

namespace sim::debug {
namespace {
std::mutex gLock;
std::vector<std::string> gLines;
bool gEcho = false;
} // namespace

std::vector<std::string> Lines()
{
    std::lock_guard guard(gLock);
    return gLines;
}

void Clear()
{
    std::lock_guard guard(gLock);
    gLines.clear();
}

void SetEcho(bool echo)
{
    std::lock_guard guard(gLock);
    gEcho = echo;
}

} // namespace sim::debug

namespace {

void AppendUtf16(std::string& out, const WCHAR* text, size_t units)
{
    out +=
        sim::text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), units));
}

std::string FormatKernel(const char* format, va_list args)
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
                    AppendUtf16(out, text, SimWcslen(text));
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
                AppendUtf16(out, text, SimWcslen(text));
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

} // namespace

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::string text = FormatKernel(Format, args);
    va_end(args);
    std::lock_guard guard(sim::debug::gLock);
    if (sim::debug::gEcho)
        std::fputs(text.c_str(), stderr);
    sim::debug::gLines.push_back(std::move(text));
    return STATUS_SUCCESS;
}
