#pragma once

// The random source of the Ed25519 key generation: fills `out[0..n)` with bytes drawn from a
// per-thread std::random_device. Unmangled, outside any namespace, so C code can call it by name.
// A failure to create the device passes out as the standard library's exception.
extern "C" void randombytes(unsigned char* out, unsigned long long n);
