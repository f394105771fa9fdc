// The string heap against std::string: handing a string to a new holder, building one by
// appending, and comparing two. Sharing is a count increment, so its time must not depend on
// the length; std::string copies the text.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "Pellmar/dynamic_string.h"

namespace {

using kl::DynamicString;

std::unique_ptr<kl::StringHeap> makeHeap() {
  return kl::CreateStringHeap(
      [](std::string_view message, int line) {
        std::fprintf(stderr, "string heap report: %.*s:%d\n", static_cast<int>(message.size()), message.data(), line);
        std::abort();
      },
      [](std::string_view) {});
}

constexpr int kShort = 16;
constexpr int kLong = 16384;
constexpr int kChunk = 8;

void Share_Dynamic(benchmark::State& state) {
  auto heap = makeHeap();
  const DynamicString original(*heap, std::string(static_cast<std::size_t>(state.range(0)), 'a'));
  for (auto _ : state) {
    DynamicString holder = original;
    benchmark::DoNotOptimize(holder.value());
  }
}

void Share_Std(benchmark::State& state) {
  const std::string original(static_cast<std::size_t>(state.range(0)), 'a');
  for (auto _ : state) {
    std::string holder = original;
    benchmark::DoNotOptimize(holder.data());
  }
}

void Append_Dynamic(benchmark::State& state) {
  auto heap = makeHeap();
  const std::string chunk(kChunk, 'b');
  for (auto _ : state) {
    DynamicString built(*heap);
    for (int64_t n = 0; n < state.range(0); n += kChunk) built.append(chunk);
    benchmark::DoNotOptimize(built.value());
  }
}

void Append_Std(benchmark::State& state) {
  const std::string chunk(kChunk, 'b');
  for (auto _ : state) {
    std::string built;
    for (int64_t n = 0; n < state.range(0); n += kChunk) built.append(chunk);
    benchmark::DoNotOptimize(built.data());
  }
}

// Equal but for the last byte, so the whole text is read.
void Compare_Dynamic(benchmark::State& state) {
  auto heap = makeHeap();
  std::string text(static_cast<std::size_t>(state.range(0)), 'c');
  const DynamicString a(*heap, text);
  text.back() = 'd';
  const DynamicString b(*heap, text);
  for (auto _ : state) benchmark::DoNotOptimize(a < b);
}

void Compare_Std(benchmark::State& state) {
  std::string text(static_cast<std::size_t>(state.range(0)), 'c');
  const std::string a = text;
  text.back() = 'd';
  const std::string b = text;
  for (auto _ : state) benchmark::DoNotOptimize(a < b);
}

}  // namespace

BENCHMARK(Share_Dynamic)->Name("Share/DynamicString")->Arg(kShort)->Arg(kLong);
BENCHMARK(Share_Std)->Name("Share/std::string")->Arg(kShort)->Arg(kLong);
BENCHMARK(Append_Dynamic)->Name("Append/DynamicString")->Arg(kShort * 4)->Arg(4096);
BENCHMARK(Append_Std)->Name("Append/std::string")->Arg(kShort * 4)->Arg(4096);
BENCHMARK(Compare_Dynamic)->Name("Compare/DynamicString")->Arg(kShort)->Arg(kLong);
BENCHMARK(Compare_Std)->Name("Compare/std::string")->Arg(kShort)->Arg(kLong);
