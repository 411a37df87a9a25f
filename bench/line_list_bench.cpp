// The line list against a plain linear scan of the list (the baseline the ratio is taken
// against), the name hash, and the whole conversion in memory.

#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "mesh/line_list.h"
#include "mesh/name_hash.h"
#include "support/meshes.h"
#include "support/oracle.h"
#include "tool/convert.h"

namespace {

using gantrel::test::triangle_list;

// `seed` keys the list's hash table, as a run keys it from its random source; 0 is the fixed key.
void indexed(benchmark::State& state, const triangle_list& triangles, std::uint64_t seed) {
    std::vector<std::uint16_t> indices;
    for (const auto& t : triangles) {
        for (const std::uint32_t v : t)
            indices.push_back(static_cast<std::uint16_t>(v));
    }
    auto lines = std::make_unique<gantrel::line_list>();
    gantrel::seed_line_index(*lines, seed);
    for (auto _ : state) {
        // As a run does: the list emptied first.
        gantrel::clear_line_list(*lines);
        gantrel::add_triangles(*lines, indices.data(), triangles.size());
        benchmark::DoNotOptimize(gantrel::line_count(*lines));
    }
    state.counters["lines"] = gantrel::line_count(*lines);
}

// The membership test as a scan of every entry for either orientation, the tests' model.
void scanned(benchmark::State& state, const triangle_list& triangles) {
    std::size_t lines = 0;
    for (auto _ : state) {
        lines = gantrel::test::scanned_lines(triangles).size();
        benchmark::DoNotOptimize(lines);
    }
    state.counters["lines"] = static_cast<double>(lines);
}

const triangle_list mesh_a = gantrel::test::all_sides_distinct();
const triangle_list mesh_b = gantrel::test::closed_grid();
const triangle_list mesh_c = gantrel::test::few_vertices();
const triangle_list mesh_d = gantrel::test::fan();

// Any seed stands for a run's unknown key.
constexpr std::uint64_t some_seed = 0x5EED5EED5EED5EEDu;
const triangle_list mesh_e = gantrel::test::colliding_lines(0);
const triangle_list mesh_f = gantrel::test::double_star();
const triangle_list mesh_g = gantrel::test::many_hubs();
const triangle_list mesh_h = gantrel::test::highest_vertices();
const triangle_list mesh_i = gantrel::test::every_side_hashed();
const triangle_list mesh_j = gantrel::test::hubs_everywhere();

BENCHMARK_CAPTURE(indexed, a_all_sides_distinct, mesh_a, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, b_closed_grid, mesh_b, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, c_few_vertices, mesh_c, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, d_fan, mesh_d, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, e_colliding_key_unknown, mesh_e, some_seed)
    ->Unit(benchmark::kMicrosecond);
// What a leaked key would cost: the mesh made against the key the list is keyed with.
BENCHMARK_CAPTURE(indexed, e_colliding_key_known, mesh_e, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, f_double_star, mesh_f, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, g_many_hubs, mesh_g, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, h_highest_vertices, mesh_h, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, i_every_side_hashed, mesh_i, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(indexed, j_hubs_everywhere, mesh_j, some_seed)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scanned, a_all_sides_distinct, mesh_a)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scanned, b_closed_grid, mesh_b)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(scanned, c_few_vertices, mesh_c)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(scanned, d_fan, mesh_d)->Unit(benchmark::kMillisecond);

void hash_name(benchmark::State& state) {
    const std::string name(static_cast<std::size_t>(state.range(0)), 'M');
    for (auto _ : state)
        benchmark::DoNotOptimize(gantrel::name_hash(name));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(hash_name)->Arg(16)->Arg(4096);

// What a run does between opening the input and writing the output, for mesh (b), with the file
// in memory (a memory file descriptor): the conversion itself, as a run calls it.
void convert_in_memory(benchmark::State& state) {
    const std::vector<unsigned char> file = gantrel::test::mesh_data_file(mesh_b);
    const int fd = memfd_create("mesh", 0);
    if (fd < 0 || write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size())) {
        state.SkipWithError("no memory file");
        return;
    }
    std::FILE* stream = fdopen(fd, "rb");
    auto space = std::make_unique<gantrel::converter>();
    for (auto _ : state) {
        std::rewind(stream);
        const gantrel::conversion converted = gantrel::convert(*space, stream, "mesh", some_seed);
        benchmark::DoNotOptimize(converted);
    }
    std::fclose(stream);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(file.size()));
}
BENCHMARK(convert_in_memory)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
