// The loader for the shipped driver image: maps a PE32 (i386) image, applies its base
// relocations, binds its imports by name to the emulation's routines, protects each
// section as its characteristics say, and records which ranges are pageable (PAGE)
// and initialisation code (INIT), so the verifier can judge code in the image by the
// addresses involved, as it judges the host build's code by its sections.
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "hostkernel/pe.h"
#include "internal.h"

namespace hk {
namespace detail {
namespace {

std::mutex gImagesLock;
struct Range {
    ULONG_PTR start, end;
    bool pageable;  // PAGE; otherwise INIT
};
std::vector<Range> gCodeRanges;
std::vector<const PeImage*> gImages;  // mapped now, for naming addresses by their symbols
// How many ranges gCodeRanges holds, read without the lock: with no image mapped (the
// host builds link the driver in) no address can lie in one.
std::atomic<size_t> gCodeRangeCount{0};

// Image fields need not be aligned (symbol records are 18 bytes long, relocation
// targets are anywhere): read and write them bytewise.
template <typename T>
T Get(const void* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
void Put(void* p, T v)
{
    std::memcpy(p, &v, sizeof v);
}
[[maybe_unused]] ULONG Read32(const std::vector<UCHAR>& f, size_t at) { return at + 4 <= f.size() ? Get<ULONG>(&f[at]) : 0; }
[[maybe_unused]] USHORT Read16(const std::vector<UCHAR>& f, size_t at) { return at + 2 <= f.size() ? Get<USHORT>(&f[at]) : 0; }

constexpr ULONG kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;

}  // namespace

bool InImagePage(const void* address, bool* pageable)
{
    if (gCodeRangeCount.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<std::mutex> g(gImagesLock);
    for (const Range& r : gCodeRanges)
        if ((ULONG_PTR)address >= r.start && (ULONG_PTR)address < r.end) {
            *pageable = r.pageable;
            return true;
        }
    return false;
}

bool ImageSymbolAt(const void* address, std::string* name, ULONG_PTR* offset)
{
    auto at = (ULONG_PTR)address;
    std::lock_guard<std::mutex> g(gImagesLock);
    for (const PeImage* image : gImages) {
        if (at < image->Base() || at >= image->Base() + image->Size()) continue;
        const PeSymbol* best = nullptr;
        for (const PeSymbol& s : image->Symbols())
            if (s.address <= at && (!best || s.address > best->address) && !s.name.empty() && s.name[0] != '.') best = &s;
        if (!best) return false;
        *name = best->name;
        *offset = at - best->address;
        return true;
    }
    return false;
}

}  // namespace detail

using namespace detail;

NTSTATUS PeImage::Map(const std::string& path, std::unique_ptr<PeImage>* out, std::string* error)
{
#if !defined(__i386__)
    (void)path;
    (void)out;
    *error = "a PE32 image runs only in the 32-bit host build";
    return STATUS_NOT_SUPPORTED;
#else
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::vector<UCHAR> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto bad = [&](const std::string& why) {
        *error = path + ": " + why;
        return STATUS_INVALID_IMAGE_FORMAT;
    };
    if (f.size() < 0x40 || f[0] != 'M' || f[1] != 'Z') return bad("no MZ header");
    size_t pe = Read32(f, 0x3C);
    if (Read32(f, pe) != 0x00004550) return bad("no PE signature");
    size_t coff = pe + 4;
    if (Read16(f, coff) != 0x14C) return bad("not an i386 image");
    USHORT sectionCount = Read16(f, coff + 2);
    ULONG symbolTable = Read32(f, coff + 8), symbolCount = Read32(f, coff + 12);
    size_t opt = coff + 20;
    if (Read16(f, opt) != 0x10B) return bad("not PE32");
    std::unique_ptr<PeImage> image(new PeImage);
    image->entryRva_ = Read32(f, opt + 16);
    image->preferred_ = Read32(f, opt + 28);
    image->size_ = Read32(f, opt + 56);
    ULONG headerSize = Read32(f, opt + 60);
    ULONG dirCount = Read32(f, opt + 92);
    auto dir = [&](int i) { return i < (int)dirCount ? std::make_pair(Read32(f, opt + 96 + 8 * i), Read32(f, opt + 100 + 8 * i)) : std::make_pair(0u, 0u); };
    if (!image->size_ || headerSize > f.size()) return bad("sizes out of range");

    // At the preferred base when it is free, anywhere otherwise (then relocated).
    void* at = mmap((void*)image->preferred_, image->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (at == MAP_FAILED || (ULONG_PTR)at != image->preferred_) {
        if (at != MAP_FAILED) munmap(at, image->size_);
        at = mmap(nullptr, image->size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED) return bad("cannot map " + std::to_string(image->size_) + " bytes");
    }
    image->base_ = (ULONG_PTR)at;
    auto* base = (UCHAR*)at;
    std::memcpy(base, f.data(), headerSize);

    size_t sections = opt + Read16(f, coff + 16);
    for (USHORT i = 0; i < sectionCount; ++i) {
        size_t h = sections + 40 * (size_t)i;
        char name[9] = {};
        std::memcpy(name, &f[h], 8);
        ULONG virtualSize = Read32(f, h + 8), rva = Read32(f, h + 12), rawSize = Read32(f, h + 16), rawAt = Read32(f, h + 20);
        ULONG flags = Read32(f, h + 36);
        size_t span = std::max(virtualSize, rawSize);
        if ((size_t)rva + span > image->size_ || (size_t)rawAt + std::min(rawSize, virtualSize ? virtualSize : rawSize) > f.size())
            return bad(std::string("section ") + name + " out of range");
        std::memcpy(base + rva, &f[rawAt], std::min(rawSize, virtualSize ? virtualSize : rawSize));
        int prot = ((flags & kScnRead) ? PROT_READ : 0) | ((flags & kScnWrite) ? PROT_WRITE : 0) | ((flags & kScnExecute) ? PROT_EXEC : 0);
        image->sections_.push_back({name, image->base_ + rva, span, prot});
    }

    // Base relocations: each HIGHLOW entry moves by the distance from the preferred base.
    LONG delta = (LONG)(image->base_ - image->preferred_);
    auto [relocRva, relocSize] = dir(5);
    if (delta && !relocRva) return bad("relocated without relocations");
    for (ULONG p = relocRva; delta && p < relocRva + relocSize;) {
        ULONG page = Get<ULONG>(base + p), blockSize = Get<ULONG>(base + p + 4);
        if (blockSize < 8) break;
        for (ULONG e = 8; e < blockSize; e += 2) {
            USHORT entry = Get<USHORT>(base + p + e);
            if ((entry >> 12) == 3) Put<ULONG>(base + page + (entry & 0xFFF), Get<ULONG>(base + page + (entry & 0xFFF)) + delta);
            else if ((entry >> 12) != 0) return bad("relocation type " + std::to_string(entry >> 12));
        }
        p += blockSize;
    }

    // Imports, by name: every one must be there, or the load is refused naming them.
    auto [importRva, importSize] = dir(1);
    (void)importSize;
    std::string missing;
    for (ULONG d = importRva; importRva && Get<ULONG>(base + d + 12); d += 20) {
        std::string dll = (const char*)(base + Get<ULONG>(base + d + 12));
        ULONG lookup = Get<ULONG>(base + d) ? Get<ULONG>(base + d) : Get<ULONG>(base + d + 16);
        ULONG bind = Get<ULONG>(base + d + 16);
        for (ULONG k = 0;; k += 4) {
            ULONG thunk = Get<ULONG>(base + lookup + k);
            if (!thunk) break;
            if (thunk & 0x80000000) {
                missing += (missing.empty() ? "" : ", ") + dll + "!#" + std::to_string(thunk & 0xFFFF);
                continue;
            }
            std::string name = (const char*)(base + thunk + 2);
            const KernelExport* found = nullptr;
            for (const KernelExport& e : KernelExports())
                if (name == e.name && strcasecmp(dll.c_str(), e.dll) == 0) found = &e;
            if (!found) {
                missing += (missing.empty() ? "" : ", ") + dll + "!" + name;
                continue;
            }
            Put<void*>(base + bind + k, found->address);
            image->imports_.push_back({dll, name, found->address});
        }
    }
    if (!missing.empty()) {
        munmap(at, image->size_);
        image->base_ = 0;
        *error = path + " imports what the emulation does not provide: " + missing;
        return STATUS_PROCEDURE_NOT_FOUND;
    }

    // The COFF symbol table of an unstripped image: section-relative values.
    if (symbolTable && symbolCount && (size_t)symbolTable + 18ull * symbolCount <= f.size()) {
        size_t strings = symbolTable + 18 * (size_t)symbolCount;
        for (ULONG i = 0; i < symbolCount; ++i) {
            size_t s = symbolTable + 18 * (size_t)i;
            short section = (short)Read16(f, s + 12);
            UCHAR aux = f[s + 17];
            UCHAR storage = f[s + 16];
            if (section > 0 && section <= (short)image->sections_.size() && (storage == 2 || storage == 3)) {
                std::string name;
                if (Read32(f, s) == 0) {
                    size_t at = strings + Read32(f, s + 4);
                    while (at < f.size() && f[at]) name += (char)f[at++];
                } else {
                    for (int c = 0; c < 8 && f[s + c]; ++c) name += (char)f[s + c];
                }
                image->symbols_.push_back({name, image->sections_[section - 1].start + Read32(f, s + 8)});
            }
            i += aux;
        }
    }

    for (const Section& s : image->sections_) mprotect((void*)s.start, (s.size + 0xFFF) & ~(size_t)0xFFF, s.protection);
    {
        std::lock_guard<std::mutex> g(gImagesLock);
        for (const Section& s : image->sections_)
            if (s.name == "PAGE" || s.name == "INIT") gCodeRanges.push_back({s.start, s.start + s.size, s.name == "PAGE"});
        gCodeRangeCount.store(gCodeRanges.size(), std::memory_order_release);
        gImages.push_back(image.get());
    }
    *out = std::move(image);
    return STATUS_SUCCESS;
#endif
}

PeImage::~PeImage()
{
    if (!base_) return;
    {
        std::lock_guard<std::mutex> g(gImagesLock);
        auto& v = gCodeRanges;
        v.erase(std::remove_if(v.begin(), v.end(), [&](const Range& r) { return r.start >= base_ && r.start < base_ + size_; }),
                v.end());
        gCodeRangeCount.store(v.size(), std::memory_order_release);
        gImages.erase(std::remove(gImages.begin(), gImages.end(), this), gImages.end());
    }
    munmap((void*)base_, size_);
}

PDRIVER_INITIALIZE PeImage::Entry() const { return (PDRIVER_INITIALIZE)(base_ + entryRva_); }

void* PeImage::Symbol(const std::string& name) const
{
    for (const PeSymbol& s : symbols_)
        if (s.name == name) return (void*)s.address;
    return nullptr;
}

void PeImage::DiscardInit()
{
    for (const Section& s : sections_)
        if (s.name == "INIT") mprotect((void*)s.start, (s.size + 0xFFF) & ~(size_t)0xFFF, PROT_NONE);
}

NTSTATUS LoadDriverImage(const std::string& path, const std::u16string& registryPath, std::unique_ptr<PeImage>* image,
                         std::unique_ptr<LoadedDriver>* driver, std::string* error)
{
    NTSTATUS status = PeImage::Map(path, image, error);
    if (!NT_SUCCESS(status)) return status;
    status = LoadedDriver::Load((*image)->Entry(), registryPath, driver);
    if (NT_SUCCESS(status)) (*image)->DiscardInit();
    else *error = "DriverEntry failed";
    return status;
}

}  // namespace hk
