// Loading speed of Intel HEX files, in MB (10^6 bytes) of HEX text per
// second, beside `objcopy -I ihex -O binary` on the same files. The files
// (1 MiB and 8 MiB of data in 16-byte records, a linear address record per
// 64 KiB, as objcopy writes them) are generated into a temporary directory
// when the program starts and removed when it ends. The 8 MiB image also as
// S-record and raw binary (objcopy's conversions of the HEX file) and as an
// ELF executable of one segment, in MB of file per second.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image.h"
#include "image_format.h"

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

bool objcopy(std::vector<std::string> args) {
  args.insert(args.begin(), "objcopy");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  int status = 0;
  return posix_spawnp(&pid, "objcopy", nullptr, nullptr, argv.data(), environ) == 0 &&
         waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Objcopy(benchmark::State &state) {
  const HexFile &f = g_files[size_t(state.range(0))];
  const std::string out = g_dir + "/objcopy.bin";
  for (auto _ : state) {
    if (!objcopy({"-I", "ihex", "-O", "binary", f.path, out})) {
      state.SkipWithError("objcopy failed");
      break;
    }
  }
  set_rate(state, f.text_bytes);
}

std::vector<HexFile> g_formats;  // the 8 MiB image: S-record, ELF, raw binary

// An ARM executable with the raw image as its one loadable segment.
HexFile write_elf(const std::string &path, const std::string &raw) {
  std::string f(84, '\0');
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) f[at + size_t(i)] = char(v >> (8 * i));
  };
  f.replace(0, 7,
            "\x7f"
            "ELF\x01\x01\x01",
            7);
  put(16, 2, 2);
  put(18, 40, 2);
  put(28, 52, 4);
  put(42, 32, 2);
  put(44, 1, 2);
  const uint32_t ph[] = {1, 84, 0x08000000, 0x08000000, uint32_t(raw.size()), uint32_t(raw.size())};
  for (size_t k = 0; k < 6; ++k) put(52 + 4 * k, ph[k], 4);
  std::ofstream(path, std::ios::binary) << f << raw;
  return {path, f.size() + raw.size()};
}

bool write_formats(const HexFile &hex) {
  const std::string srec = g_dir + "/8MiB.srec", bin = g_dir + "/8MiB.bin";
  if (!objcopy({"-I", "ihex", "-O", "srec", hex.path, srec}) ||
      !objcopy({"-I", "ihex", "-O", "binary", hex.path, bin}))
    return false;
  std::ifstream in(bin, std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  g_formats = {{srec, std::filesystem::file_size(srec)},
               write_elf(g_dir + "/8MiB.elf", raw),
               {bin, raw.size()}};
  return true;
}

void BM_ParseFormat(benchmark::State &state) {
  const HexFile &f = g_formats[size_t(state.range(0))];
  for (auto _ : state) {
    image img;
    if (parse_file(f.path.c_str(), &img) < 0) state.SkipWithError("the file did not load");
    benchmark::DoNotOptimize(img.chunks);
    img_free(&img);
  }
  set_rate(state, f.text_bytes);
}

// Arg 0: 1 MiB of data; arg 1: 8 MiB.
BENCHMARK(BM_ParseFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Objcopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
// Arg 0: S-record; 1: ELF; 2: raw binary.
BENCHMARK(BM_ParseFormat)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

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
  if (!write_formats(g_files[1])) {
    std::fprintf(stderr, "objcopy could not convert the HEX file\n");
    return 1;
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::error_code ec;
  std::filesystem::remove_all(g_dir, ec);
  return 0;
}
