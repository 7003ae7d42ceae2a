#include <cstdio>

int main() {
  std::fprintf(stderr, "kelvora-cli: not yet available\n");
  return 2;
}
