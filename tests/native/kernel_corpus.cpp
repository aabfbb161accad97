// kernel_corpus DIRECTORY: runs every kernel variant this processor can run on
// each DIRECTORY/NAME.case and writes the output to DIRECTORY/NAME.VARIANT.out.
// Built without Python (for instance for 32-bit x86), so that the tests can
// compare its results with the extension module's, bit for bit.
//
// A case file holds, little-endian: the 8 bytes "VWKCASE1"; nvol, nz, ny, nx
// as int32; voxel size (3 floats); matrix (12 floats); the image, nvol*nz*ny*nx
// floats in C order. An output file holds the output floats in the same order.

#include "run_jobs.h"
#include "voxwarpkit.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct kernel_case {
    volume_shape shape;
    float voxel_size[3];
    float matrix[12];
    std::vector<float> image;
};

bool read_case(const std::filesystem::path &path, kernel_case &c)
{
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    int32_t counts[4];
    if (!in.read(magic, sizeof magic) || std::memcmp(magic, "VWKCASE1", 8) != 0
        || !in.read(reinterpret_cast<char *>(counts), sizeof counts)
        || !in.read(reinterpret_cast<char *>(c.voxel_size), sizeof c.voxel_size)
        || !in.read(reinterpret_cast<char *>(c.matrix), sizeof c.matrix)) {
        return false;
    }
    c.shape = {counts[0], counts[1], counts[2], counts[3]};
    for (int32_t count : counts) {
        if (count < 0) {
            return false;
        }
    }
    const size_t elements = size_t(counts[0]) * size_t(counts[1]) * size_t(counts[2]) * size_t(counts[3]);
    c.image.resize(elements);
    return bool(in.read(reinterpret_cast<char *>(c.image.data()), std::streamsize(elements * sizeof(float))));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    int count = 0;
    const kernel_variant *variants = kernel_variants(&count);
    std::printf("pointer bits %zu\n", sizeof(void *) * 8);
    for (int v = 0; v < count; ++v) {
        std::printf("variant %s %s\n", variants[v].name, variants[v].usable() ? "usable" : "not usable");
    }
    for (const auto &entry : std::filesystem::directory_iterator(argv[1])) {
        if (entry.path().extension() != ".case") {
            continue;
        }
        kernel_case c;
        if (!read_case(entry.path(), c)) {
            std::fprintf(stderr, "cannot read %s\n", entry.path().string().c_str());
            return 1;
        }
        for (int v = 0; v < count; ++v) {
            if (!variants[v].usable()) {
                continue;
            }
            std::vector<float> output(c.image.size(), 0.0f);
            if (c.image.size() > 0) {
                run_resample_job(whole_grid_job(c.image.data(), c.shape, c.voxel_size, c.matrix, output.data()),
                                 variants[v].resample);
            }
            std::filesystem::path out_path = entry.path();
            out_path.replace_extension(std::string(".") + variants[v].name + ".out");
            std::ofstream out(out_path, std::ios::binary);
            out.write(reinterpret_cast<const char *>(output.data()), std::streamsize(output.size() * sizeof(float)));
            if (!out) {
                std::fprintf(stderr, "cannot write %s\n", out_path.string().c_str());
                return 1;
            }
        }
        std::printf("case %s\n", entry.path().filename().string().c_str());
    }
    return 0;
}
