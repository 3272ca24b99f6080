// Blowfish throughput: KeyedCipher against the reference buffer functions and
// against OpenSSL's Blowfish called one block at a time.
#include <benchmark/benchmark.h>

// BF_* is deprecated in OpenSSL 3 but remains the baseline worth comparing with.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <cstdint>
#include <vector>

#include "archive/blowfish.h"

namespace quarlix {
namespace {

constexpr size_t kBufferBytes = size_t{64} << 20;
constexpr uint8_t kKey[8] = {0x3A, 0x91, 0x07, 0xC4, 0x5E, 0xF2, 0x68, 0xBD};

std::vector<uint8_t> MakeBuffer() {
  std::vector<uint8_t> buffer(kBufferBytes);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 131 + 7);
  return buffer;
}

void BM_KeyedCipherEncrypt(benchmark::State& state) {
  std::vector<uint8_t> buffer = MakeBuffer();
  const KeyedCipher cipher(kKey, sizeof kKey);
  for (auto _ : state) {
    cipher.Encrypt(buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_KeyedCipherEncrypt)->Unit(benchmark::kMillisecond);

void BM_KeyedCipherDecrypt(benchmark::State& state) {
  std::vector<uint8_t> buffer = MakeBuffer();
  const KeyedCipher cipher(kKey, sizeof kKey);
  for (auto _ : state) {
    cipher.Decrypt(buffer.data(), buffer.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_KeyedCipherDecrypt)->Unit(benchmark::kMillisecond);

// Includes the key schedule on every call, as the buffer function does.
void BM_EncryptBuffer(benchmark::State& state) {
  std::vector<uint8_t> buffer = MakeBuffer();
  for (auto _ : state) {
    EncryptBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), kKey, sizeof kKey);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_EncryptBuffer)->Unit(benchmark::kMillisecond);

void OpenSslEcb(benchmark::State& state, int direction) {
  std::vector<uint8_t> buffer = MakeBuffer();
  BF_KEY key;
  BF_set_key(&key, sizeof kKey, kKey);
  for (auto _ : state) {
    for (size_t offset = 0; offset < buffer.size(); offset += 8) {
      BF_ecb_encrypt(buffer.data() + offset, buffer.data() + offset, &key, direction);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

void BM_OpenSslEcbEncrypt(benchmark::State& state) { OpenSslEcb(state, BF_ENCRYPT); }
BENCHMARK(BM_OpenSslEcbEncrypt)->Unit(benchmark::kMillisecond);

void BM_OpenSslEcbDecrypt(benchmark::State& state) { OpenSslEcb(state, BF_DECRYPT); }
BENCHMARK(BM_OpenSslEcbDecrypt)->Unit(benchmark::kMillisecond);

void BM_BlowfishInit(benchmark::State& state) {
  BlowfishContext context;
  for (auto _ : state) {
    BlowfishInit(context, kKey, sizeof kKey);
    benchmark::DoNotOptimize(context);
  }
}
BENCHMARK(BM_BlowfishInit)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quarlix

BENCHMARK_MAIN();
