// One RPC request/reply between two processes against the floor it stands on: a bare Unix-socket
// (on Windows: named-pipe) ping-pong carrying exactly the same bytes (frame headers included) with
// the same blocking pattern, measured in the same run. Prints the ratio of each pair at the end (of the
// medians with
// --benchmark_repetitions=N, which a busy machine needs).
//
// The serving process is this binary started again with "--serve"; it runs the RPC server as
// "ID_TARN_MASTER" and the bare echo server (raw_link.h) for the same runtime folder.
#if defined(MAILHOOK_BENCHMARK_LITE)
#include "benchmark_lite.h"
#else
#include <benchmark/benchmark.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"
#include "raw_link.h"
#include "rpc/hook_RpcCommunicationResource.h"

namespace {

constexpr uint32_t kChunkUnits = 32 * 1024;  // a 64 KiB string item
constexpr int32_t kChunkCommand = -64;

int Serve() {
  CRPCServer server(CComponentID(u"ID_TARN_MASTER"), [](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t command = 0;
    request >> command;
    if (command == kChunkCommand) {
      OS::x_wstring chunk;
      request >> chunk;
      reply << static_cast<int32_t>(chunk.size()) << int32_t(0);
      return;
    }
    int32_t r[5];
    for (int32_t& x : r) request >> x;
    reply << r[0] + r[4] << command;
  });
  if (!rawlink::ListenInBackground()) {
    std::perror("raw server");
    return 1;
  }
  std::cout << "ready" << std::endl;
  // Serves until the benchmark ends this process.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void BM_RpcIntegerRequest(benchmark::State& state) {
  CRpcCommunicationResource link(7, 0);
  link.Connect();
  CRpcCommunicationResource::CRpcIPCData request, reply;
  request.m_iRequest1 = 1;
  request.m_iRequest5 = 2;
  for (auto _ : state) {
    link.SendRequest(request, reply);
    benchmark::DoNotOptimize(reply.m_iReply1);
  }
  if (reply.m_iReply1 != 3 || reply.m_iReply2 != 7) state.SkipWithError("wrong reply");
}

void BM_RpcChunk64K(benchmark::State& state) {
  CRPCClientHelper client(CComponentID(u"ID_TARN_MASTER"), nullptr);
  CIPCMsgBuffer request, reply;
  request << kChunkCommand << OS::x_wstring(kChunkUnits, u'x');
  for (auto _ : state) {
    client.SendRequest(request, reply);
    benchmark::DoNotOptimize(reply.GetData());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(request.GetSize()));
}

// The same bytes as one RPC exchange: frame header plus payload, each way.
void RawPingPong(benchmark::State& state, uint32_t requestBytes, uint32_t replyBytes) {
  uint32_t sizes[2] = {requestBytes, replyBytes};
  rawlink::Connection link;
  if (!link.Open(rawlink::Endpoint()) || !link.WriteExact(sizes, sizeof(sizes))) {
    state.SkipWithError("raw server unreachable");
    return;
  }
  std::vector<uint8_t> out(sizes[0], 0xA5), in(sizes[1]);
  for (auto _ : state) {
    if (!link.WriteExact(out.data(), out.size()) || !link.ReadExact(in.data(), in.size())) {
      state.SkipWithError("raw exchange failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sizes[0]);
}

#if !defined(MAILHOOK_BENCHMARK_LITE)  // the decoder is the same code on both platforms
// The frame decoder alone, receiving one frame of state.range(0) bytes straight into its
// payload in pieces no larger than a Unix socket hands over at once: bytes per second must not
// fall as frames grow (a 64 MiB frame costs 64 times a 1 MiB one).
void BM_FrameDecode(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  constexpr size_t kPiece = 208 << 10;
  std::vector<uint8_t> source(kPiece, 'x');
  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, length);
  for (auto _ : state) {
    CRpcFrameDecoder decoder;
    decoder.Feed(header, sizeof header);
    size_t room = 0;
    while (uint8_t* space = decoder.PayloadSpace(room)) {
      const size_t n = std::min(room, kPiece);
      std::memcpy(space, source.data(), n);
      decoder.CommitPayload(n);
    }
    benchmark::DoNotOptimize(decoder.TakePayload().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
#endif

// Keeps each run's real time per iteration, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With --benchmark_repetitions the median stands for the run (the machine may be shared);
    // without, the single run does.
    for (const auto& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        m_times[r.run_name.function_name] = r.GetAdjustedRealTime();
      else if (r.run_type == Run::RT_Iteration && r.repetitions <= 1)
        m_times[r.run_name.function_name] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio(const std::string& rpc, const std::string& raw) const {
    auto a = m_times.find(rpc), b = m_times.find(raw);
    if (a == m_times.end() || b == m_times.end() || b->second <= 0) return;
    std::printf("ratio %s / %s = %.3f\n", rpc.c_str(), raw.c_str(), a->second / b->second);
  }

 private:
  std::map<std::string, double> m_times;
};

}  // namespace

static int RunBenchmarks(int argc, char** argv, std::string& runDir) {
  // A private runtime folder, inherited by the serving process.
  runDir = rawlink::UseFreshRuntimeDir();
  IPC::PrepareRuntimeDir();
  rawlink::ServingChild child(argv[0]);
  if (!child.Ready()) {
    std::fprintf(stderr, "rpc_bench: the serving process did not start\n");
    return 1;
  }

  // Frame sizes of one integer exchange and of one 64 KiB chunk, as the RPC layer sends them.
  CIPCMsgBuffer intRequest, intReply, chunkRequest;
  intRequest << int32_t(0) << int32_t(0) << int32_t(0) << int32_t(0) << int32_t(0) << int32_t(0);
  intReply << int32_t(0) << int32_t(0);
  chunkRequest << kChunkCommand << OS::x_wstring(kChunkUnits, u'x');
  const auto h = static_cast<uint32_t>(kRpcFrameHeaderSize);
  const uint32_t intReq = h + static_cast<uint32_t>(intRequest.GetSize());
  const uint32_t intRep = h + static_cast<uint32_t>(intReply.GetSize());
  const uint32_t chunkReq = h + static_cast<uint32_t>(chunkRequest.GetSize());

  benchmark::RegisterBenchmark("RpcIntegerRequest", BM_RpcIntegerRequest);
  benchmark::RegisterBenchmark("RawPingPong/int",
                               [=](benchmark::State& s) { RawPingPong(s, intReq, intRep); });
  benchmark::RegisterBenchmark("RpcChunk64K", BM_RpcChunk64K);
  benchmark::RegisterBenchmark("RawPingPong/64K",
                               [=](benchmark::State& s) { RawPingPong(s, chunkReq, intRep); });

#if !defined(MAILHOOK_BENCHMARK_LITE)
  benchmark::RegisterBenchmark("FrameDecode", BM_FrameDecode)
      ->Arg(1 << 20)
      ->Arg(64 << 20)
      ->Unit(benchmark::kMillisecond);
#endif

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("RpcIntegerRequest", "RawPingPong/int");
  reporter.PrintRatio("RpcChunk64K", "RawPingPong/64K");
  benchmark::Shutdown();
  return 0;
}

// The serving process ends before its folder goes.
int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--serve") return Serve();
  std::string runDir;
  int rc = RunBenchmarks(argc, argv, runDir);
  rawlink::RemoveDir(runDir);
  return rc;
}
