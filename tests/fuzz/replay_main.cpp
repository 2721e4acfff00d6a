// Runs a fuzz target over files without libFuzzer: every file named on the command line, or every
// file inside a named folder, is handed to LLVMFuzzerTestOneInput once. The plain build replays the
// committed corpora and crash inputs this way, so every compiler checks them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

void collect(const std::string &path, std::vector<std::string> &files) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..")
            collect(path + "/" + name, files);
    }
    closedir(dir);
}

} // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("replayed %zu inputs\n", files.size());
    return files.empty() ? 1 : 0;
}
