// The I/O floor: the least a converter run must do with the disk. Reads both
// inputs whole and writes files of the five products' sizes, through one
// reused 8 MiB buffer, with no computation at all.
//   usage: cirsharp-io-floor COLOUR PANTILES OUT1 OUT2 OUT3 OUT4 OUT5
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: cirsharp-io-floor COLOUR PANTILES OUT1..OUT5\n");
        return 2;
    }
    std::vector<char> buffer(8u << 20, 1);
    for (int i = 1; i <= 2; ++i) {
        const int fd = ::open(argv[i], O_RDONLY);
        if (fd < 0) return std::perror(argv[i]), 1;
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
        }
        if (n < 0) return std::perror(argv[i]), 1;
        ::close(fd);
    }
    const long long sizes[] = {70'656'000, 26'496'000, 86'250'000, 258'750'000, 172'500'000};
    for (int i = 0; i < 5; ++i) {
        const int fd = ::open(argv[3 + i], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0) return std::perror(argv[3 + i]), 1;
        for (long long left = sizes[i]; left > 0;) {
            const auto chunk = static_cast<size_t>(
                left < (long long)buffer.size() ? left : (long long)buffer.size());
            const ssize_t n = ::write(fd, buffer.data(), chunk);
            if (n <= 0) return std::perror(argv[3 + i]), 1;
            left -= n;
        }
        if (::close(fd) != 0) return std::perror(argv[3 + i]), 1;
    }
    return 0;
}
