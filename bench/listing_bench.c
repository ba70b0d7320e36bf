/* The I/O floor of a cold listing, for listing_bench.py: walks the folders
 * named on the command line without following symbolic links and reads the
 * first 64 KiB of every regular file, with its stat. Any listing that probes
 * each file's header does at least this much. One thread, no parsing, and the
 * cheapest calls for it: each file opened relative to its folder, stat taken
 * from the open file, one read when the file is shorter than 64 KiB.
 * Prints the number of files and the bytes read. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kHeadBytes = 64 * 1024 };

static char buffer[kHeadBytes];
static unsigned long long files;
static unsigned long long bytes;

static void readHead(int folder, const char* name) {
  int descriptor = openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (descriptor < 0) return;
  struct stat info;
  if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode)) {
    off_t wanted = info.st_size < kHeadBytes ? info.st_size : kHeadBytes;
    off_t got = 0;
    while (got < wanted) {
      ssize_t n = read(descriptor, buffer + got, (size_t)(wanted - got));
      if (n <= 0) break;
      got += n;
    }
    files += 1;
    bytes += (unsigned long long)got;
  }
  close(descriptor);
}

/* Takes ownership of the folder's descriptor. */
static void walk(int folder) {
  DIR* listing = fdopendir(folder);
  if (listing == NULL) {
    close(folder);
    return;
  }
  struct dirent* entry;
  while ((entry = readdir(listing)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    unsigned char type = entry->d_type;
    struct stat info;
    /* Some file systems leave the type to a stat. */
    if (type == DT_UNKNOWN && fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      int child = openat(folder, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) walk(child);
    } else if (type == DT_REG) {
      readHead(folder, entry->d_name);
    }
  }
  closedir(listing);
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    int root = open(argv[i], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
      perror(argv[i]);
      return 1;
    }
    walk(root);
  }
  printf("%llu %llu\n", files, bytes);
  return 0;
}
