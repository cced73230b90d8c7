// Reading and writing regedit's text format (see reg_file.hpp for the rules).
#include "kernel/registry/reg_file.hpp"

#include <fstream>
#include <iterator>
#include <optional>

#include "kernel/registry/paths.hpp"
#include "kernel/registry/tree.hpp"

namespace sim::registry {

RegFileError::RegFileError(size_t line, const std::string& what)
    : RegistryError("line " + std::to_string(line) + ": " + what), line_(line), detail_(what)
{
}

RegFileError::RegFileError(const std::string& source, size_t line, const std::string& what)
    : RegistryError(source + ":" + std::to_string(line) + ": " + what), line_(line), detail_(what)
{
}

} // namespace sim::registry

namespace sim::registry::regfile {
namespace {

constexpr std::u16string_view kHeader4 = u"REGEDIT4";
constexpr std::u16string_view kHeader5 = u"Windows Registry Editor Version 5.00";
constexpr size_t kWrapColumn = 77;

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view TrimLeft(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix)
{
    return s.size() >= prefix.size() && CompareNames(s.substr(0, prefix.size()), prefix) == 0;
}

void AppendUtf16Le(std::vector<uint8_t>& out, std::u16string_view text)
{
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text)
{
    std::vector<std::u16string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' || text[i] == u'\n') {
            lines.push_back(text.substr(start, i - start));
            if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
            start = i + 1;
        }
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

class Parser {
  public:
    explicit Parser(std::u16string_view text) : lines_(SplitLines(text)) {}

    ParsedFile Run()
    {
        if (lines_.empty())
            Fail(1,
                 "empty file: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
        const auto header = TrimRight(lines_[0]);
        if (header == kHeader5)
            result_.format = Format::Regedit5;
        else if (header == kHeader4)
            result_.format = Format::Regedit4;
        else
            Fail(1, "expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");

        for (index_ = 1; index_ < lines_.size(); ++index_) {
            const size_t lineNumber = index_ + 1;
            const auto line = TrimLeft(lines_[index_]);
            if (TrimRight(line).empty() || line.front() == u';')
                continue;
            if (line.front() == u'[')
                KeyLine(TrimRight(line), lineNumber);
            else if (line.front() == u'"' || line.front() == u'@')
                ValueLine(line, lineNumber);
            else
                Fail(lineNumber, "expected a [key] section, a value or a comment");
        }
        return std::move(result_);
    }

  private:
    [[noreturn]] static void Fail(size_t line, const std::string& what)
    {
        throw RegFileError(line, what);
    }

    void KeyLine(std::u16string_view line, size_t lineNumber)
    {
        if (line.back() != u']')
            Fail(lineNumber, "key section without a closing ']'");
        auto path = line.substr(1, line.size() - 2);
        bool remove = false;
        if (!path.empty() && path.front() == u'-') {
            remove = true;
            path.remove_prefix(1);
        }
        const auto kernelPath = KernelPath(path, lineNumber);
        Operation op;
        op.kind = remove ? Operation::Kind::DeleteKey : Operation::Kind::CreateKey;
        op.key = kernelPath;
        op.line = lineNumber;
        result_.operations.push_back(std::move(op));
        key_ = kernelPath;
        deletedSection_ = remove;
    }

    std::u16string KernelPath(std::u16string_view path, size_t lineNumber)
    {
        const size_t split = path.find(u'\\');
        const auto rootName = path.substr(0, split);
        std::u16string kernel;
        if (auto root = tree::RootKeyPath(rootName, false))
            kernel = *root;
        if (kernel.empty()) {
            if (CompareNames(rootName, u"HKEY_CURRENT_USER") == 0)
                Fail(lineNumber, "HKEY_CURRENT_USER has no meaning without a logged-on user");
            Fail(lineNumber, "unknown root key \"" + Utf16ToUtf8(rootName) + "\"");
        }
        if (split != std::u16string_view::npos) {
            auto rest = path.substr(split);
            if (rest.size() > 1 && rest.back() == u'\\')
                rest.remove_suffix(1);
            kernel += rest;
        }
        try {
            tree::SplitKernelPath(kernel);
        } catch (const RegistryError& error) {
            Fail(lineNumber, error.what());
        }
        return kernel;
    }

    // A quoted text starting at s[0] == '"'; returns it unescaped and removes it from s.
    std::u16string Quoted(std::u16string_view& s, size_t lineNumber, const char* what)
    {
        std::u16string text;
        size_t i = 1;
        for (; i < s.size(); ++i) {
            const char16_t c = s[i];
            if (c == u'"')
                break;
            if (c == u'\\') {
                if (i + 1 >= s.size())
                    Fail(lineNumber, std::string(what) + " not closed");
                const char16_t next = s[++i];
                if (next != u'\\' && next != u'"')
                    Fail(lineNumber, std::string("unknown escape \\") +
                                         Utf16ToUtf8(std::u16string(1, next)) + " in " + what +
                                         " (only \\\\ and \\\" are escapes)");
                text.push_back(next);
            } else {
                text.push_back(c);
            }
        }
        if (i >= s.size())
            Fail(lineNumber, std::string(what) + " not closed");
        s.remove_prefix(i + 1);
        return text;
    }

    static void ExpectEnd(std::u16string_view rest, size_t lineNumber)
    {
        if (!TrimRight(rest).empty())
            Fail(lineNumber,
                 "unexpected text after the value: \"" + Utf16ToUtf8(TrimRight(rest)) + "\"");
    }

    void ValueLine(std::u16string_view line, size_t lineNumber)
    {
        if (key_.empty())
            Fail(lineNumber, "value outside a [key] section");
        std::u16string name;
        if (line.front() == u'@') {
            line.remove_prefix(1);
        } else {
            name = Quoted(line, lineNumber, "value name");
            if (name.size() > tree::kMaxValueNameChars)
                Fail(lineNumber, "value name longer than 16383 characters");
        }
        line = TrimLeft(line);
        if (line.empty() || line.front() != u'=')
            Fail(lineNumber, "expected '=' after the value name");
        line = TrimLeft(line.substr(1));

        Operation op;
        op.key = key_;
        op.name = name;
        op.line = lineNumber;
        op.kind = Operation::Kind::SetValue;
        if (!line.empty() && line.front() == u'-') {
            ExpectEnd(line.substr(1), lineNumber);
            op.kind = Operation::Kind::DeleteValue;
        } else if (!line.empty() && line.front() == u'"') {
            const auto text = Quoted(line, lineNumber, "string");
            ExpectEnd(line, lineNumber);
            op.type = kRegSz;
            AppendUtf16Le(op.data, text);
            op.data.push_back(0);
            op.data.push_back(0);
        } else if (StartsWithNoCase(line, u"dword:")) {
            line.remove_prefix(6);
            const auto digits = TrimRight(line);
            if (digits.empty() || digits.size() > 8)
                Fail(lineNumber, "dword: needs 1 to 8 hex digits");
            uint32_t value = 0;
            for (char16_t c : digits) {
                const int d = HexDigit(c);
                if (d < 0)
                    Fail(lineNumber, "dword: needs 1 to 8 hex digits");
                value = (value << 4) | static_cast<uint32_t>(d);
            }
            op.type = kRegDword;
            for (int shift = 0; shift < 32; shift += 8)
                op.data.push_back(static_cast<uint8_t>(value >> shift));
        } else if (StartsWithNoCase(line, u"hex")) {
            HexValue(line.substr(3), lineNumber, op);
        } else {
            Fail(lineNumber, "unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        if (!deletedSection_)
            result_.operations.push_back(std::move(op));
    }

    void HexValue(std::u16string_view rest, size_t lineNumber, Operation& op)
    {
        op.type = kRegBinary;
        if (!rest.empty() && rest.front() == u'(') {
            const size_t close = rest.find(u')');
            if (close == std::u16string_view::npos || close == 1 || close > 9)
                Fail(lineNumber, "hex(N): needs a type of 1 to 8 hex digits");
            uint32_t type = 0;
            for (char16_t c : rest.substr(1, close - 1)) {
                const int d = HexDigit(c);
                if (d < 0)
                    Fail(lineNumber, "hex(N): needs a type of 1 to 8 hex digits");
                type = (type << 4) | static_cast<uint32_t>(d);
            }
            op.type = type;
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != u':')
            Fail(lineNumber, "expected ':' after hex");
        rest.remove_prefix(1);

        // Gather the continuation lines.
        std::u16string bytesText;
        size_t lastLine = lineNumber;
        for (;;) {
            auto part = TrimRight(rest);
            if (part.empty() || part.back() != u'\\') {
                bytesText += part;
                break;
            }
            part.remove_suffix(1);
            bytesText += part;
            if (index_ + 1 >= lines_.size())
                Fail(lastLine, "the file ends inside a continued hex value");
            ++index_;
            lastLine = index_ + 1;
            rest = TrimLeft(lines_[index_]);
        }

        std::vector<uint8_t> bytes;
        std::u16string_view list = bytesText;
        while (true) {
            list = TrimLeft(list);
            if (list.empty())
                break;
            // Count the digits first: a run of any length must not reach the arithmetic.
            size_t digits = 0;
            while (digits < list.size() && HexDigit(list[digits]) >= 0)
                ++digits;
            if (digits == 0 || digits > 2)
                Fail(lineNumber, "hex data must be comma-separated bytes of two hex digits");
            unsigned value = 0;
            for (size_t i = 0; i < digits; ++i)
                value = value * 16 + static_cast<unsigned>(HexDigit(list[i]));
            bytes.push_back(static_cast<uint8_t>(value));
            list = TrimLeft(list.substr(digits));
            if (list.empty())
                break;
            if (list.front() != u',')
                Fail(lineNumber, "hex data must be comma-separated bytes of two hex digits");
            list.remove_prefix(1);
        }

        // REGEDIT4 keeps string types as 8-bit text; the registry holds UTF-16.
        if (result_.format == Format::Regedit4 &&
            (op.type == kRegSz || op.type == kRegExpandSz || op.type == kRegMultiSz)) {
            for (uint8_t b : bytes) {
                op.data.push_back(b);
                op.data.push_back(0);
            }
        } else {
            op.data = std::move(bytes);
        }
    }

    std::vector<std::u16string_view> lines_;
    size_t index_ = 0;
    std::u16string key_;
    bool deletedSection_ = false;
    ParsedFile result_;
};

std::u16string Escape(std::u16string_view text)
{
    std::u16string out;
    for (char16_t c : text) {
        if (c == u'\\' || c == u'"')
            out.push_back(u'\\');
        out.push_back(c);
    }
    return out;
}

// A REG_SZ that a "text" line gives back unchanged.
std::optional<std::u16string> ProperString(const std::vector<uint8_t>& data)
{
    if (data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    std::u16string text;
    for (size_t i = 0; i + 2 < data.size(); i += 2) {
        const auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == u'\0' || c == u'\r' || c == u'\n')
            return std::nullopt;
        text.push_back(c);
    }
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0)
        return std::nullopt;
    return text;
}

std::u16string Ascii(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

void ExportKey(const tree::Key& key, std::u16string& out)
{
    out += u"[" + tree::ToRegeditPath(key.Path()) + u"]\r\n";
    for (const auto& value : key.Values())
        out += FormatValue(value.name, value.type, value.data) + u"\r\n";
    out += u"\r\n";
    for (const auto& [name, child] : key.Subkeys())
        ExportKey(*child, out);
}

std::string Encode(std::u16string_view text, RegEncoding encoding)
{
    if (encoding == RegEncoding::Utf8)
        return Utf16ToUtf8(text);
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace

std::u16string Decode(std::string_view bytes)
{
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFE &&
        static_cast<uint8_t>(bytes[1]) == 0xFF)
        throw RegFileError(1, "UTF-16 big-endian files are not regedit files");
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0)
            throw RegFileError(1, "UTF-16 file with an odd number of bytes");
        std::u16string text;
        for (size_t i = 2; i < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                                 (static_cast<uint8_t>(bytes[i + 1]) << 8)));
        return text;
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    return Utf8ToUtf16(bytes);
}

ParsedFile Parse(std::string_view bytes)
{
    const auto text = Decode(bytes);
    return Parser(text).Run();
}

void Apply(const ParsedFile& file)
{
    std::lock_guard guard(tree::Lock());
    for (const auto& op : file.operations) {
        switch (op.kind) {
        case Operation::Kind::CreateKey:
            tree::Create(op.key);
            break;
        case Operation::Kind::DeleteKey: {
            const auto names = tree::SplitKernelPath(op.key);
            if (names.empty())
                break;
            auto parent = tree::Root();
            for (size_t i = 0; parent && i + 1 < names.size(); ++i)
                parent = parent->Subkey(names[i]);
            if (parent)
                parent->DeleteSubkey(names.back());
            break;
        }
        case Operation::Kind::SetValue:
            tree::Create(op.key)->SetValue(op.name, op.type, op.data);
            break;
        case Operation::Kind::DeleteValue:
            if (auto key = tree::Find(op.key))
                key->DeleteValue(op.name);
            break;
        }
    }
}

std::u16string FormatValue(std::u16string_view name, uint32_t type,
                           const std::vector<uint8_t>& data)
{
    std::u16string line = name.empty() ? u"@=" : u"\"" + Escape(name) + u"\"=";
    if (type == kRegSz) {
        if (auto text = ProperString(data))
            return line + u"\"" + Escape(*text) + u"\"";
    }
    if (type == kRegDword && data.size() == 4) {
        char digits[16];
        const uint32_t value =
            data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
        snprintf(digits, sizeof digits, "dword:%08x", value);
        return line + Ascii(digits);
    }
    if (type == kRegBinary) {
        line += u"hex:";
    } else {
        char prefix[32];
        snprintf(prefix, sizeof prefix, "hex(%x):", type);
        line += Ascii(prefix);
    }
    // regedit's wrapping: count the columns of the current line; after writing a byte and its
    // comma, a line at kWrapColumn or beyond is ended with a backslash.
    size_t column = line.size();
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        snprintf(byte, sizeof byte, "%02x", data[i]);
        line += Ascii(byte);
        if (i + 1 == data.size())
            break;
        line += u',';
        column += 3;
        if (column >= kWrapColumn) {
            line += u"\\\r\n  ";
            column = 2;
        }
    }
    return line;
}

} // namespace sim::registry::regfile

namespace sim::registry {

void ImportRegText(std::string_view bytes)
{
    regfile::Apply(regfile::Parse(bytes));
}

void ImportRegFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw RegistryError("cannot open " + file.string());
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        ImportRegText(bytes);
    } catch (const RegFileError& error) {
        throw RegFileError(file.string(), error.Line(), error.Detail());
    }
}

std::string ExportRegText(std::string_view path, RegEncoding encoding)
{
    std::lock_guard guard(tree::Lock());
    auto key = tree::Find(Utf8ToUtf16(path));
    if (!key)
        throw RegistryError("no key " + std::string(path));
    std::u16string text = std::u16string(regfile::kHeader5) + u"\r\n\r\n";
    regfile::ExportKey(*key, text);
    return regfile::Encode(text, encoding);
}

void ExportRegFile(std::string_view path, const std::filesystem::path& file, RegEncoding encoding)
{
    const auto bytes = ExportRegText(path, encoding);
    std::ofstream out(file, std::ios::binary);
    if (!out)
        throw RegistryError("cannot write " + file.string());
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace sim::registry
