// The binary MOF object stream, its compressed container, and the readable dump.
//
// The stream is little-endian and DWORD-aligned; offsets are relative to the Info area
// of the structure that holds them (0xFFFFFFFF: absent):
//
//   header     "FOMB", length (to the flavor table), version 1, encoding 1, object count
//   object     length, qualifier list offset, property list offset, method list
//              offset, type (0 class), Info: qualifier list, property list, method list
//   list       length, count, the entries end to end
//   property   length, VARTYPE, name offset, value offset, qualifier list offset, Info
//   qualifier  length, VARTYPE, name offset, value offset, Info
//
// Names and string values are NUL-terminated UTF-16, each padded to four bytes. A
// boolean is a VARIANT_BOOL (0xFFFF true) padded to four bytes, an integer a VT_I4. The
// class name and namespace are the system properties __CLASS and __NAMESPACE (and
// __SUPERCLASS), after the class's own properties. Each property carries a CIMTYPE
// qualifier naming its MOF type, last; the flavor table after the objects
// ("BMOFQUALFLAVOR11", a count, then pairs of the qualifier's offset from the start of
// the stream and its WBEM_FLAVOR bits) marks those as propagated to instances and
// subclasses.
#include "bmof.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

namespace bmof {
namespace {

constexpr uint32_t kAbsent = 0xFFFFFFFF;
constexpr uint32_t kVtI4 = 3, kVtBstr = 8, kVtBool = 0x0B;
constexpr uint32_t kVtArray = 0x2000;
// WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS
constexpr uint32_t kCimtypeFlavor = 3;
constexpr char kFlavorSignature[] = "BMOFQUALFLAVOR11";
constexpr size_t kMaxPayload = 16 << 20;

struct TypeInfo {
    Type type;
    std::string_view name;
    uint32_t vartype;
};
constexpr TypeInfo kTypes[] = {
    {Type::String, "string", kVtBstr},  {Type::Boolean, "boolean", kVtBool}, {Type::Uint8, "uint8", 0x11},
    {Type::Sint8, "sint8", 0x10},       {Type::Uint16, "uint16", 0x12},      {Type::Sint16, "sint16", 2},
    {Type::Uint32, "uint32", 0x13},     {Type::Sint32, "sint32", kVtI4},     {Type::Uint64, "uint64", 0x15},
    {Type::Sint64, "sint64", 0x14},
};

const TypeInfo& Info(Type t)
{
    for (const TypeInfo& i : kTypes)
        if (i.type == t)
            return i;
    throw Error("unknown property type");
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower((unsigned char)x) == std::tolower((unsigned char)y);
           });
}

// ---- UTF-8 <-> UTF-16 ----

std::u16string ToUtf16(std::string_view s)
{
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || i + extra >= s.size())
            throw Error("text is not valid UTF-8");
        char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                throw Error("text is not valid UTF-8");
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        i += extra + 1;
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000))
            throw Error("text is not valid UTF-8");
        if (cp == 0)
            throw Error("text contains a NUL character");
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += char16_t(0xD800 + (cp >> 10));
            out += char16_t(0xDC00 + (cp & 0x3FF));
        } else {
            out += char16_t(cp);
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        else if (cp >= 0xD800 && cp < 0xE000)
            throw Error("string holds an unpaired UTF-16 surrogate");
        if (cp < 0x80) {
            out += char(cp);
        } else if (cp < 0x800) {
            out += char(0xC0 | cp >> 6);
            out += char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += char(0xE0 | cp >> 12);
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        } else {
            out += char(0xF0 | cp >> 18);
            out += char(0x80 | (cp >> 12 & 0x3F));
            out += char(0x80 | (cp >> 6 & 0x3F));
            out += char(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// ---- Writing ----

class Writer {
public:
    size_t Size() const { return out_.size(); }
    void U16(uint16_t v) { Raw(&v, 2); }
    void U32(uint32_t v) { Raw(&v, 4); }
    size_t Placeholder()
    {
        U32(0);
        return out_.size() - 4;
    }
    void Patch(size_t at, size_t v)
    {
        const uint32_t v32 = uint32_t(v);
        std::memcpy(&out_[at], &v32, 4);
    }
    void Text(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
    // NUL-terminated UTF-16, padded to four bytes; returns its padded size.
    size_t WString(std::string_view utf8)
    {
        const size_t start = out_.size();
        for (char16_t c : ToUtf16(utf8))
            U16(c);
        U16(0);
        Align();
        return out_.size() - start;
    }
    void Align()
    {
        while (out_.size() % 4)
            out_.push_back(0);
    }
    Bytes Take() { return std::move(out_); }

private:
    void Raw(const void* p, size_t n)
    {
        // Little-endian hosts only, which every build machine of this project is.
        const auto* b = static_cast<const uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }
    Bytes out_;
};

using Flavors = std::vector<std::pair<uint32_t, uint32_t>>;

void PutQualifier(Writer& w, const Qualifier& q, Flavors& flavors)
{
    const size_t start = w.Size();
    if (q.flavor != 0)
        flavors.emplace_back(uint32_t(start), q.flavor);
    const size_t length = w.Placeholder();
    w.U32(q.kind == Qualifier::Kind::Boolean ? kVtBool : q.kind == Qualifier::Kind::Integer ? kVtI4 : kVtBstr);
    w.U32(0);                          // name first in Info
    const size_t valueAt = w.Placeholder();
    const size_t info = w.Size();
    w.WString(q.name);
    w.Patch(valueAt, w.Size() - info);
    switch (q.kind) {
    case Qualifier::Kind::Boolean:
        w.U16(q.boolean ? 0xFFFF : 0);
        w.Align();
        break;
    case Qualifier::Kind::Integer:
        w.U32(uint32_t(q.integer));
        break;
    case Qualifier::Kind::String:
        w.WString(q.string);
        break;
    }
    w.Patch(length, w.Size() - start);
}

void PutQualifierList(Writer& w, const std::vector<Qualifier>& qualifiers, Flavors& flavors)
{
    const size_t start = w.Size();
    const size_t length = w.Placeholder();
    w.U32(uint32_t(qualifiers.size()));
    for (const Qualifier& q : qualifiers)
        PutQualifier(w, q, flavors);
    w.Patch(length, w.Size() - start);
}

void PutSystemProperty(Writer& w, std::string_view name, std::string_view value)
{
    const size_t start = w.Size();
    const size_t length = w.Placeholder();
    w.U32(kVtBstr);
    w.U32(0);
    const size_t valueAt = w.Placeholder();
    w.U32(kAbsent);
    const size_t info = w.Size();
    w.WString(name);
    w.Patch(valueAt, w.Size() - info);
    w.WString(value);
    w.Patch(length, w.Size() - start);
}

void PutClass(Writer& w, const Class& c, Flavors& flavors)
{
    if (c.name.empty())
        throw Error("a class without a name");
    const size_t start = w.Size();
    const size_t length = w.Placeholder();
    w.U32(0);  // the qualifier list opens Info
    const size_t propertiesAt = w.Placeholder();
    const size_t methodsAt = w.Placeholder();
    w.U32(0);  // a class, not an instance
    const size_t info = w.Size();
    PutQualifierList(w, c.qualifiers, flavors);

    w.Patch(propertiesAt, w.Size() - info);
    const size_t listStart = w.Size();
    const size_t listLength = w.Placeholder();
    w.U32(uint32_t(c.properties.size() + (c.superclass.empty() ? 2 : 3)));
    for (const Property& p : c.properties) {
        const size_t pstart = w.Size();
        const size_t plength = w.Placeholder();
        w.U32(Info(p.type).vartype);
        w.U32(0);
        w.U32(kAbsent);  // no default value
        const size_t qualifiersAt = w.Placeholder();
        const size_t pinfo = w.Size();
        w.WString(p.name);
        w.Patch(qualifiersAt, w.Size() - pinfo);
        std::vector<Qualifier> qualifiers = p.qualifiers;
        Qualifier cimtype = Qualifier::Str("CIMTYPE", std::string(Info(p.type).name));
        cimtype.flavor = kCimtypeFlavor;
        qualifiers.push_back(cimtype);
        PutQualifierList(w, qualifiers, flavors);
        w.Patch(plength, w.Size() - pstart);
    }
    PutSystemProperty(w, "__CLASS", c.name);
    PutSystemProperty(w, "__NAMESPACE", c.nameSpace);
    if (!c.superclass.empty())
        PutSystemProperty(w, "__SUPERCLASS", c.superclass);
    w.Patch(listLength, w.Size() - listStart);

    w.Patch(methodsAt, w.Size() - info);
    w.U32(8);  // an empty method list
    w.U32(0);
    w.Patch(length, w.Size() - start);
}

// ---- Reading ----

// A bounded window of the stream; every read is checked against it.
class Reader {
public:
    Reader(ByteView all, size_t begin, size_t end, std::string what) : all_(all), begin_(begin), end_(end), what_(std::move(what))
    {
        if (begin > end || end > all.size())
            throw Error(what_ + " lies outside the binary MOF");
    }
    size_t Begin() const { return begin_; }
    size_t End() const { return end_; }
    uint32_t U32(size_t at) const
    {
        Need(at, 4);
        uint32_t v;
        std::memcpy(&v, &all_[begin_ + at], 4);
        return v;
    }
    uint16_t U16(size_t at) const
    {
        Need(at, 2);
        return uint16_t(all_[begin_ + at] | all_[begin_ + at + 1] << 8);
    }
    std::string WString(size_t at) const
    {
        std::u16string s;
        for (;; at += 2) {
            if (at > Size() || Size() - at < 2)
                throw Error(what_ + ": a string without its terminating NUL");
            const char16_t c = U16(at);
            if (c == 0)
                return ToUtf8(s);
            s += c;
        }
    }
    // A nested structure that starts with its own length.
    Reader Sub(size_t at, size_t minimum, std::string what) const
    {
        Need(at, 4);
        const uint32_t length = U32(at);
        if (length < minimum || length > Size() - at)
            throw Error(what + " has length " + std::to_string(length) + ", which does not fit in " + what_);
        return Reader(all_, begin_ + at, begin_ + at + length, std::move(what));
    }
    size_t Size() const { return end_ - begin_; }
    const std::string& What() const { return what_; }

private:
    void Need(size_t at, size_t n) const
    {
        if (at > Size() || Size() - at < n)
            throw Error(what_ + " is truncated");
    }
    ByteView all_;
    size_t begin_, end_;
    std::string what_;
};

std::vector<Qualifier> ReadQualifierList(const Reader& list, std::map<uint32_t, uint32_t>& flavors)
{
    const uint32_t count = list.U32(4);
    std::vector<Qualifier> out;
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i) {
        const Reader r = list.Sub(at, 16, "qualifier " + std::to_string(i) + " of " + list.What());
        const uint32_t vartype = r.U32(4);
        Qualifier q;
        {
            // The Info area follows the 16-byte header.
            const uint32_t nameAt = r.U32(8), valueAt = r.U32(12);
            if (nameAt == kAbsent || valueAt == kAbsent)
                throw Error(r.What() + " lacks its name or value");
            q.name = r.WString(16 + size_t(nameAt));
            const std::string what = "qualifier " + q.name + " of " + list.What();
            const size_t v = 16 + size_t(valueAt);
            switch (vartype) {
            case kVtBool: {
                const uint16_t b = r.U16(v);
                if (b != 0 && b != 0xFFFF)
                    throw Error(what + " holds " + std::to_string(b) + ", not a VARIANT_BOOL");
                q.kind = Qualifier::Kind::Boolean;
                q.boolean = b != 0;
                break;
            }
            case kVtI4:
                q.kind = Qualifier::Kind::Integer;
                q.integer = int32_t(r.U32(v));
                break;
            case kVtBstr:
                q.kind = Qualifier::Kind::String;
                q.string = r.WString(v);
                break;
            default:
                throw Error(what + " has VARTYPE " + std::to_string(vartype) + ", which is not supported");
            }
        }
        if (auto f = flavors.find(uint32_t(r.Begin())); f != flavors.end()) {
            q.flavor = f->second;
            flavors.erase(f);
        }
        out.push_back(std::move(q));
        at += r.Size();
    }
    if (at != list.Size())
        throw Error(list.What() + " is " + std::to_string(list.Size()) + " bytes long but its qualifiers take " +
                    std::to_string(at));
    return out;
}

Class ReadClass(const Reader& obj, std::map<uint32_t, uint32_t>& flavors)
{
    if (obj.U32(16) != 0)
        throw Error(obj.What() + " is an instance; only classes are supported");
    const size_t base = 20;  // the Info area follows the 20-byte header
    auto at = [&](size_t field, const char* what) {
        const uint32_t offset = obj.U32(field);
        if (offset == kAbsent)
            throw Error(obj.What() + " has no " + what);
        return base + size_t(offset);
    };
    Class c;
    c.qualifiers = ReadQualifierList(obj.Sub(at(4, "qualifier list"), 8, "qualifier list of " + obj.What()), flavors);

    const Reader methods = obj.Sub(at(12, "method list"), 8, "method list of " + obj.What());
    if (methods.U32(4) != 0)
        throw Error(obj.What() + " declares methods, which are not supported");

    const Reader props = obj.Sub(at(8, "property list"), 8, "property list of " + obj.What());
    const uint32_t count = props.U32(4);
    size_t pos = 8;
    bool haveClass = false, haveNamespace = false;
    for (uint32_t i = 0; i < count; ++i) {
        const Reader p = props.Sub(pos, 20, "property " + std::to_string(i) + " of " + obj.What());
        pos += p.Size();
        const uint32_t vartype = p.U32(4), nameAt = p.U32(8), valueAt = p.U32(12), qualifiersAt = p.U32(16);
        if (nameAt == kAbsent)
            throw Error(p.What() + " has no name");
        const std::string name = p.WString(20 + size_t(nameAt));
        const std::string what = "property " + name + " of " + obj.What();
        if (name.starts_with("__")) {
            if (vartype != kVtBstr || valueAt == kAbsent)
                throw Error("system " + what + " is not a string value");
            const std::string value = p.WString(20 + size_t(valueAt));
            if (name == "__CLASS")
                c.name = value, haveClass = true;
            else if (name == "__NAMESPACE")
                c.nameSpace = value, haveNamespace = true;
            else if (name == "__SUPERCLASS")
                c.superclass = value;
            else
                throw Error("system " + what + " is not supported");
            continue;
        }
        if (valueAt != kAbsent)
            throw Error(what + " has a default value, which is not supported");
        Property prop;
        prop.name = name;
        const TypeInfo* type = nullptr;
        for (const TypeInfo& t : kTypes)
            if (t.vartype == vartype)
                type = &t;
        if (type == nullptr)
            throw Error(what + " has VARTYPE " + std::to_string(vartype) +
                        ((vartype & kVtArray) ? " (an array)" : "") + ", which is not supported");
        prop.type = type->type;
        if (qualifiersAt == kAbsent)
            throw Error(what + " has no qualifiers, not even its CIMTYPE");
        std::vector<Qualifier> qualifiers =
            ReadQualifierList(p.Sub(20 + size_t(qualifiersAt), 8, "qualifier list of " + what), flavors);
        auto cimtype = std::find_if(qualifiers.begin(), qualifiers.end(), [](const Qualifier& q) { return q.name == "CIMTYPE"; });
        if (cimtype == qualifiers.end())
            throw Error(what + " has no CIMTYPE qualifier");
        if (cimtype->kind != Qualifier::Kind::String || !SameText(cimtype->string, type->name))
            throw Error(what + " has CIMTYPE \"" + cimtype->string + "\" but VARTYPE of " + std::string(type->name));
        if (cimtype->flavor != kCimtypeFlavor)
            throw Error("the CIMTYPE of " + what + " has flavor " + std::to_string(cimtype->flavor) +
                        ", not propagated to instances and subclasses (3)");
        qualifiers.erase(cimtype);
        prop.qualifiers = std::move(qualifiers);
        c.properties.push_back(std::move(prop));
    }
    if (pos != props.Size())
        throw Error(props.What() + " is " + std::to_string(props.Size()) + " bytes long but its properties take " +
                    std::to_string(pos));
    if (!haveClass || c.name.empty())
        throw Error(obj.What() + " has no __CLASS name");
    if (!haveNamespace)
        throw Error("class " + c.name + " has no __NAMESPACE");
    return c;
}

std::string Quote(std::string_view s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20) {
                char b[8];
                std::snprintf(b, sizeof b, "\\x%04X", c);
                out += b;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

std::string DumpQualifier(const Qualifier& q)
{
    std::string out = q.name;
    switch (q.kind) {
    case Qualifier::Kind::Boolean: out += q.boolean ? " boolean true" : " boolean false"; break;
    case Qualifier::Kind::Integer: out += " sint32 " + std::to_string(q.integer); break;
    case Qualifier::Kind::String: out += " string " + Quote(q.string); break;
    }
    if (q.flavor != 0)
        out += " flavor " + std::to_string(q.flavor);
    return out;
}

void PutLe32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

uint32_t GetLe32(ByteView b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

Qualifier Qualifier::Bool(std::string n, bool v)
{
    Qualifier q;
    q.name = std::move(n);
    q.kind = Kind::Boolean;
    q.boolean = v;
    return q;
}

Qualifier Qualifier::Int(std::string n, int32_t v)
{
    Qualifier q;
    q.name = std::move(n);
    q.kind = Kind::Integer;
    q.integer = v;
    return q;
}

Qualifier Qualifier::Str(std::string n, std::string v)
{
    Qualifier q;
    q.name = std::move(n);
    q.kind = Kind::String;
    q.string = std::move(v);
    return q;
}

std::string_view TypeName(Type t) { return Info(t).name; }
uint32_t TypeVartype(Type t) { return Info(t).vartype; }

Bytes EncodeBmof(const std::vector<Class>& classes)
{
    Writer w;
    Flavors flavors;
    w.Text("FOMB");
    const size_t length = w.Placeholder();
    w.U32(1);  // version
    w.U32(1);  // little-endian, DWORD-aligned
    w.U32(uint32_t(classes.size()));
    for (const Class& c : classes)
        PutClass(w, c, flavors);
    w.Patch(length, w.Size());
    if (!flavors.empty()) {
        w.Text(kFlavorSignature);
        w.U32(uint32_t(flavors.size()));
        for (auto [offset, flavor] : flavors) {
            w.U32(offset);
            w.U32(flavor);
        }
    }
    return w.Take();
}

std::vector<Class> DecodeBmof(ByteView data)
{
    if (data.size() < 20)
        throw Error("binary MOF of " + std::to_string(data.size()) + " bytes is shorter than its header");
    if (std::memcmp(data.data(), "FOMB", 4) != 0)
        throw Error("binary MOF does not start with FOMB");
    const Reader all(data, 0, data.size(), "binary MOF");
    const uint32_t length = all.U32(4);
    if (length < 20 || length > data.size())
        throw Error("binary MOF states length " + std::to_string(length) + " of " + std::to_string(data.size()) + " bytes");
    if (all.U32(8) != 1 || all.U32(12) != 1)
        throw Error("binary MOF version or encoding is not 1");

    std::map<uint32_t, uint32_t> flavors;
    if (length < data.size()) {
        const size_t tail = data.size() - length;
        const size_t sig = sizeof kFlavorSignature - 1;
        if (tail < sig + 4 || std::memcmp(&data[length], kFlavorSignature, sig) != 0)
            throw Error("binary MOF is followed by " + std::to_string(tail) + " bytes that are no flavor table");
        const uint32_t count = all.U32(length + sig);
        if ((tail - sig - 4) % 8 != 0 || (tail - sig - 4) / 8 != count)
            throw Error("flavor table states " + std::to_string(count) + " entries in " + std::to_string(tail) + " bytes");
        for (uint32_t i = 0; i < count; ++i)
            flavors[all.U32(length + sig + 4 + 8 * i)] = all.U32(length + sig + 8 + 8 * i);
    }

    const Reader objects(data, 0, length, "binary MOF");
    const uint32_t count = objects.U32(16);
    std::vector<Class> out;
    size_t at = 20;
    for (uint32_t i = 0; i < count; ++i) {
        const Reader obj = objects.Sub(at, 20, "object " + std::to_string(i));
        out.push_back(ReadClass(obj, flavors));
        at += obj.Size();
    }
    if (at != length)
        throw Error("binary MOF has " + std::to_string(length - at) + " bytes after its " + std::to_string(count) + " objects");
    if (!flavors.empty())
        throw Error("flavor table names offset " + std::to_string(flavors.begin()->first) + ", where no qualifier starts");
    return out;
}

Bytes WrapContainer(ByteView payload)
{
    if (payload.size() > kMaxPayload)
        throw Error("binary MOF too large for its container");
    const Bytes stream = DsCompress(payload);
    Bytes out = {'F', 'O', 'M', 'B'};
    PutLe32(out, 1);
    PutLe32(out, uint32_t(stream.size()));
    PutLe32(out, uint32_t(payload.size()));
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

Bytes UnwrapContainer(ByteView c)
{
    if (c.size() < 16)
        throw Error("container of " + std::to_string(c.size()) + " bytes is shorter than its 16-byte header");
    if (std::memcmp(c.data(), "FOMB", 4) != 0)
        throw Error("container does not start with FOMB");
    const uint32_t type = GetLe32(c, 4), compressed = GetLe32(c, 8), size = GetLe32(c, 12);
    if (type != 1)
        throw Error("container compression type " + std::to_string(type) + " is not 1 (DS)");
    if (compressed != c.size() - 16)
        throw Error("container states " + std::to_string(compressed) + " compressed bytes but holds " +
                    std::to_string(c.size() - 16));
    if (size > kMaxPayload)
        throw Error("container states an uncompressed size of " + std::to_string(size) + " bytes");
    return DsDecompress(c.subspan(16), size);
}

Bytes CompileMof(std::string_view text)
{
    const std::vector<Class> classes = ParseMof(text);
    if (classes.empty())
        throw Error("the MOF declares no class");
    return WrapContainer(EncodeBmof(classes));
}

std::vector<Class> DecodeContainer(ByteView container) { return DecodeBmof(UnwrapContainer(container)); }

std::string Dump(const std::vector<Class>& classes)
{
    std::string out;
    for (const Class& c : classes) {
        out += "namespace " + c.nameSpace + "\n";
        out += "class " + c.name + "\n";
        if (!c.superclass.empty())
            out += "superclass " + c.superclass + "\n";
        for (const Qualifier& q : c.qualifiers)
            out += "class-qualifier " + DumpQualifier(q) + "\n";
        for (const Property& p : c.properties) {
            out += "property " + p.name + " " + std::string(TypeName(p.type)) + "\n";
            for (const Qualifier& q : p.qualifiers)
                out += "property-qualifier " + p.name + " " + DumpQualifier(q) + "\n";
        }
    }
    return out;
}

}  // namespace bmof
