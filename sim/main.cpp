#include <cstdio>

int main() {
  std::fprintf(stderr, "kelvora-sim: not yet available\n");
  return 2;
}
