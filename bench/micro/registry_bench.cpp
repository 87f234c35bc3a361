// Registry calls per second on the SQLite store: a committed write (one
// transaction, one log fsync), a read, opening and closing a key, and walking
// the names of a key of 1,000 values. Prints figures; passes or fails on
// nothing.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "win32/registry_api.h"
#include "win32/registry_store.h"

namespace {

namespace fs = std::filesystem;

// A temporary XDG_CONFIG_HOME with a store holding HKEY_CURRENT_USER\Bench
// and its 1,000 values.
class BenchStore {
public:
    BenchStore() {
        std::string pattern = (fs::temp_directory_path() / "ecran-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        root_ = pattern;
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
        ecran::win32::closeRegistryStore();
        if (RegCreateKeyExA(HKEY_CURRENT_USER, "Bench", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr) !=
            ERROR_SUCCESS) {
            std::abort();
        }
        std::vector<ecran::win32::RegistryValueEntry> values;
        for (int i = 0; i < 1000; ++i) values.push_back({"value" + std::to_string(i), REG_SZ, "some text"});
        if (ecran::win32::setRegistryValues(key_, values) != ERROR_SUCCESS) std::abort();
    }
    BenchStore(const BenchStore&) = delete;
    BenchStore& operator=(const BenchStore&) = delete;
    ~BenchStore() {
        (void)RegCloseKey(key_);
        ecran::win32::closeRegistryStore();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    [[nodiscard]] HKEY key() const { return key_; }

private:
    fs::path root_;
    HKEY key_ = nullptr;
};

BenchStore& store() {
    static BenchStore s;
    return s;
}

void BM_SetValue(benchmark::State& state) {
    HKEY key = store().key();
    std::uint32_t n = 0;
    for (auto _ : state) {
        ++n;
        if (RegSetValueExA(key, "counter", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&n), sizeof n) != ERROR_SUCCESS)
            state.SkipWithError("RegSetValueExA failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetValue);

void BM_QueryValue(benchmark::State& state) {
    HKEY key = store().key();
    char buffer[64];
    for (auto _ : state) {
        DWORD size = sizeof buffer;
        if (RegQueryValueExA(key, "value500", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) !=
            ERROR_SUCCESS)
            state.SkipWithError("RegQueryValueExA failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueryValue);

void BM_OpenClose(benchmark::State& state) {
    (void)store();
    for (auto _ : state) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Bench", 0, KEY_READ, &key) != ERROR_SUCCESS || RegCloseKey(key) != 0)
            state.SkipWithError("open or close failed");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenClose);

void BM_EnumerateThousandValueNames(benchmark::State& state) {
    HKEY key = store().key();
    char name[64];
    for (auto _ : state) {
        DWORD i = 0;
        for (;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumValueA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        }
        if (i < 1000) state.SkipWithError("enumeration stopped early");
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_EnumerateThousandValueNames);

}  // namespace
