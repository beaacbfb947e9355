// Base64 throughput against OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, with
// a memcpy of the output size as the ceiling, on random data.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <dravik/Base64.h>

#include "RatioReport.h"

using velmora::extensions::dravik::Base64;

namespace {

std::string randomBytes(std::size_t size) {
    std::mt19937 random(static_cast<unsigned>(size));
    std::uniform_int_distribution<int> byte(0, 255);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(byte(random));
    return bytes;
}

// Throughput counted in input bytes.
void setBytes(benchmark::State& state, std::size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_EncodeDravik(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Base64::encode(bytes));
    setBytes(state, bytes.size());
}

// Like ours, it hands back a new buffer each time.
void BM_EncodeOpenSSL(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
        benchmark::DoNotOptimize(text);
    }
    setBytes(state, bytes.size());
}

void BM_EncodeMemcpy(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<std::size_t>(state.range(0)) / 3 * 4 + 4);
    for (auto _ : state) {
        std::string copy(bytes.size(), '\0');
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        benchmark::DoNotOptimize(copy);
    }
    setBytes(state, static_cast<std::size_t>(state.range(0)));
}

void BM_DecodeDravik(benchmark::State& state) {
    const std::string text = Base64::encode(randomBytes(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(Base64::decode(text));
    setBytes(state, text.size());
}

void BM_DecodeOpenSSL(benchmark::State& state) {
    const std::string text = Base64::encode(randomBytes(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        std::vector<unsigned char> bytes(text.size() / 4 * 3);
        const int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                      static_cast<int>(text.size()));
        if (n < 0) state.SkipWithError("OpenSSL refused the text");
        benchmark::DoNotOptimize(bytes);
    }
    setBytes(state, text.size());
}

void BM_DecodeMemcpy(benchmark::State& state) {
    const std::string text = Base64::encode(randomBytes(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        std::vector<unsigned char> bytes(text.size() / 4 * 3);
        std::memcpy(bytes.data(), text.data(), bytes.size());
        benchmark::DoNotOptimize(bytes);
    }
    setBytes(state, text.size());
}

#define SIZES Arg(64)->Arg(1024)->Arg(1 << 20)
BENCHMARK(BM_EncodeDravik)->SIZES;
BENCHMARK(BM_EncodeOpenSSL)->SIZES;
BENCHMARK(BM_EncodeMemcpy)->SIZES;
BENCHMARK(BM_DecodeDravik)->SIZES;
BENCHMARK(BM_DecodeOpenSSL)->SIZES;
BENCHMARK(BM_DecodeMemcpy)->SIZES;

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();

    std::printf("\nDravik / OpenSSL throughput (and / memcpy), same run:\n");
    for (const char* direction : {"Encode", "Decode"}) {
        for (const char* size : {"64", "1024", "1048576"}) {
            const std::string what = std::string(direction) + " " + size + " B";
            const std::string ours = std::string("BM_") + direction + "Dravik/" + size;
            report.printRatio(what + " vs OpenSSL", ours,
                              std::string("BM_") + direction + "OpenSSL/" + size,
                              "bytes_per_second", true, 1.0);
            report.printRatio(what + " vs memcpy", ours,
                              std::string("BM_") + direction + "Memcpy/" + size,
                              "bytes_per_second", true, 0.0);
        }
    }
    return 0;
}
