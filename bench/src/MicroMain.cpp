// qnv-bench-micro: Google Benchmark micro-benchmarks of the per-frame work of
// the live ingest path, on the benchmark clip (--clip=FILE): reassembly of
// 64 KiB reads into frames (straight into the assembler's buffer, as the
// channel reads, and fed from a chunk), the
// slice-type probe and the pre-record queue append, in bytes per second.
// Besides the usual console table it prints one "result micro ..." line per
// repetition for the driver.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchClip.h"
#include "BenchUtil.h"
#include "live/CFrameAssembler.h"
#include "live/SliceProbe.h"
#include "protocol/FrameHeader.h"
#include "record/CStreamQueue.h"

namespace {

using qnv::bench::CBenchClip;

constexpr size_t kChunk = 65536;            // one receive of the streaming connection
constexpr int32_t kQueueCapacity = 358400;  // a live channel's pre-record stretch

CBenchClip g_clip;

struct SFrameCounter final : qnv::IFrameSink {
  uint64_t frames = 0;
  bool Frame(uint8_t*, uint32_t) override {
    ++frames;
    return true;
  }
};

template <bool kArea>
void BM_Reassembly(benchmark::State& state) {
  std::vector<uint8_t> stream = g_clip.Framed();
  std::vector<uint8_t> chunk(kChunk);
  qnv::CFrameAssembler assembler;
  SFrameCounter counter;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size();) {
      if constexpr (kArea) {
        // The copy stands for recv, which fills the area as the channel's
        // reads do.
        uint32_t capacity = 0;
        uint8_t* area = assembler.ReceiveArea(&capacity, uint32_t(kChunk));
        const size_t n = std::min<size_t>(capacity, stream.size() - at);
        std::memcpy(area, stream.data() + at, n);
        assembler.Received(n, &counter);
        at += n;
      } else {
        // A chunk refilled as recv would, then fed.
        const size_t n = std::min(kChunk, stream.size() - at);
        std::memcpy(chunk.data(), stream.data() + at, n);
        assembler.Feed(chunk.data(), n, &counter);
        at += n;
      }
    }
  }
  benchmark::DoNotOptimize(counter.frames);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g_clip.Nals().size()));
}

// The copy into the receive area alone, to read the two above against.
void BM_ChunkCopyOnly(benchmark::State& state) {
  const std::vector<uint8_t>& stream = g_clip.Framed();
  std::vector<uint8_t> chunk(kChunk);
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += kChunk) {
      const size_t n = std::min(kChunk, stream.size() - at);
      std::memcpy(chunk.data(), stream.data() + at, n);
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
}

void BM_SliceProbe(benchmark::State& state) {
  const uint8_t* raw = g_clip.Raw().data();
  int sum = 0;
  for (auto _ : state) {
    for (const auto& nal : g_clip.Nals())
      sum += qnv::ProbeSliceType(raw + nal.rawOffset, int32_t(nal.length));
  }
  benchmark::DoNotOptimize(sum);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_clip.Raw().size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g_clip.Nals().size()));
}

void BM_StreamQueueAppend(benchmark::State& state) {
  const uint8_t* framed = g_clip.Framed().data();
  qnv::CStreamQueue queue;
  queue.SetCapacity(kQueueCapacity);
  for (auto _ : state) {
    for (const auto& nal : g_clip.Nals()) {
      const uint8_t* frame = framed + nal.framedOffset;
      queue.Append(frame + qnv::protocol::kFrameHeaderSize, int32_t(nal.length),
                   qnv::protocol::SFrameIndex::From(frame), true);
    }
  }
  benchmark::DoNotOptimize(queue.GetTotal());
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_clip.Raw().size()));
  state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(g_clip.Nals().size()));
}

BENCHMARK_TEMPLATE(BM_Reassembly, true)->Name("Reassembly/area")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Reassembly, false)->Name("Reassembly/copying")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChunkCopyOnly)->Name("Reassembly/chunk_copy_only")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SliceProbe)->Name("SliceProbe")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamQueueAppend)->Name("StreamQueue/append")->Unit(benchmark::kMillisecond);

// The console table, plus a result line per repetition.
class CResultReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      auto bytes = run.counters.find("bytes_per_second");
      if (bytes == run.counters.end()) continue;
      auto items = run.counters.find("items_per_second");
      qnv::bench::CResultLine("micro")
          .Add("name", run.benchmark_name())
          .Add("bytes_per_second", double(bytes->second.value))
          .Add("items_per_second", items == run.counters.end() ? 0.0 : double(items->second.value))
          .Print();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string clipPath;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf("usage: qnv-bench-micro --clip=FILE [benchmark flags below]\n");
      rest.push_back(argv[i]);
    } else if (a.rfind("--clip=", 0) == 0) {
      clipPath = a.substr(7);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = int(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (clipPath.empty()) {
    std::fprintf(stderr,
                 "usage: qnv-bench-micro --clip=FILE [benchmark flags]\n"
                 "  FILE: H.264 elementary stream (scripts/make-bench-clip makes one)\n");
    return 2;
  }
  std::string error;
  if (!g_clip.Load(clipPath, &error)) {
    std::fprintf(stderr, "qnv-bench-micro: %s\n", error.c_str());
    return 1;
  }
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
  CResultReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
