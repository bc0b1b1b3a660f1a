// Loading speed of Intel HEX files, in MB (10^6 bytes) of HEX text per
// second, beside `objcopy -I ihex -O binary` on the same files. The files
// (1 MiB and 8 MiB of data in 16-byte records, a linear address record per
// 64 KiB, as objcopy writes them) are generated into a temporary directory
// when the program starts and removed when it ends.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image.h"

extern char **environ;

namespace {

struct HexFile {
  std::string path;
  size_t text_bytes;
};

std::string g_dir;
std::vector<HexFile> g_files;  // index: 0 for 1 MiB, 1 for 8 MiB

void put_record(std::string &out, unsigned type, unsigned addr, const uint8_t *data, unsigned n) {
  static const char digits[] = "0123456789ABCDEF";
  auto put = [&](unsigned b, unsigned &sum) {
    out += digits[(b >> 4) & 15];
    out += digits[b & 15];
    sum += b;
  };
  unsigned sum = 0;
  out += ':';
  put(n, sum);
  put(addr >> 8 & 0xFF, sum);
  put(addr & 0xFF, sum);
  put(type, sum);
  for (unsigned i = 0; i < n; ++i) put(data[i], sum);
  unsigned ignored = 0;
  put((0x100 - (sum & 0xFF)) & 0xFF, ignored);
  out += '\n';
}

HexFile write_hex(const std::string &path, size_t data_bytes) {
  const uint32_t base = 0x08000000;
  std::string text;
  text.reserve(data_bytes * 45 / 16 + 4096);
  uint32_t x = 1;
  uint8_t rec[16];
  for (size_t pos = 0; pos < data_bytes; pos += 16) {
    const uint32_t at = base + uint32_t(pos);
    if (pos == 0 || (at & 0xFFFF) == 0) {
      const uint8_t upper[2] = {uint8_t(at >> 24), uint8_t(at >> 16)};
      put_record(text, 4, 0, upper, 2);
    }
    for (uint8_t &b : rec) {
      x = x * 1103515245u + 12345u;
      b = uint8_t(x >> 16);
    }
    put_record(text, 0, at & 0xFFFF, rec, 16);
  }
  put_record(text, 1, 0, nullptr, 0);
  std::ofstream(path, std::ios::binary) << text;
  return {path, text.size()};
}

void set_rate(benchmark::State &state, size_t text_bytes) {
  const double total = double(text_bytes) * double(state.iterations());
  state.SetBytesProcessed(int64_t(total));
  state.counters["MB/s"] = benchmark::Counter(total / 1e6, benchmark::Counter::kIsRate);
}

void BM_ParseFile(benchmark::State &state) {
  const HexFile &f = g_files[size_t(state.range(0))];
  for (auto _ : state) {
    image img;
    const int r = parse_file(f.path.c_str(), &img);
    if (r != 0) state.SkipWithError("the HEX file did not load");
    benchmark::DoNotOptimize(img.chunks);
    img_free(&img);
  }
  set_rate(state, f.text_bytes);
}

void BM_Objcopy(benchmark::State &state) {
  const HexFile &f = g_files[size_t(state.range(0))];
  const std::string out = g_dir + "/objcopy.bin";
  std::vector<std::string> args = {"objcopy", "-I", "ihex", "-O", "binary", f.path, out};
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid;
    int status = 0;
    if (posix_spawnp(&pid, "objcopy", nullptr, nullptr, argv.data(), environ) != 0 ||
        waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("objcopy failed");
      break;
    }
  }
  set_rate(state, f.text_bytes);
}

// Arg 0: 1 MiB of data; arg 1: 8 MiB.
BENCHMARK(BM_ParseFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Objcopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  const char *tmp = std::getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvion-bench-XXXXXX";
  if (!mkdtemp(tmpl.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  g_dir = tmpl;
  g_files.push_back(write_hex(g_dir + "/1MiB.hex", size_t(1) << 20));
  g_files.push_back(write_hex(g_dir + "/8MiB.hex", size_t(8) << 20));
  std::printf("HEX text: %zu bytes (1 MiB of data), %zu bytes (8 MiB of data)\n",
              g_files[0].text_bytes, g_files[1].text_bytes);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
