// Framing of a 300-byte message in memory, no sockets: scramble and frame for
// sending, and descramble of a received body, in steady state (key stream).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "net/framing.h"
#include "net/message.h"

namespace kestrune {
namespace {

constexpr std::size_t kMessageBytes = 300;

std::unique_ptr<Message> SampleMessage() {
  auto message = CreateMessage(MSG_VOICE);
  message->ReserveBytes(kMessageBytes - message->Length());
  for (std::size_t i = 4; i < kMessageBytes; ++i) {
    message->Data()[i] = static_cast<std::uint8_t>(i * 7);
  }
  return message;
}

StreamCipher KeyedCipher() {
  StreamCipher cipher;
  std::uint8_t first = 0;
  cipher.Scramble(&first, &first, 1);  // past the fixed-key first message
  const char key[] = "k3yText0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOP";
  cipher.Install(reinterpret_cast<const std::uint8_t*>(key), sizeof key - 1);
  return cipher;
}

// Scramble into a new frame and queue it, as a send does; the queue is
// drained in memory so that it does not grow.
void BM_ScrambleAndFrame(benchmark::State& state) {
  auto message = SampleMessage();
  StreamCipher cipher = KeyedCipher();
  SendQueue queue;
  for (auto _ : state) {
    std::vector<std::uint8_t> frame;
    BuildFrame(*message, cipher, frame);
    benchmark::DoNotOptimize(frame.data());
    queue.Push(std::move(frame));
    if (queue.Queued() > 64 * 1024) queue.Clear();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessageBytes);
}
BENCHMARK(BM_ScrambleAndFrame);

// The first message of a stream uses the fixed key.
void BM_ScrambleFixedKey(benchmark::State& state) {
  auto message = SampleMessage();
  std::vector<std::uint8_t> out(kMessageBytes);
  for (auto _ : state) {
    ScrambleFixed(message->Data(), out.data(), kMessageBytes);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessageBytes);
}
BENCHMARK(BM_ScrambleFixedKey);

// Receive side: cut a frame out of received bytes and descramble its body.
void BM_ReceiveAndDescramble(benchmark::State& state) {
  auto message = SampleMessage();
  StreamCipher sender = KeyedCipher();
  StreamCipher receiver = KeyedCipher();
  std::vector<std::uint8_t> frame;
  BuildFrame(*message, sender, frame);
  FrameReader reader;
  for (auto _ : state) {
    std::size_t used = 0;
    std::unique_ptr<Message> out;
    reader.Feed(frame.data(), frame.size(), used, receiver, out);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessageBytes);
}
BENCHMARK(BM_ReceiveAndDescramble);

// The descrambling alone, over a body already in memory.
void BM_DescrambleBody(benchmark::State& state) {
  StreamCipher receiver = KeyedCipher();
  std::vector<std::uint8_t> body(kMessageBytes, 0x5A);
  for (auto _ : state) {
    receiver.Descramble(body.data(), body.size());
    benchmark::DoNotOptimize(body.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMessageBytes);
}
BENCHMARK(BM_DescrambleBody);

}  // namespace
}  // namespace kestrune

BENCHMARK_MAIN();
