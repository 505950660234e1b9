#include "kxqmi/qmi_value.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "kxqmi/qmi_table.h"

namespace kxqmi {

namespace {

struct Field {
    std::string kind, name, enumeration;
    bool opensList = false;  // "n8:NAME{" / "n16:NAME{"
    bool closesList = false; // "}"
};

struct Kind {
    const char *name;
    size_t size; // 0: variable
    bool isSigned, hex;
};
const Kind kKinds[] = {
    {"u8", 1, false, false},     {"u16", 2, false, false},    {"u32", 4, false, false},
    {"i8", 1, true, false},      {"i16", 2, true, false},     {"i32", 4, true, false},
    {"x8", 1, false, true},      {"x16", 2, false, true},     {"x32", 4, false, true},
    {"neg8", 1, false, false},   {"ipv4", 4, false, false},   {"chars3", 3, false, false},
    {"str", 0, false, false},    {"secret", 0, false, false}, {"str8", 0, false, false},
    {"idbits", 0, false, false}, {"bytes", 0, false, false},  {"n8", 1, false, false},
    {"n16", 2, false, false},
};

const Kind *FindKind(const std::string &name) {
    for (const auto &k : kKinds) {
        if (name == k.name)
            return &k;
    }
    return nullptr;
}

std::vector<Field> Parse(const char *layout) {
    std::vector<Field> fields;
    const char *p = layout;
    while (*p) {
        while (*p == ' ')
            ++p;
        const char *start = p;
        while (*p && *p != ' ')
            ++p;
        std::string token(start, p);
        if (token.empty())
            continue;
        Field f;
        if (token == "}") {
            f.closesList = true;
            fields.push_back(f);
            continue;
        }
        if (token.back() == '{') {
            f.opensList = true;
            token.pop_back();
        }
        size_t colon = token.find(':');
        size_t equals = token.find('=');
        f.kind = token.substr(0, colon);
        if (colon != std::string::npos) {
            f.name = token.substr(colon + 1, equals == std::string::npos ? std::string::npos
                                                                         : equals - colon - 1);
            if (equals != std::string::npos)
                f.enumeration = token.substr(equals + 1);
        }
        fields.push_back(f);
    }
    return fields;
}

// Index just past the "}" that closes the list opened at fields[open].
size_t PastList(const std::vector<Field> &fields, size_t open) {
    int depth = 0;
    for (size_t i = open; i < fields.size(); ++i) {
        if (fields[i].opensList)
            ++depth;
        if (fields[i].closesList && --depth == 0)
            return i + 1;
    }
    return fields.size();
}

uint32_t Little(const uint8_t *p, size_t n) {
    uint32_t v = 0;
    for (size_t i = n; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

std::string Quoted(const uint8_t *p, size_t n) {
    std::string s = "\"";
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = p[i];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 32 || c > 126) {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else {
            s += static_cast<char>(c);
        }
    }
    return s + "\"";
}

class Reader {
  public:
    Reader(const std::vector<Field> &fields, const uint8_t *data, size_t size, bool showSecrets)
        : fields_(fields), data_(data), size_(size), showSecrets_(showSecrets) {}

    // Reads fields[from, to) once; false when the value ended early.
    bool Group(size_t from, size_t to, std::string *out) {
        for (size_t i = from; i < to;) {
            const Field &f = fields_[i];
            if (f.closesList) {
                ++i;
                continue;
            }
            // A field the value is too short for is left out whole.
            size_t mark = out->size();
            if (!out->empty() && out->back() != '[' && out->back() != ' ')
                *out += ' ';
            *out += f.name + "=";
            if (f.opensList) {
                size_t end = PastList(fields_, i);
                size_t width = f.kind == "n8" ? 1 : 2;
                if (at_ + width > size_) {
                    out->resize(mark);
                    return false;
                }
                uint32_t count = Little(data_ + at_, width);
                at_ += width;
                *out += "[";
                for (uint32_t n = 0; n < count; ++n) {
                    if (n)
                        *out += "; ";
                    if (!Group(i + 1, end - 1, out))
                        return false;
                }
                *out += "]";
                i = end;
                continue;
            }
            if (!One(f, out)) {
                out->resize(mark);
                return false;
            }
            ++i;
        }
        return true;
    }

    size_t left() const { return size_ - at_; }

  private:
    bool One(const Field &f, std::string *out) {
        const Kind *kind = FindKind(f.kind);
        if (!kind)
            return false;
        size_t rest = size_ - at_;
        const uint8_t *p = data_ + at_;
        if (kind->size) {
            if (rest < kind->size)
                return false;
            at_ += kind->size;
            uint32_t v = Little(p, kind->size);
            char b[48];
            if (f.kind == "ipv4") {
                snprintf(b, sizeof b, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFF, (v >> 8) & 0xFF,
                         v & 0xFF);
            } else if (f.kind == "chars3") {
                size_t n = 0;
                while (n < 3 && p[n] != 0xFF)
                    ++n;
                *out += Quoted(p, n);
                return true;
            } else if (f.kind == "neg8") {
                snprintf(b, sizeof b, "%d", -static_cast<int>(v));
            } else if (kind->isSigned) {
                long s = kind->size == 1   ? static_cast<int8_t>(v)
                         : kind->size == 2 ? static_cast<int16_t>(v)
                                           : static_cast<int32_t>(v);
                snprintf(b, sizeof b, "%ld", s);
            } else if (kind->hex) {
                snprintf(b, sizeof b, "0x%0*x", static_cast<int>(kind->size * 2), v);
            } else {
                snprintf(b, sizeof b, "%u", v);
            }
            const char *label =
                f.enumeration.empty() ? nullptr : EnumLabel(f.enumeration.c_str(), v);
            *out += label ? std::string(label) + "(" + b + ")" : std::string(b);
            return true;
        }
        if (f.kind == "str8") {
            if (rest < 1 || rest - 1 < p[0])
                return false;
            *out += Quoted(p + 1, p[0]);
            at_ += 1 + p[0];
            return true;
        }
        if (f.kind == "idbits") {
            if (rest < 2 || rest - 2 < Little(p, 2))
                return false;
            size_t bytes = Little(p, 2);
            *out += "[";
            bool first = true;
            for (size_t i = 0; i < bytes * 8; ++i) {
                if (p[2 + i / 8] & (1u << (i % 8))) {
                    char b[16];
                    snprintf(b, sizeof b, "%s0x%04zx", first ? "" : " ", i);
                    *out += b;
                    first = false;
                }
            }
            *out += "]";
            at_ += 2 + bytes;
            return true;
        }
        at_ = size_;
        if (f.kind == "secret" && !showSecrets_)
            *out += "********";
        else if (f.kind == "bytes") {
            for (size_t i = 0; i < rest; ++i) {
                char b[4];
                snprintf(b, sizeof b, "%02x", p[i]);
                *out += b;
            }
        } else
            *out += Quoted(p, rest);
        return true;
    }

    const std::vector<Field> &fields_;
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
    bool showSecrets_;
};

} // namespace

std::string DecodeValue(const char *layout, const uint8_t *value, size_t size, bool showSecrets) {
    std::vector<Field> fields = Parse(layout);
    Reader reader(fields, value, size, showSecrets);
    std::string out;
    if (!reader.Group(0, fields.size(), &out))
        return out + (out.empty() || out.back() == ' ' ? "(short)" : " (short)");
    if (reader.left())
        out += " (+" + std::to_string(reader.left()) + " bytes)";
    return out;
}

std::vector<LayoutField> LayoutFields(const char *layout) {
    std::vector<LayoutField> out;
    for (const Field &f : Parse(layout)) {
        if (!f.closesList)
            out.push_back({f.kind, f.name, f.enumeration});
    }
    return out;
}

bool LayoutHasSecret(const char *layout) {
    for (const Field &f : Parse(layout)) {
        if (f.kind == "secret")
            return true;
    }
    return false;
}

bool CheckLayout(const char *layout, std::string *why) {
    std::vector<Field> fields = Parse(layout);
    int depth = 0;
    bool restTaken = false; // a field that takes the rest of the value was met
    for (const Field &f : fields) {
        if (f.closesList) {
            if (--depth < 0) {
                *why = "unbalanced }";
                return false;
            }
            continue;
        }
        const Kind *kind = FindKind(f.kind);
        if (!kind || f.name.empty()) {
            *why = "bad field '" + f.kind + ":" + f.name + "'";
            return false;
        }
        if (restTaken) {
            *why = "field '" + f.name + "' after one that takes the rest";
            return false;
        }
        if ((f.kind == "n8" || f.kind == "n16") != f.opensList) {
            *why = "list kind and { disagree at '" + f.name + "'";
            return false;
        }
        if (f.opensList)
            ++depth;
        if (f.kind == "str" || f.kind == "secret" || f.kind == "bytes")
            restTaken = true;
        if (!f.enumeration.empty() && f.enumeration != "service") {
            bool known = false;
            for (const auto &row : Enums())
                known = known || f.enumeration == row.enumeration;
            if (!known) {
                *why = "unknown enumeration '" + f.enumeration + "'";
                return false;
            }
        }
    }
    if (depth != 0) {
        *why = "unclosed list";
        return false;
    }
    return true;
}

} // namespace kxqmi
