#include "foundation/randombytes.h"

#include <random>

extern "C" void randombytes(unsigned char* out, unsigned long long n) {
  // One device per thread, so concurrent callers need no lock.
  thread_local std::random_device device;
  for (unsigned long long i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(device() & 0xffu);
}
