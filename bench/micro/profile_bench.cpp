// ProfileValue calls per second on an INI file of 1,000 keys: reads, seeding
// reads (the port at start-up), writes of a new message (each one a locked,
// fsynced, atomic rewrite) and writes of the message already stored (no
// rewrite). Prints figures; passes or fails on nothing.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "profile/profile_value.h"

namespace {

namespace fs = std::filesystem;
using ecran::profile::ProfileValue;

constexpr int kKeys = 1000;
const std::string kStore = "QUOLVEtavrin.ini";

// A temporary XDG_CONFIG_HOME holding a profile file of kKeys keys: the
// port, 998 other settings and the last message, in that order.
class BenchFile {
public:
    BenchFile() {
        std::string pattern = (fs::temp_directory_path() / "ecran-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        root_ = pattern;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        fs::create_directories(root_ / "ecran");
        std::ofstream out(root_ / "ecran" / kStore, std::ios::binary);
        out << "[ecran]\r\nport=4000\r\n[reglages]\r\n";
        for (int i = 0; i < kKeys - 2; ++i)
            out << "cle" << i << "=valeur de reglage numero " << i << " pour le banc d'essai\r\n";
        out << "[historique]\r\ninfos=Bonjour, ceci est le dernier message\r\n";
    }
    BenchFile(const BenchFile&) = delete;
    BenchFile& operator=(const BenchFile&) = delete;
    ~BenchFile() { fs::remove_all(root_); }

    std::uintmax_t size() const { return fs::file_size(root_ / "ecran" / kStore); }

private:
    fs::path root_;
};

void setCounters(benchmark::State& state, const BenchFile& file) {
    state.SetItemsProcessed(state.iterations());
    state.counters["file_bytes"] = static_cast<double>(file.size());
}

void ProfileValueReadLastKey(benchmark::State& state) {
    BenchFile file;
    for (auto _ : state) benchmark::DoNotOptimize(ProfileValue("historique", "infos", "", kStore, 1));
    setCounters(state, file);
}

void ProfileValueReadFirstKey(benchmark::State& state) {
    BenchFile file;
    for (auto _ : state) benchmark::DoNotOptimize(ProfileValue("ecran", "port", "0", kStore, 1));
    setCounters(state, file);
}

void ProfileValueSeedStoredPort(benchmark::State& state) {
    BenchFile file;
    for (auto _ : state) benchmark::DoNotOptimize(ProfileValue("ecran", "port", "4000", kStore, 2));
    setCounters(state, file);
}

void ProfileValueWriteNewMessage(benchmark::State& state) {
    BenchFile file;
    long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ProfileValue("historique", "infos", "message " + std::to_string(++n), kStore, 0));
    }
    setCounters(state, file);
}

void ProfileValueWriteSameMessage(benchmark::State& state) {
    BenchFile file;
    for (auto _ : state)
        benchmark::DoNotOptimize(
            ProfileValue("historique", "infos", "Bonjour, ceci est le dernier message", kStore, 0));
    setCounters(state, file);
}

void ProfileValueWriteMessageWithLineBreaks(benchmark::State& state) {
    BenchFile file;
    long n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ProfileValue("historique", "infos", "ligne 1\r\nligne " + std::to_string(++n), kStore, 0));
    }
    setCounters(state, file);
}

BENCHMARK(ProfileValueReadLastKey);
BENCHMARK(ProfileValueReadFirstKey);
BENCHMARK(ProfileValueSeedStoredPort);
BENCHMARK(ProfileValueWriteSameMessage);
BENCHMARK(ProfileValueWriteNewMessage)->UseRealTime();
BENCHMARK(ProfileValueWriteMessageWithLineBreaks)->UseRealTime();

}  // namespace
