// vcom-bmof: compiles the driver's WMI class into the compressed binary MOF the driver
// image carries as a resource, and shows what a binary MOF or a driver image holds.
//   vcom-bmof compile IN.mof OUT.bin
//   vcom-bmof dump IN.bin
//   vcom-bmof dump-pe FILE.sys
#include "bmof.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

namespace {

bmof::Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw bmof::Error("cannot open " + path);
    bmof::Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw bmof::Error("cannot read " + path);
    return b;
}

// Written beside the target and renamed over it, so a failed run leaves no half file
// for the build to take as up to date.
void WriteFile(const std::string& path, const bmof::Bytes& data)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
        if (!out.flush())
            throw bmof::Error("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw bmof::Error("cannot replace " + path);
    }
}

int Usage()
{
    std::cerr << "usage: vcom-bmof compile IN.mof OUT.bin\n"
                 "       vcom-bmof dump IN.bin\n"
                 "       vcom-bmof dump-pe FILE.sys\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
    const std::string verb = argv[1];
    try {
        if (verb == "compile" && argc == 4) {
            const bmof::Bytes text = ReadFile(argv[2]);
            WriteFile(argv[3], bmof::CompileMof(std::string_view(reinterpret_cast<const char*>(text.data()), text.size())));
        } else if (verb == "dump" && argc == 3) {
            std::cout << bmof::Dump(bmof::DecodeContainer(ReadFile(argv[2])));
        } else if (verb == "dump-pe" && argc == 3) {
            std::cout << bmof::Dump(bmof::DecodeContainer(bmof::FindMofResource(ReadFile(argv[2]))));
        } else {
            return Usage();
        }
    } catch (const bmof::Error& e) {
        std::cerr << "vcom-bmof: " << argv[2] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
