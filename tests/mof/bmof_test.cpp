// The binary MOF compiler: the driver's class survives compile and decode whole, the
// object stream has the platform's layout, the DS streams follow the bit format (streams
// assembled here bit by bit from the format, not by the code under test), and damaged
// containers, streams and images are refused with an error, never a crash.
#include "bmof.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

using namespace bmof;

namespace {

std::string ReadText(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint32_t Le32(const Bytes& b, size_t at)
{
    uint32_t v;
    (void)b.at(at + 3);
    std::memcpy(&v, &b[at], 4);
    return v;
}

void ExpectError(const std::function<void()>& f, const std::string& part)
{
    try {
        f();
        ADD_FAILURE() << "no error; expected one mentioning \"" << part << "\"";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
}

// Bits in stream order: Code takes them as written, first bit first; Field puts a
// value's bits least significant first, as every multi-bit field of the format is.
struct Bits {
    Bytes bytes;
    size_t n = 0;
    Bits& Code(std::string_view s)
    {
        for (char c : s)
            Put(c == '1');
        return *this;
    }
    Bits& Field(uint32_t v, int width)
    {
        for (int i = 0; i < width; ++i)
            Put((v >> i) & 1);
        return *this;
    }
    Bits& Header() { return Field('D', 8).Field('S', 8).Field(0, 8).Field(1, 8); }
    Bits& Literal(uint8_t b) { return b < 0x80 ? Code("01").Field(b, 7) : Code("10").Field(b & 0x7F, 7); }
    Bits& Near(uint32_t d) { return Code("00").Field(d, 6); }
    Bits& Mid(uint32_t d) { return Code("110").Field(d - 64, 8); }
    Bits& Far(uint32_t d) { return Code("111").Field(d - 320, 12); }
    Bits& Sync() { return Code("111").Field(0xFFF, 12); }
    // z zero bits, a one, then z bits of value: lengths 2, 3-4, 5-8, ..., 257-512.
    Bits& Length(uint32_t len)
    {
        int z = 0;
        while (len > (2u << z))
            ++z;
        for (int i = 0; i < z; ++i)
            Put(false);
        Put(true);
        return Field(len - ((1u << z) + 1), z);
    }
    // n literals of a byte pattern, with the sync mark at each block boundary.
    Bits& Literals(Bytes& out, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            if (!out.empty() && out.size() % 512 == 0)
                Sync();
            out.push_back(uint8_t(out.size() * 37 + 11));
            Literal(out.back());
        }
        return *this;
    }
    void Put(bool bit)
    {
        if (n % 8 == 0)
            bytes.push_back(0);
        if (bit)
            bytes.back() |= uint8_t(1 << (n % 8));
        ++n;
    }
};

Class DriverClass()
{
    Class c;
    c.nameSpace = "root\\default";
    c.name = "KelvoDeviceInformation";
    c.qualifiers = {Qualifier::Bool("WMI"),
                    Qualifier::Bool("Dynamic"),
                    Qualifier::Str("Provider", "WMIProv"),
                    Qualifier::Str("Description", "virtual com port driver"),
                    Qualifier::Str("guid", "{2F8A6504-3E7A-4698-A8FA-B3073FDC194D}"),
                    Qualifier::Str("locale", "MS\\0x409")};
    c.properties = {
        {"InstanceName", Type::String, {Qualifier::Bool("key"), Qualifier::Bool("read")}},
        {"Active", Type::Boolean, {Qualifier::Bool("read")}},
        {"DebugLevel", Type::Uint32,
         {Qualifier::Int("WmiDataId", 1), Qualifier::Bool("read"), Qualifier::Bool("write"),
          Qualifier::Str("Description",
                         "The DebugLevel property indicates the debug output level of the generic client driver.")}},
        {"ModelName", Type::String,
         {Qualifier::Int("WmiDataId", 2), Qualifier::Bool("read"), Qualifier::Str("Description", "ModelName")}},
    };
    return c;
}

Bytes Payload() { return EncodeBmof(ParseMof(ReadText(VCOM_MOF_PATH))); }

}  // namespace

TEST(BmofCompile, DriverClassComesBackWhole)
{
    const Bytes container = CompileMof(ReadText(VCOM_MOF_PATH));
    const std::vector<Class> classes = DecodeContainer(container);
    ASSERT_EQ(classes.size(), 1u);
    EXPECT_TRUE(classes[0] == DriverClass()) << Dump(classes);
}

// The platform's compiler makes 1572 bytes of this class; each of its structures is
// here where it puts it.
TEST(BmofCompile, ObjectStreamHasThePlatformLayout)
{
    const Bytes b = Payload();
    ASSERT_EQ(b.size(), 1572u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "FOMB");
    EXPECT_EQ(Le32(b, 4), 1520u);  // the objects end where the flavor table starts
    EXPECT_EQ(Le32(b, 8), 1u);
    EXPECT_EQ(Le32(b, 12), 1u);
    EXPECT_EQ(Le32(b, 16), 1u);  // one object
    EXPECT_EQ(Le32(b, 20), 1500u);
    EXPECT_EQ(Le32(b, 24), 0u);    // qualifier list first
    EXPECT_EQ(Le32(b, 28), 372u);  // then the properties
    EXPECT_EQ(Le32(b, 32), 1472u);  // then the (empty) method list
    EXPECT_EQ(Le32(b, 36), 0u);    // a class
    EXPECT_EQ(Le32(b, 40), 372u);
    EXPECT_EQ(Le32(b, 44), 6u);
    // [WMI]: length, VT_BOOL, name at 0, value at 8, L"WMI", VARIANT_BOOL true, padding.
    const Bytes wmi = {0x1C, 0, 0, 0, 0x0B, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0,
                       'W', 0, 'M', 0, 'I', 0, 0, 0, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(Bytes(b.begin() + 48, b.begin() + 76), wmi);
    const auto name = [&](size_t at, size_t chars) {
        std::u16string s(chars, u'\0');
        std::memcpy(s.data(), &b.at(at + 2 * chars) - 2 * chars, 2 * chars);
        return s;
    };
    // The property list: the four properties, then __CLASS and __NAMESPACE.
    EXPECT_EQ(Le32(b, 412), 1100u);
    EXPECT_EQ(Le32(b, 416), 6u);
    EXPECT_EQ(Le32(b, 1356), 84u);
    EXPECT_EQ(name(1376, 7), u"__CLASS");
    EXPECT_EQ(Le32(b, 1440), 72u);
    EXPECT_EQ(name(1460, 11), u"__NAMESPACE");
    // Each property's CIMTYPE qualifier, last of its qualifiers, is in the flavor table,
    // propagated to instances and subclasses.
    EXPECT_EQ(std::string(b.begin() + 1520, b.begin() + 1536), "BMOFQUALFLAVOR11");
    ASSERT_EQ(Le32(b, 1536), 4u);
    const uint32_t cimtypes[] = {536, 660, 1080, 1308};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(Le32(b, 1540 + 8 * i), cimtypes[i]);
        EXPECT_EQ(Le32(b, 1544 + 8 * i), 3u);
        EXPECT_EQ(name(cimtypes[i] + 16, 7), u"CIMTYPE") << "flavor entry " << i;
    }
}

TEST(BmofContainer, HeaderAndCompressedStream)
{
    const Bytes payload = Payload();
    const Bytes c = WrapContainer(payload);
    ASSERT_GT(c.size(), 20u);
    EXPECT_EQ(std::string(c.begin(), c.begin() + 4), "FOMB");
    EXPECT_EQ(Le32(c, 4), 1u);
    EXPECT_EQ(Le32(c, 8), c.size() - 16);
    EXPECT_EQ(Le32(c, 12), payload.size());
    EXPECT_EQ(Bytes(c.begin() + 16, c.begin() + 20), (Bytes{'D', 'S', 0, 1}));
    EXPECT_LT(c.size(), payload.size() / 2);
    EXPECT_LE(c.size(), 677u);  // no larger than the platform compiler's
    EXPECT_EQ(UnwrapContainer(c), payload);
}

TEST(DsStream, HandAssembledStreamsDecode)
{
    // Literals below and above 0x80, an overlapping near copy, a run of one byte.
    Bits s;
    s.Header().Literal('a').Literal('b').Literal(0xE9).Near(3).Length(7).Near(1).Length(4).Sync();
    EXPECT_EQ(DsDecompress(s.bytes, 14), (Bytes{'a', 'b', 0xE9, 'a', 'b', 0xE9, 'a', 'b', 0xE9, 'a', 'a', 'a', 'a', 'a'}));

    // Many blocks with their sync marks, then the farthest copy, far and mid distances,
    // a long run.
    Bits l;
    Bytes want;
    l.Header().Literals(want, 4420);
    l.Far(4414).Length(3).Far(400).Length(3).Mid(100).Length(2).Near(1).Length(100).Sync();
    for (auto [d, n] : {std::pair{4414, 3}, {400, 3}, {100, 2}, {1, 100}})
        for (int k = 0; k < n; ++k)
            want.push_back(want[want.size() - d]);
    EXPECT_EQ(DsDecompress(l.bytes, want.size()), want);
}

TEST(DsStream, CompressorWritesTheFormat)
{
    // "aaaa": a literal, then a copy one byte back of three, then the end mark.
    Bits want;
    want.Header().Literal('a').Near(1).Length(3).Sync();
    EXPECT_EQ(DsCompress(Bytes{'a', 'a', 'a', 'a'}), want.bytes);

    // Runs and repeats far apart compress by copies, and come back exactly across many
    // blocks (the decoder demands every block's sync mark).
    Bytes data(3000, 0x5A);
    EXPECT_LT(DsCompress(data).size(), 40u);
    uint32_t x = 12345;
    for (int i = 0; i < 6000; ++i) {
        x = x * 1103515245 + 12345;
        const uint8_t b = i % 1500 < 700 ? uint8_t(x >> 16) : data[data.size() - 2500];
        data.push_back(b);
    }
    const Bytes packed = DsCompress(data);
    EXPECT_LT(packed.size(), data.size() * 2 / 3);
    EXPECT_EQ(DsDecompress(packed, data.size()), data);
    EXPECT_EQ(DsDecompress(DsCompress(Bytes{}), 0), Bytes{});
}

TEST(DsStream, MalformedStreamsRefused)
{
    const auto stream = [](const std::function<void(Bits&)>& body) {
        Bits b;
        b.Header();
        body(b);
        return b.bytes;
    };
    const Bytes good = stream([](Bits& b) { b.Literal('x').Near(1).Length(3).Sync(); });
    ASSERT_EQ(DsDecompress(good, 4), Bytes(4, 'x'));
    ExpectError([&] { DsDecompress(Bytes(good.begin(), good.end() - 2), 4); }, "truncated");
    ExpectError([&] { DsDecompress(Bytes(good.begin(), good.begin() + 3), 4); }, "truncated");
    Bytes bad = good;
    bad[0] = 'X';
    ExpectError([&] { DsDecompress(bad, 4); }, "DS signature");
    ExpectError([&] { DsDecompress(good, 3); }, "more than the 3 bytes");
    ExpectError([&] { DsDecompress(good, 5); }, "not on a 512-byte boundary");
    Bytes longer = good;
    longer.push_back(0);
    ExpectError([&] { DsDecompress(longer, 4); }, "after its end mark");
    ExpectError([&] { DsDecompress(stream([](Bits& b) { b.Near(1).Length(2).Sync(); }), 2); }, "before the start");
    Bytes out;
    ExpectError([&] { DsDecompress(stream([&](Bits& b) { b.Literals(out, 4413).Far(4414).Length(2).Sync(); }), 4415); },
                "before the start");
    ExpectError([&] { DsDecompress(stream([](Bits& b) { b.Literal('x').Near(0).Length(2).Sync(); }), 3); },
                "distance 0");
    ExpectError([&] { DsDecompress(stream([](Bits& b) { b.Literal('x').Near(1).Code("000000000").Sync(); }), 9); },
                "leading zero");
    const auto literals = [](Bits& b, int n) {
        for (int i = 0; i < n; ++i)
            b.Literal('y');
    };
    ExpectError([&] { DsDecompress(stream([&](Bits& b) { literals(b, 513); b.Sync(); }), 513); }, "lacks the sync mark");
    ExpectError([&] { DsDecompress(stream([&](Bits& b) { literals(b, 511); b.Near(1).Length(2).Sync(); }), 513); },
                "across a 512-byte boundary");
    ExpectError([&] { DsDecompress(stream([&](Bits& b) { b.Sync().Literal('y').Sync(); }), 1); }, "repeated");
}

TEST(BmofContainer, DamagedInputNeverCrashes)
{
    const Bytes payload = Payload();
    const Bytes c = WrapContainer(payload);
    ExpectError([&] { UnwrapContainer(Bytes(c.begin(), c.begin() + 15)); }, "16-byte header");
    const auto patched = [&](size_t at, uint32_t v) {
        Bytes b = c;
        std::memcpy(&b[at], &v, 4);
        return b;
    };
    ExpectError([&] { UnwrapContainer(patched(0, 0x12345678)); }, "FOMB");
    ExpectError([&] { UnwrapContainer(patched(4, 2)); }, "compression type 2");
    ExpectError([&] { UnwrapContainer(patched(8, uint32_t(c.size() - 15))); }, "compressed bytes");
    ExpectError([&] { UnwrapContainer(patched(8, uint32_t(c.size() - 17))); }, "compressed bytes");
    ExpectError([&] { UnwrapContainer(patched(12, uint32_t(payload.size() - 1))); }, "more than");
    ExpectError([&] { UnwrapContainer(patched(12, 1u << 30)); }, "uncompressed size");
    ExpectError([&] { DecodeBmof(Bytes(payload.begin(), payload.begin() + 1000)); }, "states length 1520");
    Bytes b = payload;
    b[1540] += 4;  // the first CIMTYPE loses its flavor to the middle of a qualifier
    ExpectError([&] { DecodeBmof(b); }, "not propagated to instances and subclasses");
    b = payload;
    b[1536] = 5;  // one more flavor entry, for offset 3
    b.insert(b.end(), {3, 0, 0, 0, 3, 0, 0, 0});
    ExpectError([&] { DecodeBmof(b); }, "offset 3, where no qualifier starts");
    ExpectError([&] { DecodeBmof(Bytes(payload.begin(), payload.end() - 8)); }, "flavor table states 4 entries");
    b = payload;
    b.insert(b.begin() + 1520, 4, 0);  // room after the object that no object fills
    b[4] += 4;
    ExpectError([&] { DecodeBmof(b); }, "4 bytes after its 1 objects");

    // Every truncation and every byte flipped, in the container and in the object
    // stream: an Error or a decoded class, and nothing read out of bounds (ASan).
    for (size_t n = 0; n < c.size(); ++n)
        EXPECT_THROW(DecodeContainer(Bytes(c.begin(), c.begin() + n)), Error) << n;
    for (size_t i = 0; i < c.size(); ++i) {
        Bytes d = c;
        d[i] ^= 0xA5;
        try {
            DecodeContainer(d);
        } catch (const Error&) {
        }
    }
    for (size_t i = 0; i < payload.size(); ++i) {
        Bytes d = payload;
        d[i] ^= 0xFF;
        try {
            DecodeBmof(d);
        } catch (const Error&) {
        }
    }
}

TEST(BmofMof, ParsesTheSubsetAndRefusesTheRest)
{
    const char* text = R"(
        #pragma namespace("\\\\.\\root\\wmi")  // a comment
        /* a comment
           over lines */
        [Small(-2), Big(0x7FFFFFFF), Off(false), Text("a\"b" "\x41\\")]
        class Derived : Base {
            uint8 A; sint8 B; uint16 C; sint16 D; uint32 E; sint32 F; uint64 G; sint64 H;
            Boolean I; STRING J;
        };)";
    const auto classes = ParseMof(text);
    ASSERT_EQ(classes.size(), 1u);
    const Class& c = classes[0];
    EXPECT_EQ(c.nameSpace, "root\\wmi");
    EXPECT_EQ(c.superclass, "Base");
    EXPECT_EQ(c.qualifiers, (std::vector<Qualifier>{Qualifier::Int("Small", -2), Qualifier::Int("Big", 0x7FFFFFFF),
                                                    Qualifier::Bool("Off", false), Qualifier::Str("Text", "a\"bA\\")}));
    const std::vector<Type> types = {Type::Uint8,  Type::Sint8,  Type::Uint16, Type::Sint16, Type::Uint32,
                                     Type::Sint32, Type::Uint64, Type::Sint64, Type::Boolean, Type::String};
    ASSERT_EQ(c.properties.size(), types.size());
    for (size_t i = 0; i < types.size(); ++i)
        EXPECT_EQ(c.properties[i].type, types[i]) << c.properties[i].name;
    // Every type and value kind, and the superclass, survive the binary form.
    EXPECT_EQ(DecodeContainer(CompileMof(text)), classes);

    const std::pair<const char*, const char*> refused[] = {
        {"class A { real32 X; };", "line 1: type real32"},
        {"class A {\n uint8 X[]; };", "line 2: array property X"},
        {"class A { uint8 X = 1; };", "default value of X"},
        {"[key : ToSubclass] class A { };", "flavors of qualifier key"},
        {"[Values{\"a\"}] class A { };", "array value of qualifier Values"},
        {"#pragma classflags(\"forceupdate\")", "only #pragma namespace"},
        {"[D(\"x)] class A { };", "string never closed"},
        {"/* open", "comment never closed"},
        {"[N(2147483648)] class A { };", "not a 32-bit signed integer"},
        {"class A { uint8 X; uint8 x; };", "declared twice"},
        {"class A { uint8 X; }", "expected \";\""},
        {"[D(\"\\q\")] class A { };", "unknown escape"},
    };
    for (auto [text, part] : refused)
        ExpectError([&] { ParseMof(text); }, part);
    ExpectError([&] { CompileMof("// nothing"); }, "declares no class");
}

namespace {

// A minimal PE32 or PE32+ image with one section holding a resource tree of one leaf.
Bytes BuildImage(bool plus, std::u16string type, std::u16string name, uint16_t language, const Bytes& data)
{
    Bytes f(0x200, 0);
    const auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&f[at], &v, 2); };
    const auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&f[at], &v, 4); };
    f[0] = 'M', f[1] = 'Z';
    put32(0x3C, 0x40);
    put32(0x40, 0x4550);
    put16(0x44, plus ? 0x8664 : 0x14C);
    put16(0x46, 1);
    const uint16_t optSize = plus ? 240 : 224;
    put16(0x54, optSize);
    const size_t opt = 0x58;
    put16(opt, plus ? 0x20B : 0x10B);
    const size_t dirs = opt + (plus ? 112 : 96);
    put32(dirs - 4, 16);
    const size_t sect = opt + optSize;
    std::memcpy(&f[sect], ".rsrc", 5);

    Bytes r(0x58, 0);  // three directories of one entry each, then the data entry
    const auto r32 = [&](size_t at, uint32_t v) { std::memcpy(&r[at], &v, 4); };
    const auto str = [&](const std::u16string& s) {
        const uint32_t at = uint32_t(r.size());
        r.push_back(uint8_t(s.size()));
        r.push_back(0);
        for (char16_t ch : s)
            r.push_back(uint8_t(ch)), r.push_back(uint8_t(ch >> 8));
        return at;
    };
    r[12] = 1;  // a named entry
    r32(16, 0x80000000u | str(type));
    r32(20, 0x80000000u | 0x18);
    r[0x18 + 12] = 1;
    r32(0x28, 0x80000000u | str(name));
    r32(0x2C, 0x80000000u | 0x30);
    r[0x30 + 14] = 1;  // a numbered entry
    r32(0x40, language);
    r32(0x44, 0x48);
    while (r.size() % 4)
        r.push_back(0);
    r32(0x48, 0x1000 + uint32_t(r.size()));
    r32(0x4C, uint32_t(data.size()));
    r.insert(r.end(), data.begin(), data.end());

    put32(dirs + 16, 0x1000);  // the resource directory
    put32(dirs + 20, uint32_t(r.size()));
    put32(sect + 8, uint32_t(r.size()));
    put32(sect + 12, 0x1000);
    put32(sect + 16, uint32_t(r.size()));
    put32(sect + 20, 0x200);
    f.insert(f.end(), r.begin(), r.end());
    return f;
}

}  // namespace

TEST(BmofImage, FindsTheMofResourceOfPe32AndPe32Plus)
{
    const Bytes c = CompileMof(ReadText(VCOM_MOF_PATH));
    for (bool plus : {false, true}) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        const Bytes image = BuildImage(plus, u"MOFDATA", u"MOFRESOURCENAME", 1033, c);
        EXPECT_EQ(FindMofResource(image), c);
        for (const char16_t* type : {u"MOFDATB", u"MOFDATAS"})
            ExpectError([&] { FindMofResource(BuildImage(plus, type, u"MOFRESOURCENAME", 1033, c)); },
                        "no resource type MOFDATA");
        ExpectError([&] { FindMofResource(BuildImage(plus, u"MOFDATA", u"MOFRESOURCE", 1033, c)); },
                    "no MOFDATA resource named MOFRESOURCENAME");
        ExpectError([&] { FindMofResource(BuildImage(plus, u"MOFDATA", u"MOFRESOURCENAME", 1031, c)); },
                    "no language 1033");
        Bytes shortSection = image;  // the data runs past the section's file data
        shortSection[0x58 + (plus ? 240 : 224) + 16] -= 4;
        ExpectError([&] { FindMofResource(shortSection); }, "runs past its section's data");
        Bytes noDir = image;
        std::memset(&noDir[0x58 + (plus ? 112 : 96) + 16], 0, 8);
        ExpectError([&] { FindMofResource(noDir); }, "no resources");
        for (size_t n = 0; n < image.size(); n += 7)
            EXPECT_THROW(FindMofResource(Bytes(image.begin(), image.begin() + n)), Error) << n;
    }
    ExpectError([&] { FindMofResource(Bytes(100, 'x')); }, "not a PE image");
}
