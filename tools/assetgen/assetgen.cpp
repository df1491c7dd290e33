// assetgen: writes gui/t4170img.cpp from the PNG files listed in assets/pictures.txt.
//   assetgen MANIFEST OUTPUT           write OUTPUT
//   assetgen --check MANIFEST OUTPUT   exit 1 unless OUTPUT is what MANIFEST gives
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tools/assetgen/picture_source.h"

int main(int argc, char** argv) {
    bool check = argc == 4 && std::string(argv[1]) == "--check";
    if (argc != 3 && !check) {
        std::fprintf(stderr, "Usage : %s [--check] MANIFEST OUTPUT\n", argv[0]);
        return 2;
    }
    std::string manifest = argv[check ? 2 : 1];
    std::string output = argv[check ? 3 : 2];

    std::string error;
    auto pictures = assetgen::load_pictures(manifest, &error);
    if (!pictures) {
        std::fprintf(stderr, "assetgen: %s\n", error.c_str());
        return 1;
    }
    std::string source = assetgen::generate_source(*pictures, "assetgen " + manifest + " " + output);

    if (check) {
        std::ifstream in(output, std::ios::binary);
        std::stringstream existing;
        existing << in.rdbuf();
        if (!in || existing.str() != source) {
            std::fprintf(stderr, "assetgen: %s is not what %s gives; regenerate it with: assetgen %s %s\n",
                         output.c_str(), manifest.c_str(), manifest.c_str(), output.c_str());
            return 1;
        }
        return 0;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << source;
    out.close();
    if (!out) {
        std::fprintf(stderr, "assetgen: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
