// Times the updater's own digest and download on one file, for bench/updater.sh:
//   update_bench_host sha256 <file>            prints "<seconds> <digest>"
//   update_bench_host download <url> <file>    prints "<seconds> <bytes>"
#include "platform/files.h"
#include "platform/text.h"
#include "update/https_get.h"
#include "update/verification.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

using namespace velmora;

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    if (std::strcmp(argv[1], "sha256") == 0) {
        std::string digest = sha256_file(platform::utf8_to_utf16(argv[2]), nullptr);
        std::printf("%.4f %s\n", seconds(), digest.c_str());
        return digest.empty();
    }
    if (std::strcmp(argv[1], "download") == 0 && argc == 4) {
        platform::File file = platform::File::create_for_writing(platform::utf8_to_utf16(argv[3]));
        int status = 0;
        std::uint64_t received = 0;
        std::string error;
        bool ok = https_get(argv[2], nullptr, &file, 209715200, status, received, nullptr, error);
        std::printf("%.4f %llu\n", seconds(), static_cast<unsigned long long>(received));
        return ok && status == 200 ? 0 : 1;
    }
    return 2;
}
