// Finds the compiled WMI class in a driver image: the resource of type "MOFDATA", name
// "MOFRESOURCENAME", language 1033, the one the WMI service loads for a driver that
// registers the MOF resource name "MofResourceName". The resource directory has three
// levels (type, name, language), each a 16-byte header with the counts of named and of
// numbered entries, then 8-byte entries: the name (bit 31 set: offset of a counted
// UTF-16 string) and the data (bit 31 set: offset of the next level's directory). All
// these offsets are from the start of the resource directory; the leaf's data entry
// gives the resource's RVA and size.
#include "bmof.h"

#include <algorithm>
#include <cctype>

namespace bmof {
namespace {

class Image {
public:
    explicit Image(ByteView b) : b_(b) {}

    uint32_t U32(size_t at, const char* what) const
    {
        Need(at, 4, what);
        return uint32_t(b_[at]) | uint32_t(b_[at + 1]) << 8 | uint32_t(b_[at + 2]) << 16 | uint32_t(b_[at + 3]) << 24;
    }
    uint16_t U16(size_t at, const char* what) const
    {
        Need(at, 2, what);
        return uint16_t(b_[at] | b_[at + 1] << 8);
    }
    void Need(size_t at, size_t n, const char* what) const
    {
        if (at > b_.size() || b_.size() - at < n)
            throw Error(std::string("image truncated: ") + what + " lies past the end of the file");
    }

    struct Section {
        uint32_t va, vsize, rawSize, rawOffset;
    };
    std::vector<Section> sections;

    // The file offset of `n` bytes at `rva`, which must lie in one section's file data.
    size_t Offset(uint32_t rva, size_t n, const char* what) const
    {
        for (const Section& s : sections) {
            if (rva < s.va || rva - s.va >= std::max(s.vsize, s.rawSize))
                continue;
            const size_t into = rva - s.va;
            if (into > s.rawSize || s.rawSize - into < n)
                throw Error(std::string(what) + " runs past its section's data in the file");
            Need(size_t(s.rawOffset) + into, n, what);
            return size_t(s.rawOffset) + into;
        }
        throw Error(std::string(what) + " at RVA " + std::to_string(rva) + " lies in no section");
    }
    ByteView View(size_t at, size_t n) const { return b_.subspan(at, n); }

private:
    ByteView b_;
};

class Resources {
public:
    Resources(const Image& image, uint32_t rva, uint32_t size)
        : image_(image), base_(image.Offset(rva, size, "resource directory")), size_(size)
    {
    }

    // The offset (from the directory's start) of the entry data for a named entry (name
    // non-empty) or a numbered one in the directory at `dir`.
    uint32_t Find(uint32_t dir, const std::string& name, uint16_t id, bool wantDirectory, const std::string& what) const
    {
        const size_t named = U16(dir + 12), numbered = U16(dir + 14);
        for (size_t i = 0; i < named + numbered; ++i) {
            const uint32_t entry = dir + 16 + uint32_t(8 * i);
            const uint32_t nameField = U32(entry), dataField = U32(entry + 4);
            const bool isNamed = nameField & 0x80000000u;
            if (isNamed != !name.empty())
                continue;
            if (isNamed ? !NameIs(nameField & 0x7FFFFFFFu, name) : nameField != id)
                continue;
            const bool isDirectory = dataField & 0x80000000u;
            if (isDirectory != wantDirectory)
                throw Error(what + (wantDirectory ? " is a leaf, not a directory" : " is a directory, not data"));
            return dataField & 0x7FFFFFFFu;
        }
        throw Error("no " + what + " in the image's resources");
    }

    Bytes Data(uint32_t entry) const
    {
        const uint32_t rva = U32(entry), size = U32(entry + 4);
        const size_t at = image_.Offset(rva, size, "MOF resource data");
        const ByteView v = image_.View(at, size);
        return Bytes(v.begin(), v.end());
    }

private:
    uint32_t U32(uint32_t at) const
    {
        Need(at, 4);
        return image_.U32(base_ + at, "resource directory");
    }
    uint16_t U16(uint32_t at) const
    {
        Need(at, 2);
        return image_.U16(base_ + at, "resource directory");
    }
    void Need(uint32_t at, size_t n) const
    {
        if (at > size_ || size_ - at < n)
            throw Error("resource directory entry at " + std::to_string(at) + " lies outside the resource directory");
    }
    // Resource names compare without regard to case, as the loader compares them.
    bool NameIs(uint32_t at, const std::string& name) const
    {
        const uint16_t length = U16(at);
        if (length != name.size())
            return false;
        for (size_t i = 0; i < length; ++i) {
            const uint16_t c = U16(at + 2 + uint32_t(2 * i));
            if (c >= 0x80 || std::toupper(c) != std::toupper((unsigned char)name[i]))
                return false;
        }
        return true;
    }

    const Image& image_;
    size_t base_;
    uint32_t size_;
};

}  // namespace

Bytes FindMofResource(ByteView bytes)
{
    Image image(bytes);
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z')
        throw Error("not a PE image: no MZ header");
    const uint32_t pe = image.U32(0x3C, "PE header offset");
    if (image.U32(pe, "PE signature") != 0x00004550)
        throw Error("not a PE image: no PE signature where the MZ header points");
    const uint16_t sectionCount = image.U16(pe + 6, "COFF header");
    const uint16_t optionalSize = image.U16(pe + 20, "COFF header");
    const size_t opt = size_t(pe) + 24;
    const uint16_t magic = image.U16(opt, "optional header");
    size_t dirCountAt = 0;
    if (magic == 0x10B)
        dirCountAt = opt + 92;
    else if (magic == 0x20B)
        dirCountAt = opt + 108;
    else
        throw Error("optional header magic " + std::to_string(magic) + " is neither PE32 nor PE32+");
    if (dirCountAt + 4 > opt + optionalSize)
        throw Error("optional header too short for its data directories");
    const uint32_t dirCount = image.U32(dirCountAt, "optional header");
    const size_t resourceDir = dirCountAt + 4 + 2 * 8;  // IMAGE_DIRECTORY_ENTRY_RESOURCE
    if (dirCount < 3 || resourceDir + 8 > opt + optionalSize)
        throw Error("image has no resource directory, so no MOFDATA resource");
    const uint32_t rva = image.U32(resourceDir, "data directories"), size = image.U32(resourceDir + 4, "data directories");
    if (rva == 0 || size == 0)
        throw Error("image has no resources, so no MOFDATA resource");

    const size_t table = opt + optionalSize;
    for (size_t i = 0; i < sectionCount; ++i) {
        const size_t s = table + 40 * i;
        image.sections.push_back({image.U32(s + 12, "section table"), image.U32(s + 8, "section table"),
                                  image.U32(s + 16, "section table"), image.U32(s + 20, "section table")});
    }

    const Resources res(image, rva, size);
    const uint32_t names = res.Find(0, "MOFDATA", 0, true, "resource type MOFDATA");
    const uint32_t languages = res.Find(names, "MOFRESOURCENAME", 0, true, "MOFDATA resource named MOFRESOURCENAME");
    const uint32_t leaf = res.Find(languages, "", 1033, false, "language 1033 of the MOFDATA resource MOFRESOURCENAME");
    return res.Data(leaf);
}

}  // namespace bmof
