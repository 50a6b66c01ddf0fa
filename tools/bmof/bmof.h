// A small binary MOF compiler for the driver's WMI class: the MOF text it needs, the
// WMI binary MOF object stream, the DoubleSpace ("DS") compression that wraps it, and
// the lookup of the compiled class in a driver image's resources. Host-only code that
// needs nothing but the C++ standard library, so the cross build can build it with the
// build machine's compiler. Every failure is a bmof::Error naming what was wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bmof {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// ---- The class model ----------------------------------------------------------------

// Qualifier values are what binary MOF stores for them: VARIANT_BOOL, VT_I4 or a string.
struct Qualifier {
    enum class Kind { Boolean, Integer, String };
    std::string name;
    Kind kind = Kind::Boolean;
    bool boolean = true;
    int32_t integer = 0;
    std::string string;  // UTF-8
    // WBEM_FLAVOR_* bits from the flavor table; 0 when the qualifier has none.
    uint32_t flavor = 0;

    static Qualifier Bool(std::string n, bool v = true);
    static Qualifier Int(std::string n, int32_t v);
    static Qualifier Str(std::string n, std::string v);
    bool operator==(const Qualifier&) const = default;
};

enum class Type { String, Boolean, Uint8, Sint8, Uint16, Sint16, Uint32, Sint32, Uint64, Sint64 };

struct Property {
    std::string name;
    Type type = Type::String;
    std::vector<Qualifier> qualifiers;
    bool operator==(const Property&) const = default;
};

struct Class {
    std::string nameSpace;   // e.g. root\default
    std::string name;
    std::string superclass;  // empty for none
    std::vector<Qualifier> qualifiers;
    std::vector<Property> properties;
    bool operator==(const Class&) const = default;
};

// The MOF keyword of a type ("uint32") and its VARTYPE in binary MOF (VT_UI4).
std::string_view TypeName(Type t);
uint32_t TypeVartype(Type t);

// ---- MOF text -----------------------------------------------------------------------

// Parses the subset of MOF the driver's classes use: comments, #pragma namespace,
// class declarations with an optional superclass, class and property qualifiers with
// boolean, integer or string values, and scalar properties of the integer, boolean and
// string types. Anything else is refused with its line number.
std::vector<Class> ParseMof(std::string_view text);

// ---- Binary MOF object stream (uncompressed, "FOMB" header) -------------------------

// One class object per class, in order. Each property gets the CIMTYPE qualifier the
// platform's compiler adds, and the flavor table lists those qualifiers.
Bytes EncodeBmof(const std::vector<Class>& classes);
std::vector<Class> DecodeBmof(ByteView data);

// ---- DoubleSpace compression -------------------------------------------------------

// The "DS" bit stream: a 4-byte header, literals and back-references, a sync mark at
// every 512 bytes of output and one at the end, padded to a whole byte.
Bytes DsCompress(ByteView data);
// Decodes a stream that must produce exactly `size` bytes and end with its sync mark.
Bytes DsDecompress(ByteView stream, size_t size);

// ---- Container ("FOMB", compression type 1, sizes, DS stream) -----------------------

Bytes WrapContainer(ByteView payload);
Bytes UnwrapContainer(ByteView container);

// ---- Driver image -------------------------------------------------------------------

// The data of resource type "MOFDATA", name "MOFRESOURCENAME", language 1033 in a PE32
// or PE32+ image.
Bytes FindMofResource(ByteView image);

// ---- Whole steps -------------------------------------------------------------------

Bytes CompileMof(std::string_view text);                  // MOF text -> container
std::vector<Class> DecodeContainer(ByteView container);   // container -> classes
// One fact per line: namespace, class, each class qualifier, each property with its
// type and each of its qualifiers. Strings are quoted with MOF escapes.
std::string Dump(const std::vector<Class>& classes);

}  // namespace bmof
