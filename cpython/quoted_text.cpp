// A text as a double-quoted literal (quoted_text.hpp): a small UTF-8
// decoder, and the Unicode categories, from the interpreter's unicodedata,
// that decide which characters are escaped.
#include "cpython/quoted_text.hpp"

#include "cpython/py_ref.hpp"

#include <cstddef>
#include <cstdio>

namespace kestrelfin::cpython {
namespace {

// Code points of valid UTF-8 (the interpreter produced it).
char32_t next_code_point(std::string_view utf8, size_t& i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        i += 1;
        return lead;
    }
    if (lead < 0xE0) {
        const char32_t cp = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
        i += 2;
        return cp;
    }
    if (lead < 0xF0) {
        const char32_t cp = ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
        i += 3;
        return cp;
    }
    const char32_t cp =
        ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
    i += 4;
    return cp;
}

// Characters that extend a grapheme without being marks (Mn, Me): the
// Other_Grapheme_Extend property.
bool is_other_grapheme_extend(char32_t cp) {
    struct Range {
        char32_t first, last;
    };
    static constexpr Range ranges[] = {
        {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},   {0x0BBE, 0x0BBE},
        {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},   {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},
        {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},   {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},
        {0xFF9E, 0xFF9F},   {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
        {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172}, {0xE0020, 0xE007F},
    };
    for (const Range& range : ranges) {
        if (cp >= range.first && cp <= range.last) {
            return true;
        }
    }
    return false;
}

enum class Rendering { Plain, Escaped };

// How a non-ASCII character is written, from its Unicode general category:
// marks and other grapheme extenders, controls, format, surrogate, private
// use, unassigned and separator characters are escaped.
class UnicodeCategories {
public:
    Rendering render(char32_t cp) {
        if (is_other_grapheme_extend(cp)) {
            return Rendering::Escaped;
        }
        const std::string category = category_of(cp);
        static constexpr std::string_view escaped[] = {"Mn", "Me", "Cc", "Cf", "Cs", "Co", "Cn", "Zs", "Zl", "Zp"};
        for (std::string_view name : escaped) {
            if (category == name) {
                return Rendering::Escaped;
            }
        }
        return Rendering::Plain;
    }

private:
    std::string category_of(char32_t cp) {
        if (!module_) {
            module_ = PyRef::steal(PyImport_ImportModule("unicodedata"));
            if (!module_) {
                PyErr_Clear();
                return "";
            }
        }
        PyRef character = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
        PyRef category;
        if (character) {
            category = PyRef::steal(PyObject_CallMethod(module_.get(), "category", "O", character.get()));
        }
        Py_ssize_t size = 0;
        const char* text = category ? PyUnicode_AsUTF8AndSize(category.get(), &size) : nullptr;
        if (text == nullptr) {
            PyErr_Clear();
            return "";
        }
        return std::string(text, static_cast<size_t>(size));
    }

    PyRef module_;
};

void append_code_point_escape(std::string& out, char32_t cp) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
    out += buffer;
}

}  // namespace

void append_quoted_text(std::string& out, std::string_view utf8) {
    out += '"';
    UnicodeCategories categories;
    for (size_t i = 0; i < utf8.size();) {
        const size_t start = i;
        const char32_t cp = next_code_point(utf8, i);
        switch (cp) {
            case U'"':
                out += "\\\"";
                continue;
            case U'\\':
                out += "\\\\";
                continue;
            case U'\n':
                out += "\\n";
                continue;
            case U'\r':
                out += "\\r";
                continue;
            case U'\t':
                out += "\\t";
                continue;
            case U'\0':
                out += "\\0";
                continue;
            default:
                break;
        }
        const bool plain = cp < 0x80 ? (cp >= 0x20 && cp < 0x7F) : categories.render(cp) == Rendering::Plain;
        if (plain) {
            out.append(utf8.substr(start, i - start));
        } else {
            append_code_point_escape(out, cp);
        }
    }
    out += '"';
}

}  // namespace kestrelfin::cpython
