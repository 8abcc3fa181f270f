#pragma once

// The seed of a random test: QUILLBOX_SEED when set (to replay a run), else a fresh one. It is
// printed, so that a failing run can be replayed.

#include <cstdio>
#include <cstdlib>
#include <random>

namespace quillbox::test {

inline unsigned randomSeed() {
  const char* given = std::getenv("QUILLBOX_SEED");
  const unsigned seed =
      given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device()();
  std::printf("QUILLBOX_SEED=%u\n", seed);
  return seed;
}

}  // namespace quillbox::test
