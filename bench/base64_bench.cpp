// Base64 throughput against OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock, with
// a memcpy of the output size as the ceiling, on random data. The public
// class runs the codec chosen for this processor; each codec the processor
// can run is also measured on its own, the scalar one included.
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <dravik/Base64.h>

#include "RatioReport.h"
#include "base64/Codec.h"
#include "base64/Tables.h"

using velmora::extensions::dravik::Base64;
namespace base64 = velmora::extensions::dravik::base64;

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

// Like the public class, it hands back a new buffer each time.
void encodeWith(benchmark::State& state, const base64::Codec* codec) {
    const std::string bytes = randomBytes(static_cast<std::size_t>(state.range(0)));
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    for (auto _ : state) {
        std::string text(base64::encodedSize(bytes.size()), '\0');
        codec->encode(in, bytes.size(), text.data());
        benchmark::DoNotOptimize(text);
    }
    setBytes(state, bytes.size());
}

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

void decodeWith(benchmark::State& state, const base64::Codec* codec) {
    const std::string text = Base64::encode(randomBytes(static_cast<std::size_t>(state.range(0))));
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    for (auto _ : state) {
        std::vector<unsigned char> bytes(text.size() / 4 * 3);
        if (codec->decode(in, text.size(), bytes.data()) == base64::kRefused) {
            state.SkipWithError("the codec refused the text");
        }
        benchmark::DoNotOptimize(bytes);
    }
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
    const std::vector<const base64::Codec*> codecs = base64::availableCodecs();
    for (const base64::Codec* codec : codecs) {
        benchmark::RegisterBenchmark((std::string("BM_EncodePath/") + codec->name).c_str(), encodeWith, codec)
            ->SIZES;
        benchmark::RegisterBenchmark((std::string("BM_DecodePath/") + codec->name).c_str(), decodeWith, codec)
            ->SIZES;
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter report;
    benchmark::RunSpecifiedBenchmarks(&report);
    benchmark::Shutdown();

    std::printf("\nBase64 codec chosen for this processor: %s\n", base64::chosenCodec().name);
    std::printf("Dravik / OpenSSL throughput (and / memcpy), same run:\n");
    for (const char* direction : {"Encode", "Decode"}) {
        const std::string prefix = std::string("BM_") + direction;
        for (const char* size : {"64", "1024", "1048576"}) {
            const std::string what = std::string(direction) + " " + size + " B";
            const std::string openssl = prefix + "OpenSSL/" + size;
            const std::string ours = prefix + "Dravik/" + size;
            const double target = std::string(size) == "64" ? 1.5 : 5.0;
            report.printRatio(what + " vs OpenSSL", ours, openssl, "bytes_per_second", true, target);
            report.printRatio(what + " vs memcpy", ours, prefix + "Memcpy/" + size, "bytes_per_second", true,
                              std::string(size) == "1048576" ? 0.5 : 0.0);
            for (const base64::Codec* codec : codecs) {
                report.printRatio(what + ", " + codec->name + " path, vs OpenSSL",
                                  prefix + "Path/" + codec->name + "/" + size, openssl, "bytes_per_second",
                                  true, 0.0);
            }
        }
    }
    return 0;
}
