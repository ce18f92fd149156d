// showfile: shows one file on standard output behind a header line and a banner.
// Every outcome exits 0; failures are reported on standard output only.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

// A directory opens for reading but has nothing to show, and a regular file that is also our
// standard output would be read back as it grows. Both are refused as though the open had failed.
bool refused(std::FILE *const in) {
  struct stat in_stat {};
  if (fstat(fileno(in), &in_stat) != 0 || S_ISDIR(in_stat.st_mode)) {
    return true;
  }
  struct stat out_stat {};
  return fstat(STDOUT_FILENO, &out_stat) == 0 && S_ISREG(out_stat.st_mode) &&
         out_stat.st_dev == in_stat.st_dev && out_stat.st_ino == in_stat.st_ino;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Without an argument the header names an empty path, which no open accepts.
  const char *const path = argc > 1 ? argv[1] : "";
  std::printf("Filename: %s \n", path);

  std::FILE *in = std::fopen(path, "r");
  if (in != nullptr && refused(in)) {
    std::fclose(in);
    in = nullptr;
  }
  if (in == nullptr) {
    std::puts("Unable to access file.");
    return 0;
  }

  std::puts("File has been accessed and the contents are displayed on console:\n");
  // A read error ends the copy like the end of the file does.
  for (int byte = std::fgetc(in); byte != EOF; byte = std::fgetc(in)) {
    std::putchar(byte);
  }
  std::fclose(in);
  return 0;
}
