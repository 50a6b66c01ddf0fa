// fuzz_replay: runs inputs of the request-surface fuzz target without libFuzzer, in
// any host build (and so under the sanitizers of that build).
//
//   fuzz_replay PATH...            runs each file, and each file of each directory
//   fuzz_replay --write-seeds DIR  writes the seed corpus, one file per kind of request
//   fuzz_replay --write-dict FILE  writes the dictionary of control codes
//
// Exits 1 when an input had a finding or a path does not exist.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "request_surface.h"

namespace fs = std::filesystem;

namespace {

int Replay(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string finding = fuzz::RunRequestSurface(data.data(), data.size());
    if (finding.empty()) {
        std::printf("ok      %s (%zu bytes)\n", file.string().c_str(), data.size());
        return 0;
    }
    std::printf("FINDING %s (%zu bytes): %s\n", file.string().c_str(), data.size(), finding.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--write-seeds") {
        fs::create_directories(args[1]);
        for (const auto& [name, bytes] : fuzz::SeedInputs()) {
            std::ofstream out(fs::path(args[1]) / name, std::ios::binary);
            out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
        }
        return 0;
    }
    if (args.size() == 2 && args[0] == "--write-dict") {
        std::ofstream out(args[1]);
        out << fuzz::Dictionary();
        return 0;
    }
    if (args.empty()) {
        std::fprintf(stderr, "usage: fuzz_replay PATH... | --write-seeds DIR | --write-dict FILE\n");
        return 2;
    }
    int findings = 0, inputs = 0;
    for (const fs::path path : args) {
        std::vector<fs::path> files;
        if (!fs::exists(path)) {
            std::printf("MISSING %s\n", path.string().c_str());
            ++findings;
            continue;
        }
        if (fs::is_directory(path)) {
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        for (const auto& f : files) {
            findings += Replay(f);
            ++inputs;
        }
    }
    std::printf("%d inputs, %d with findings\n", inputs, findings);
    return findings ? 1 : 0;
}
