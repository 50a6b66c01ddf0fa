// The shipped driver image in the emulation: a PE32 (i386) kernel-mode image mapped
// into the 32-bit host build, relocated, its imports bound by name to the
// emulation's own routines, and called like the real loader calls it. Only the
// 32-bit host build can run the image; elsewhere loading fails cleanly.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frontend.h"

namespace hk {

// One symbol of the image's COFF symbol table (an unstripped image carries one).
struct PeSymbol {
    std::string name;  // as the linker wrote it, e.g. "_DriverEntry@8" or "__Z8RingPutP10RingBufferPKhm"
    ULONG_PTR address;  // where it is mapped
};

class PeImage {
public:
    // Maps the image at its preferred base when that is free, relocated otherwise,
    // and binds every import. A missing import refuses the load and names it in
    // `error` (STATUS_PROCEDURE_NOT_FOUND); a malformed image is
    // STATUS_INVALID_IMAGE_FORMAT.
    static NTSTATUS Map(const std::string& path, std::unique_ptr<PeImage>* out, std::string* error);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    PDRIVER_INITIALIZE Entry() const;
    ULONG_PTR Base() const { return base_; }
    ULONG_PTR PreferredBase() const { return preferred_; }
    size_t Size() const { return size_; }
    // The address of a symbol by its exact name, or null.
    void* Symbol(const std::string& name) const;
    const std::vector<PeSymbol>& Symbols() const { return symbols_; }
    // The DLL and routine of every import, as bound.
    struct Import {
        std::string dll;
        std::string name;
        void* target;
    };
    const std::vector<Import>& Imports() const { return imports_; }
    // Makes INIT inaccessible, as the kernel discards it once the entry returned: a
    // later call into it faults.
    void DiscardInit();

private:
    PeImage() = default;
    struct Section {
        std::string name;
        ULONG_PTR start;
        size_t size;
        int protection;
    };
    ULONG_PTR base_ = 0;
    ULONG_PTR preferred_ = 0;
    size_t size_ = 0;
    ULONG entryRva_ = 0;
    std::vector<Section> sections_;
    std::vector<PeSymbol> symbols_;
    std::vector<Import> imports_;
};

// Maps the image and loads it as a driver: DriverEntry through the loader, with the
// verifier's checks, and INIT discarded once it returned successfully.
NTSTATUS LoadDriverImage(const std::string& path, const std::u16string& registryPath, std::unique_ptr<PeImage>* image,
                         std::unique_ptr<LoadedDriver>* driver, std::string* error);

// The routines the emulation offers a driver image, by DLL and name.
struct KernelExport {
    const char* dll;   // "ntoskrnl.exe", "HAL.dll" or "WMILIB.SYS"
    const char* name;  // undecorated, as the image imports it
    void* address;
    int argumentBytes;  // what the callee pops (stdcall, fastcall) or -1 for cdecl
    char convention;    // 's' stdcall, 'f' fastcall, 'c' cdecl, 'd' data (the address is the variable's)
};
const std::vector<KernelExport>& KernelExports();

}  // namespace hk
