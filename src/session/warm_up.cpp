#include "session/warm_up.h"

#include <random>

#include "net/http.h"
#include "net/text.h"

namespace kelvora {

std::string WarmUpPath(int r1, int r2) {
  // The cache-busting number is a product of two draws, written as a real number.
  return "index.php/Getinfo/get?tid=9999&_=" + NumberText(static_cast<double>(r1) * r2);
}

void WarmUpLookups() {
  thread_local std::minstd_rand engine{std::random_device{}()};
  std::uniform_int_distribution<int> draw(0, 32767);
  for (int i = 0; i < 2; ++i) {
    const int r1 = draw(engine);
    const int r2 = draw(engine);
    std::string path = WarmUpPath(r1, r2);
    ServiceGet(path);
  }
}

}  // namespace kelvora
