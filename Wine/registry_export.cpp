// kwotarv-regexport.exe FILE: writes the KwoTarv service key and everything below it to FILE as
// a regedit file ("Windows Registry Editor Version 5.00", UTF-8) in which every value keeps its
// exact type and bytes (hex(N):). Wine's regedit shows a REG_SZ value only up to its first NUL,
// which would hide the length the driver wrote. Values and subkeys come in the order the
// registry enumerates them.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
constexpr DWORD kMaxName = 16384;

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::string Quoted(const std::wstring& text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool ExportKey(HKEY parent, const std::wstring& name, const std::wstring& path, FILE* out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    std::fprintf(out, "\n[%s]\n", Utf8(path).c_str());
    std::vector<wchar_t> valueName(kMaxName);
    std::vector<BYTE> data;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = kMaxName;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        data.assign(size, 0);
        nameLength = kMaxName;
        if (RegEnumValueW(key, i, valueName.data(), &nameLength, nullptr, &type,
                          data.empty() ? nullptr : data.data(), &size) != ERROR_SUCCESS)
            break;
        const std::wstring valueText(valueName.data(), nameLength);
        std::fprintf(out, "%s=hex(%lx):", valueText.empty() ? "@" : Quoted(valueText).c_str(),
                     type);
        for (DWORD b = 0; b < size; ++b)
            std::fprintf(out, b == 0 ? "%02x" : ",%02x", data[b]);
        std::fprintf(out, "\n");
    }
    std::vector<wchar_t> subName(kMaxName);
    bool ok = true;
    for (DWORD i = 0;; ++i) {
        DWORD length = kMaxName;
        if (RegEnumKeyExW(key, i, subName.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::wstring sub(subName.data(), length);
        ok = ExportKey(key, sub, path + L"\\" + sub, out) && ok;
    }
    RegCloseKey(key);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kwotarv-regexport.exe FILE\n");
        return 2;
    }
    FILE* out = _wfopen(argv[1], L"wb");
    if (out == nullptr) {
        std::fprintf(stderr, "kwotarv-regexport: cannot write %ls\n", argv[1]);
        return 1;
    }
    std::fprintf(out, "Windows Registry Editor Version 5.00\n");
    const bool ok = ExportKey(HKEY_LOCAL_MACHINE, kServiceKey,
                              std::wstring(L"HKEY_LOCAL_MACHINE\\") + kServiceKey, out);
    std::fclose(out);
    if (!ok)
        std::fprintf(stderr, "kwotarv-regexport: the service key cannot be read\n");
    return ok ? 0 : 1;
}
