// Writes the manual page twinfold(1) to the file named by its one argument.
// The build runs it: the page's switches and exit codes are the ones --help
// prints, from the same table (runctl/command_line.h).
#include <cstdio>

#include "runctl/command_line.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: twinfold-manpage <out.1>\n", stderr);
    return 2;
  }
  std::FILE* f = std::fopen(argv[1], "w");
  if (!f) {
    std::perror(argv[1]);
    return 2;
  }
  const std::string page = twf::ManPageText();
  const bool ok = std::fwrite(page.data(), 1, page.size(), f) == page.size();
  return std::fclose(f) == 0 && ok ? 0 : 2;
}
