// Baseline for the lexbridge benchmark: the same SentencePiece calls the bridge
// makes (Encode of a text into ids, Decode of ids into text), one sentence per
// call, straight from C++ with no VM in between. Each call gets fresh output
// containers, as a caller keeping its results would have.

#include <sentencepiece_processor.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> ReadLines(const char* path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Wall time and the process's CPU time: on a shared machine the CPU time is
// what the work itself cost.
struct Stamp {
  Clock::time_point wall = Clock::now();
  double cpu = ProcessCpuSeconds();

  static double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

struct Best {
  double wall = 1e30;
  double cpu = 1e30;

  void Add(const Stamp& start) {
    const Stamp end;
    wall = std::min(wall, std::chrono::duration<double>(end.wall - start.wall).count());
    cpu = std::min(cpu, end.cpu - start.cpu);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s <model> <corpus> <warm-up passes> <timed passes> <corpus repeats per pass>\n",
                 argv[0]);
    return 2;
  }
  sentencepiece::SentencePieceProcessor processor;
  if (auto status = processor.Load(argv[1]); !status.ok()) {
    std::fprintf(stderr, "%s\n", status.ToString().c_str());
    return 1;
  }
  const std::vector<std::string> sentences = ReadLines(argv[2]);
  const int warmUp = std::stoi(argv[3]);
  const int passes = std::stoi(argv[4]);
  const int repeats = std::stoi(argv[5]);

  std::vector<std::vector<int>> ids(sentences.size());
  std::vector<std::string> texts(sentences.size());
  Best encode;
  Best decode;
  size_t tokens = 0;
  size_t characters = 0;
  for (int pass = 0; pass < warmUp + passes; ++pass) {
    const Stamp encodeStart;
    for (int r = 0; r < repeats; ++r) {
      for (size_t i = 0; i < sentences.size(); ++i) {
        std::vector<int> out;
        if (!processor.Encode(sentences[i], &out).ok()) return 1;
        ids[i] = std::move(out);
      }
    }
    if (pass >= warmUp) encode.Add(encodeStart);

    const Stamp decodeStart;
    for (int r = 0; r < repeats; ++r) {
      for (size_t i = 0; i < sentences.size(); ++i) {
        std::string out;
        if (!processor.Decode(ids[i], &out).ok()) return 1;
        texts[i] = std::move(out);
      }
    }
    if (pass >= warmUp) decode.Add(decodeStart);

    tokens = 0;
    characters = 0;
    for (size_t i = 0; i < sentences.size(); ++i) {
      tokens += ids[i].size();
      characters += texts[i].size();
    }
  }
  const auto rate = [&](double seconds) { return static_cast<double>(tokens) * repeats / seconds; };
  std::printf(
      "sentences=%zu tokens=%zu encode_wall=%.0f decode_wall=%.0f encode_cpu=%.0f decode_cpu=%.0f check=%zu\n",
      sentences.size(), tokens, rate(encode.wall), rate(decode.wall), rate(encode.cpu), rate(decode.cpu),
      characters);
  return 0;
}
