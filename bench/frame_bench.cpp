// Frame layer throughput: encoding commands and finding answers in a stream.
#include <benchmark/benchmark.h>

#include <vector>

#include "runtime/line/FrameCodec.h"

namespace {

std::vector<unsigned char> answer(std::size_t info_bytes) {
    std::vector<unsigned char> info(info_bytes);
    for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<unsigned char>(i * 7);
    return smd::encode_frame(0x20, 1, 0x41, 0, info.data(), info.size());
}

void BM_EncodeCommand(benchmark::State& state) {
    const unsigned char group = 0xFF;
    for (auto _ : state) {
        auto f = smd::encode_frame(0x20, 1, 0x40, 0x41, &group, 1);
        benchmark::DoNotOptimize(f.data());
    }
}
BENCHMARK(BM_EncodeCommand);

// The same command into a buffer kept across calls, as the frame layer sends it.
void BM_EncodeCommandInto(benchmark::State& state) {
    const unsigned char group = 0xFF;
    std::vector<unsigned char> f;
    for (auto _ : state) {
        smd::encode_frame_into(f, 0x20, 1, 0x40, 0x41, &group, 1);
        benchmark::DoNotOptimize(f.data());
    }
}
BENCHMARK(BM_EncodeCommandInto);

void BM_ParseAnswer(benchmark::State& state) {
    const auto frame = answer(static_cast<std::size_t>(state.range(0)));
    std::size_t frames = 0;
    smd::FrameParser parser([&](const smd::Frame&) { ++frames; }, nullptr);
    for (auto _ : state) parser.Feed(frame.data(), frame.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
    if (frames != static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost frames");
}
// A typical AC analog answer, a 12-module rectifier answer, the largest frame.
BENCHMARK(BM_ParseAnswer)->Arg(32)->Arg(258)->Arg(2047);

void BM_ParseByteAtATime(benchmark::State& state) {
    const auto frame = answer(258);
    smd::FrameParser parser([](const smd::Frame&) {}, nullptr);
    for (auto _ : state) {
        for (unsigned char c : frame) parser.Feed(&c, 1);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_ParseByteAtATime);

}  // namespace

BENCHMARK_MAIN();
