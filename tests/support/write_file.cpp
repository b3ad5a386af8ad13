// write_file PATH TEXT...: opens PATH write-only once and writes each TEXT with one write(2),
// as the programs drive their sysfs files. Built for the target, so that the stand-in library
// is exercised in the same architecture as the programs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    int fd = open(argv[1], O_WRONLY);
    if (fd < 0) {
        perror("open");
        return 1;
    }
    for (int i = 2; i < argc; ++i)
        if (write(fd, argv[i], strlen(argv[i])) < 0) {
            perror("write");
            return 1;
        }
    return close(fd) == 0 ? 0 : 1;
}
